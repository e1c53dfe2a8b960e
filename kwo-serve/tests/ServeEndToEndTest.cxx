// kwo-serve end to end: a private X display with a known pattern, the real
// kwo-serve and agent binaries, and real viewers.

#include "ServeFixture.h"

#include "testsupport/BackgroundChild.h"

// GoogleTest before Xlib: Xlib's macros (None, Bool) break its templates.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <csignal>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace kwoserve::test {

namespace {

using Clock = std::chrono::steady_clock;

std::string be32(size_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

} // namespace

class ServeEndToEnd : public testing::Test {
protected:
  PatternDisplay display;
};

// Used to go wrong: LibVNCServer drew its cursor, at 0,0, into the agent's
// own buffer, and the agent's start-up damage test, seeing pixels change
// where no damage was reported, switched to polling the whole screen. A
// killed agent used to end kwo-serve and every viewer with it.
TEST_F(ServeEndToEnd, AViewerSeesTheScreenAndTypesAndClicksAcrossAKilledAgentUntilSigterm) {
  XWarpPointer(display.dpy(), 0, DefaultRootWindow(display.dpy()), 0, 0, 0, 0, 400, 300);
  XSync(display.dpy(), False);
  ServeRun serve(display.name());
  ASSERT_TRUE(serve.waitListening()) << serve.log();
  Viewer viewer(serve.port());
  ASSERT_TRUE(viewer.connected()) << serve.log();
  // No cursor shapes asked for: the server draws the cursor into the pixels,
  // where the pointer is, from the first picture on.
  ASSERT_FALSE(viewer.client()->appData.useRemoteCursor);
  rfb::Rect cursor;
  auto showsScreenAndCursor = [&] {
    cursor = differingArea(viewer.picture(), display.picture());
    return cursor.width() <= 64 && cursor.height() <= 64;
  };
  ASSERT_TRUE(viewer.waitUntil(showsScreenAndCursor)) << cursor.print() << serve.log();
  EXPECT_FALSE(cursor.isEmpty());
  EXPECT_TRUE(rfb::Rect(368, 268, 432, 332).encloses(cursor)) << cursor.print();

  // Idle past the damage test's first look at the screen (5 s), then a
  // change that it sees reported.
  auto idleEnd = Clock::now() + std::chrono::seconds(6);
  viewer.waitUntil([&] { return Clock::now() > idleEnd; });
  auto typeAndClick = [&](const std::string& keys) {
    for (char c : keys) {
      SendKeyEvent(viewer.client(), uint32_t(c), TRUE);
      SendKeyEvent(viewer.client(), uint32_t(c), FALSE);
    }
    for (int buttons : {0, rfbButton1Mask, 0})
      SendPointerEvent(viewer.client(), 200, 200, buttons);
    PatternDisplay::Input input;
    EXPECT_TRUE(viewer.waitUntil([&] {
      display.readInput(input);
      return input.typed == keys && input.clicks == 1;
    })) << "typed '" << input.typed << "', " << input.clicks << " clicks\n" << serve.log();
  };
  typeAndClick("kwo");
  display.fill({10, 200, 30});
  EXPECT_TRUE(viewer.waitUntil([&] {
    return viewer.picture().pixels[300 * 1024 + 600] == Rgb8{10, 200, 30} &&
           serve.log().find("Damage test: any 1 all 1") != std::string::npos;
  })) << serve.log();
  EXPECT_EQ(serve.log().find("Using polling"), std::string::npos) << serve.log();

  pid_t first = serve.agentPid();
  ASSERT_GT(first, 0);
  kill(first, SIGKILL);
  // Only the new agent can show this.
  display.fill({200, 30, 120}, 512, 384);
  EXPECT_TRUE(viewer.waitUntil(showsScreenAndCursor)) << cursor.print() << serve.log();
  pid_t second = serve.agentPid();
  EXPECT_NE(second, first);
  typeAndClick("k");

  kill(serve.pid(), SIGTERM);
  EXPECT_EQ(serve.waitExit(), 0) << serve.log();
  EXPECT_NE(serve.log().find("received Terminated, shutting down"), std::string::npos);
  // Reaped by kwo-serve: no such process any more.
  EXPECT_NE(kill(second, 0), 0);
}

// Used to fail: no password by default, guesses went unslowed, and the
// printed snapshot command's first picture was black until the agent's
// first grab (vncsnapshot said "discarding received blank screen").
TEST_F(ServeEndToEnd, ThePrintedBlockWorksWithAGeneratedPasswordAndWrongGuessesArePaidFor) {
  ServeRun serve(display.name(), {}, ServeRun::Password::generated);
  std::string file = serve.runtimeFile("password-" + std::to_string(serve.port()));
  EXPECT_EQ(serve.banner("password"), "in " + file) << serve.log();
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_GE(serve.password().size(), 8u);

  testsupport::TempDir dir("kwo-serve-snap");
  testsupport::ChildResult shot = testsupport::ChildProcess::run(
      {"sh", "-c", "cd " + dir.path() + " && " + serve.banner("snapshot")});
  EXPECT_EQ(shot.exitStatus, 0) << shot.out << shot.err << serve.log();
  EXPECT_EQ((shot.out + shot.err).find("blank screen"), std::string::npos) << shot.err;
  EXPECT_GT(readFile(dir.path() + "/shot.jpg").size(), 1000u);

  EXPECT_FALSE(Viewer(serve.port(), "wrong-pw").connected());
  EXPECT_TRUE(serve.waitLog("Wrong password from 127.0.0.1; refusing it for 1 s")) << serve.log();
  // Refused during the pause; afterwards the password works.
  EXPECT_TRUE(pollUntil([&] { return Viewer(serve.port(), serve.password()).connected(); }))
      << serve.log();
}

// Used to go wrong: a copy of 5 MB comes in chunks (INCR), which the agent
// dropped. It travels as an extended clipboard text.
TEST_F(ServeEndToEnd, ClipboardTextTravelsBothWaysAndAFiveMegabyteCopyArrivesWhole) {
  ServeRun serve(display.name());
  ASSERT_TRUE(serve.waitListening()) << serve.log();
  RawViewer viewer(serve.port());
  // SetEncodings (raw, the extended clipboard), the clipboard's caps (texts
  // of up to 16 MiB), and a first picture (1x1): the agent watches the
  // clipboard by then.
  viewer.send(std::string("\2\0\0\2\0\0\0\0", 8) + be32(rfbEncodingExtendedClipboard) +
              std::string("\6\0\0\0", 4) + be32(uint32_t(-8)) +
              be32(rfbExtendedClipboard_Caps | rfbExtendedClipboard_Request |
                   rfbExtendedClipboard_Peek | rfbExtendedClipboard_Notify |
                   rfbExtendedClipboard_Provide | rfbExtendedClipboard_Text) +
              be32(16 << 20) + std::string("\3\0\0\0\0\0\0\1\0\1", 10));
  // An extended ServerCutText, after its type.
  auto cutText = [&] { return viewer.take(size_t(-int32_t(bigEndian32(viewer.take(7), 3)))); };
  while (viewer.next() != 0)
    cutText();  // the server's caps
  // The next text the server provides; the zlib data holds its length, the
  // text and a NUL.
  auto provided = [&] {
    for (;;) {
      if (viewer.next() != 3)
        continue;
      std::string body = cutText();
      if (!(bigEndian32(body, 0) & rfbExtendedClipboard_Provide))
        continue;
      std::string plain((16 << 20) + 8, '\0');
      uLongf size = plain.size();
      if (uncompress(reinterpret_cast<Bytef*>(plain.data()), &size,
                     reinterpret_cast<const Bytef*>(body.data() + 4), body.size() - 4) != Z_OK)
        return std::string("(not zlib)");
      return plain.substr(4, bigEndian32(plain, 0) - 1);
    }
  };
  // A classic viewer beside it (raw only) and its first picture.
  RawViewer classic(serve.port());
  const std::string firstPicture("\3\0\0\0\0\0\0\1\0\1", 10);
  classic.send(std::string("\2\0\0\1\0\0\0\0", 8) + firstPicture);
  auto classicText = [&] {
    while (classic.next() != 3) {
    }
    return classic.take(bigEndian32(classic.take(7), 3));
  };
  // Ends in a letter beyond ASCII, sent to the classic viewer in ISO-8859-1.
  std::string text(5 << 20, 'k');
  for (size_t i = 0; i < text.size(); i += 83)
    text[i] = char('0' + i % 10);
  text += "\xc3\xa9";
  {
    // xclip serves the copy until the agent takes the clipboard below.
    testsupport::BackgroundChild copy({"xclip", "-selection", "clipboard", "-i", "-quiet"},
                                      {{"DISPLAY", display.name()}}, text);
    std::string got = provided();
    EXPECT_TRUE(got == text) << got.size() << " bytes";

    // Classic, in ISO-8859-1; offered to X clients as UTF-8.
    std::string fromViewer = "from the viewer \xe9";
    ASSERT_TRUE(viewer.send(std::string("\6\0\0\0", 4) + be32(fromViewer.size()) + fromViewer));
    std::string pasted;
    EXPECT_TRUE(pollUntil([&] {
      pasted = testsupport::ChildProcess::run(
                   {"xclip", "-selection", "clipboard", "-o", "-t", "UTF8_STRING"},
                   {{"DISPLAY", display.name()}})
                   .out;
      return pasted == "from the viewer \xc3\xa9";
    })) << pasted.substr(0, 100) << serve.log();
  }
  // Used to go wrong: a classic viewer was told the UTF-8 length of a text
  // sent in ISO-8859-1, and read the next message's first byte as text.
  EXPECT_TRUE(classicText() == text.substr(0, text.size() - 2) + "\xe9");
  classic.send(firstPicture);
  EXPECT_EQ(classic.next(), 0);
}

// Used to fail: a refused size was answered with success and the old size
// (or not at all), and the virtual display could not grow.
TEST(ServeResize, TheVirtualDisplayGrowsTo4kAndBackAndARefusedSizeGetsAnErrorStatus) {
  ServeRun serve("");
  ASSERT_TRUE(serve.waitLog("Agent connected")) << serve.log();
  RawViewer viewer(serve.port());
  // SetEncodings: Raw, ExtendedDesktopSize.
  viewer.send(std::string("\2\0\0\2\0\0\0\0\xff\xff\xfe\xcc", 12));
  // The answer to a request of this viewer's (reason 1): status, width, height.
  auto ask = [&](int width, int height) {
    std::string size{char(width >> 8), char(width), char(height >> 8), char(height)};
    // One screen: id 0 at 0,0, of that size, flags 0.
    viewer.send(std::string("\xfb\0", 2) + size + std::string("\1\0", 2) + std::string(8, '\0') +
                size + std::string(4, '\0'));
    for (;;) {
      viewer.send(std::string("\3\1\0\0\0\0\0\1\0\1", 10));  // incremental, 1x1
      std::vector<std::string> rects;
      viewer.next(&rects);
      for (const std::string& r : rects)
        if (bigEndian32(r, 8) == rfbEncodingExtDesktopSize && bigEndian16(r, 0) == 1)
          return std::vector<int>{bigEndian16(r, 2), bigEndian16(r, 4), bigEndian16(r, 6)};
    }
  };
  const std::vector<std::vector<int>> cases{
      {3840, 2160, rfbExtDesktopSize_Success, 3840, 2160},
      {5000, 5000, rfbExtDesktopSize_OutOfResources, 3840, 2160},
      {1024, 768, rfbExtDesktopSize_Success, 1024, 768},
      {1024, 768, rfbExtDesktopSize_Success, 1024, 768},
  };
  for (const std::vector<int>& c : cases) {
    SCOPED_TRACE(testing::Message() << c[0] << "x" << c[1]);
    EXPECT_EQ(ask(c[0], c[1]), std::vector<int>(c.begin() + 2, c.end())) << serve.log();
  }
}

namespace {

// Other tests' X servers take the lowest free display numbers, and one of
// them took this server's number once it was gone (kwo-serve then rightly
// served that one): a number far above theirs keeps a gone display gone.
std::unique_ptr<testsupport::XvfbServer> xvfbOnAnUnsharedNumber() {
  testsupport::XvfbServer::Options options;
  for (int attempt = 0;; attempt++) {
    options.extraArguments = {":" + std::to_string(5000 + (getpid() + 101 * attempt) % 4000)};
    try {
      return std::make_unique<testsupport::XvfbServer>(options);
    } catch (const std::runtime_error&) {
      if (attempt == 4)
        throw;
    }
  }
}

} // namespace

TEST(ServeEnds, WithStatusOneAndSaysWhy) {
  auto xvfb = xvfbOnAnUnsharedNumber();
  std::string name = xvfb->displayName();
  ServeRun exposed(name, {"-listen", "0.0.0.0"});
  EXPECT_EQ(exposed.waitExit(), 1);
  EXPECT_NE(exposed.log().find("refusing to listen on 0.0.0.0 without a password"),
            std::string::npos)
      << exposed.log();

  ServeRun serve(name);
  ASSERT_TRUE(serve.waitLog("Agent connected")) << serve.log();
  // The X display goes away under it.
  xvfb.reset();
  EXPECT_EQ(serve.waitExit(), 1);
  EXPECT_NE(serve.log().find("the X display " + name + " is gone"), std::string::npos)
      << serve.log();
}

} // namespace kwoserve::test
