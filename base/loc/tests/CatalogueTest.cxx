#include "base/loc/Catalogue.h"

#include <gtest/gtest.h>

namespace {

// The texts themselves are checked where they are part of a contract (the
// usage text, the parameter document); here only that lookups find every
// key, which the catalogue's order makes or breaks.
TEST(Catalogue, EveryKeyIsFoundAndNoOther) {
  for (const char* key :
       {"plat_bad_argument", "plat_configuration_global_params", "plat_configuration_help_default",
        "plat_configuration_log_dests_title", "plat_configuration_log_names_title",
        "plat_configuration_param_usage", "plat_param_log", "plat_param_log_keep_days",
        "plat_param_logdir", "plat_param_logfile", "plat_run_with_help",
        "plat_this_program_not_directly", "rfb_param_alter_shift_with_mods",
        "svr_param_pollcursortime", "svr_param_pollinterval", "svr_param_randr",
        "svr_param_sclipboardx11_polltime", "svr_param_sclipboardx11_sendprimary",
        "svr_param_sdesktopx11_capturemethod", "svr_param_sdisplay_displaydevice"})
    EXPECT_TRUE(loc::hasText(key)) << key;
  EXPECT_EQ(loc::text("plat_bad_argument"), "Bad argument '%s'.");
  for (const char* key : {"no_such_key", "plat_param_lo", "plat_param_log_", "PLAT_PARAM_LOG", ""})
    EXPECT_FALSE(loc::hasText(key)) << key;
  EXPECT_EQ(loc::text("no_such_key"), "[no_such_key]");
  EXPECT_EQ(loc::text(nullptr), "");
  EXPECT_FALSE(loc::hasText(nullptr));
}

TEST(Catalogue, SubstituteInsertsTheArgumentVerbatimOnce) {
  EXPECT_EQ(loc::substitute("Bad argument '%s'.", "%s%d"), "Bad argument '%s%d'.");
  EXPECT_EQ(loc::substitute("no slot", "x"), "no slot");
  EXPECT_EQ(loc::substitute("%s and %s", "a"), "a and %s");
}

} // namespace
