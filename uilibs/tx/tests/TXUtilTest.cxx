// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/TXUtil.h"

#include "XTestHelpers.h"

#include "base/plat/Exception.h"

#include <X11/Xatom.h>

#include <cstdlib>
#include <string>

namespace {

TEST(TXUtilTest, AtomNamesAreCachedAndSurviveBadAtoms) {
  Display* dpy = txtest::toolkitDisplay();
  // A second open, whatever its name, changes nothing.
  tx::openDisplay(":65431");
  EXPECT_EQ(tx::display(), dpy);
  const char* primary = tx::atomName(XA_PRIMARY);
  EXPECT_STREQ(primary, "PRIMARY");
  EXPECT_EQ(tx::atomName(XA_PRIMARY), primary);
  EXPECT_STREQ(tx::atomName(None), "None");
  // Atoms named by other clients may be bogus; that used to end the process
  // through Xlib's default error handler.
  EXPECT_STREQ(tx::atomName(0x7ffffff1), "(bad atom 0x7ffffff1)");
}

// In a fresh process, where the toolkit's connection is not open yet. The
// child says on standard error what went wrong.
TEST(OpenDisplayDeathTest, NamesAndRetries) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string name = testsupport::XvfbServer::shared().displayName();
  auto check = [](bool ok, const std::string& what) {
    if (!ok) {
      std::fprintf(stderr, "%s\n", what.c_str());
      std::exit(4);
    }
  };
  EXPECT_EXIT(
    {
      unsetenv("XAUTHLOCALHOSTNAME");
      try {
        tx::openDisplay(":65432");
        check(false, "opened :65432");
      } catch (const plat::Exception& e) {
        check(std::string(e.str()) == "unable to open display \":65432\"", e.str());
      }
      const char* retried = std::getenv("XAUTHLOCALHOSTNAME");
      check(retried && std::string(retried) == "localhost", "no retry with localhost");
      // The given name replaced DISPLAY; an empty one keeps it.
      check(std::string(std::getenv("DISPLAY")) == ":65432", "DISPLAY not replaced");
      setenv("DISPLAY", name.c_str(), 1);
      tx::openDisplay("");
      Display* dpy = tx::display();
      check(dpy && std::string(DisplayString(dpy)) == name, "not open on DISPLAY");
      std::exit(0);
    },
    ::testing::ExitedWithCode(0), "");
}

} // namespace
