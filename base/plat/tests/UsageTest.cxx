#include "base/plat/BinaryParameter.h"
#include "base/plat/BoolParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/EnumParameter.h"
#include "base/plat/IntParameter.h"
#include "base/plat/ProductInfo.h"
#include "base/plat/StringParameter.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

const char* const speeds[] = {"fast", "slow", nullptr};

// A small group with one parameter for each layout case of a usage line.
class Usage : public testing::Test {
protected:
  plat::Configuration top{"Small", "plat_configuration_global_params"};
  plat::Configuration child{"Child", nullptr, &top};
  plat::BoolParameter alter{"AlterShiftWithMods", plat::LocKey("rfb_param_alter_shift_with_mods"),
                            true, false, &top};
  plat::BoolParameter beta{"beta", "Lower-case name.", false, false, &top};
  plat::IntParameter fits{"EdgeFits", "Forty-eight characters of description text here.", 7, 0,
                          9, false, &top};
  plat::IntParameter moves{"EdgeMoves", "Exactly forty-nine characters of descriptive text", 7,
                           0, 9, false, &top};
  plat::EnumParameter mode{"Mode", "Speed & <quality>", speeds, 1, false, &top};
  plat::IntParameter poll{"PollInterval", plat::LocKey("svr_param_pollinterval"), 50, 1, INT_MAX,
                          false, &top};
  plat::BinaryParameter secret{"Secret", "Secret bytes", {1, 2}, false, &top};
  plat::IntParameter tuning{"Tuning", "Internal tuning.", 3, 0, 9, true, &top};
  plat::StringParameter welcome{"Welcome", "Greeting text shown to each viewer when it connects.",
                                "Hello", false, &top};
  plat::BoolParameter hidden{"_Hidden", "Never listed.", false, false, &top};
  plat::IntParameter nested{"Nested", "In the child group.", 0, 0, 9, false, &child};
};

// The listing of `top`; `all` adds the advanced and binary parameters.
std::string topListing(const char* pollDefault, bool all) {
  return std::string("Global parameters:\n"
                     "  AlterShiftWithMods - Whether to alter the Shift key state when modifiers such\n"
                     "                   as Ctrl and Alt are pressed (default=1)\n"
                     "  beta           - Lower-case name. (default=0)\n"
                     "  EdgeFits       - Forty-eight characters of description text here. (default=7)\n"
                     "  EdgeMoves      - Exactly forty-nine characters of descriptive text\n"
                     "                   (default=7)\n"
                     "  Mode           - Speed & <quality> (default=slow)\n"
                     "  PollInterval   - How often to poll for display updates in ms. (default=") +
         pollDefault + ")\n" +
         (all ? "  Secret         - Secret bytes\n"
                "  Tuning         - Internal tuning. (default=3)\n"
              : "") +
         "  Welcome        - Greeting text shown to each viewer when it connects.\n"
         "                   (default=Hello)\n"
         "Child Parameters:\n"
         "  Nested         - In the child group. (default=0)\n";
}

TEST_F(Usage, ListingsByteForByte) {
  EXPECT_EQ(top.usageText(false, true), topListing("50", false));
  poll.setParam("20", 10);
  EXPECT_EQ(top.usageText(true, true), topListing("20", true));
}

std::string printed(const plat::Configuration& group, bool all) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  group.printUsage(out, all);
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

TEST_F(Usage, PrintUsageFramesTheListingAndAllEndsWithTheLogListings) {
  const std::string listing =
    plat::ProductInfo::text() + "\n\n" +
    "Parameters can be turned on with -<param> or off with -<param>=0\n"
    "Values can be specified as -<param> <value>\n"
    "Other valid forms are <param>=<value> -<param>=<value> --<param>=<value>\n"
    "Names are case-insensitive.  Valid parameters are listed below.\n"
    "\n"
    "Child Parameters:\n"
    "  Nested         - In the child group. (default=0)\n";
  EXPECT_EQ(printed(child, false), listing);

  std::string all = printed(child, true);
  ASSERT_TRUE(all.starts_with(listing + "\nLog names:\n")) << all;
  EXPECT_TRUE(all.ends_with("\nLog destinations:\n  file\n  ipc\n  stderr\n")) << all;
  // This very source writes the set and unset lines, so it is always known.
  EXPECT_NE(all.find("Configuration", listing.size()), std::string::npos);
}

} // namespace
