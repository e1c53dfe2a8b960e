// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/TXUtil.h"

#include "XTestHelpers.h"

#include <X11/Xatom.h>

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

} // namespace
