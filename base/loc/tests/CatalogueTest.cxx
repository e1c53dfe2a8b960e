#include "base/loc/Catalogue.h"

#include <gtest/gtest.h>

namespace {

TEST(Catalogue, EnglishTexts) {
  struct Case {
    const char* key;
    const char* text;
  } cases[] = {
    {"plat_this_program_not_directly", "This program is not intended to be run directly."},
    {"plat_bad_argument", "Bad argument '%s'."},
    {"plat_run_with_help", "Run with -help for usage."},
    {"plat_configuration_global_params", "Global parameters"},
    {"plat_configuration_help_default", "default"},
    {"plat_configuration_log_names_title", "Log names:"},
    {"plat_configuration_log_dests_title", "Log destinations:"},
    {"plat_param_log", "Record events in the format <log>:<target>:<level>[,...]."},
    {"plat_param_logdir", "Directory in which to store log output directed to file."},
    {"plat_param_logfile", "File in which to store log output directed to file."},
    {"plat_param_log_keep_days", "Keep log files for X days."},
    {"svr_param_pollinterval", "How often to poll for display updates in ms."},
    {"svr_param_pollcursortime", "How often to poll for cursor movement in ms."},
    {"svr_param_sclipboardx11_polltime", "How often to poll for clipboard changes in ms."},
    {"svr_param_sclipboardx11_sendprimary",
     "Send the PRIMARY selection to the connected device in preference to the CLIPBOARD "
     "selection"},
    {"svr_param_randr",
     "Comma-separated list of display geometries to make available via the RANDR extension, "
     "if enabled."},
    {"svr_param_sdisplay_displaydevice",
     "The name of the monitor to remote to connected users, or empty to remote all monitors."},
    {"svr_param_sdesktopx11_capturemethod",
     "Capture screen updates using the optimal method (0), by polling (1), or by forcing use "
     "of the DAMAGE extension (2). The optimal method uses DAMAGE if it is enabled and "
     "responsive."},
    {"rfb_param_alter_shift_with_mods",
     "Whether to alter the Shift key state when modifiers such as Ctrl and Alt are pressed"},
    {"plat_configuration_param_usage",
     "Parameters can be turned on with -<param> or off with -<param>=0\n"
     "Values can be specified as -<param> <value>\n"
     "Other valid forms are <param>=<value> -<param>=<value> --<param>=<value>\n"
     "Names are case-insensitive.  Valid parameters are listed below."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_TRUE(loc::hasText(c.key));
    EXPECT_EQ(loc::text(c.key), c.text);
  }
}

TEST(Catalogue, UnknownKeysShowThemselves) {
  EXPECT_FALSE(loc::hasText("no_such_key"));
  EXPECT_EQ(loc::text("no_such_key"), "[no_such_key]");
  EXPECT_EQ(loc::text(nullptr), "");
  EXPECT_FALSE(loc::hasText(nullptr));
  // Near misses must not match a neighbour.
  EXPECT_FALSE(loc::hasText("plat_param_lo"));
  EXPECT_FALSE(loc::hasText("plat_param_log_"));
  EXPECT_FALSE(loc::hasText("PLAT_PARAM_LOG"));
}

TEST(Catalogue, SubstituteInsertsTheArgumentVerbatim) {
  EXPECT_EQ(loc::substitute("Bad argument '%s'.", "x"), "Bad argument 'x'.");
  EXPECT_EQ(loc::substitute("Bad argument '%s'.", "%s%d"), "Bad argument '%s%d'.");
  EXPECT_EQ(loc::substitute("no slot", "x"), "no slot");
  EXPECT_EQ(loc::substitute("%s and %s", "a"), "a and %s");
}

} // namespace
