#include "libs/svr/tests/DesktopTestSupport.h"

#include "libs/svr/CursorSender.h"
#include "uilibs/tx/XfixesFns.h"

#include <X11/cursorfont.h>

namespace {

using svr::CursorSender;

class CursorSenderTest : public ::testing::Test {
protected:
  void SetUp() override {
    dpy = svrtest::openSharedDisplay();
    ASSERT_NE(dpy, nullptr);
    int eventBase, errorBase, major, minor;
    ASSERT_TRUE(tx::XFixesQueryExtension(dpy, &eventBase, &errorBase));
    ASSERT_TRUE(tx::XFixesQueryVersion(dpy, &major, &minor));
  }

  // Gives the root window (under the pointer on an empty screen) another
  // cursor shape.
  void defineRootCursor(unsigned shape) {
    Cursor cursor = XCreateFontCursor(painter.dpy(), shape);
    XDefineCursor(painter.dpy(), painter.root(), cursor);
    XFreeCursor(painter.dpy(), cursor);
    XSync(painter.dpy(), False);
  }

  Display* dpy = nullptr;
  svrtest::Painter painter;
  svrtest::RecordingServer server;
};

TEST_F(CursorSenderTest, WithoutXFixesTheArrowGoesOnlyWhenForced) {
  CursorSender sender(false);
  EXPECT_FALSE(sender.send(server, false));
  EXPECT_TRUE(server.cursors.empty());
  ASSERT_TRUE(sender.send(server, true));
  ASSERT_EQ(server.cursors.size(), 1u);
  EXPECT_EQ(server.cursors[0]->getRect(), rfb::Rect(0, 0, 12, 21));
  EXPECT_EQ(sender.lastSerial(), -1);
}

TEST_F(CursorSenderTest, ACursorIsSentOnceUnlessForcedOrChanged) {
  defineRootCursor(XC_hand2);
  XFixesCursorImage* image = tx::XFixesGetCursorImage(dpy);
  ASSERT_NE(image, nullptr);
  CursorSender sender(true);
  ASSERT_TRUE(sender.send(server, false));
  ASSERT_EQ(server.cursors.size(), 1u);
  const rfb::Cursor& sent = *server.cursors[0];
  EXPECT_EQ(sent.getRect(), rfb::Rect(-image->xhot, -image->yhot, image->width - image->xhot,
                                      image->height - image->yhot));
  EXPECT_EQ(sent.pixelAt(image->xhot, image->yhot),
            uint32_t(image->pixels[image->yhot * image->width + image->xhot]));
  XFree(image);
  const int64_t first = sender.lastSerial();
  EXPECT_NE(first, -1);

  EXPECT_FALSE(sender.send(server, false));
  EXPECT_TRUE(sender.send(server, true));
  ASSERT_EQ(server.cursors.size(), 2u);
  EXPECT_TRUE(server.cursors[0]->equals(*server.cursors[1]));

  defineRootCursor(XC_watch);
  EXPECT_TRUE(sender.send(server, false));
  ASSERT_EQ(server.cursors.size(), 3u);
  EXPECT_NE(sender.lastSerial(), first);
  EXPECT_FALSE(server.cursors[0]->equals(*server.cursors[2]));
}

} // namespace
