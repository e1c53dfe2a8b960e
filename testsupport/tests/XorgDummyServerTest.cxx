#include "testsupport/XorgDummyServer.h"

#include "testsupport/ChildProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/stat.h>

namespace {

using testsupport::ChildProcess;
using testsupport::ChildResult;
using testsupport::XorgDummyServer;

// What a real X client (xrandr, from x11-xserver-utils) sees.
std::string xrandr(const XorgDummyServer& server) {
  ChildResult r = ChildProcess::run({"xrandr", "-display", server.displayName(), "--current"});
  EXPECT_EQ(0, r.exitStatus) << r.err;
  return r.out;
}

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(XorgDummyServer, OneOutputByDefault) {
  XorgDummyServer server;
  EXPECT_EQ(":" + std::to_string(server.displayNumber()), server.displayName());
  std::string out = xrandr(server);
  EXPECT_TRUE(has(out, "current 1024 x 768")) << out;
  EXPECT_TRUE(has(out, "DUMMY0 connected primary 1024x768+0+0")) << out;
  EXPECT_TRUE(has(out, "DUMMY1 disconnected")) << out;
}

TEST(XorgDummyServer, OutputsAreLaidOutAsAsked) {
  XorgDummyServer::Options options;
  options.outputs = {{"1024x768", 0, 0}, {"800x600", 1024, 0}, {"640x480", 0, 768}};
  XorgDummyServer server(options);
  std::string out = xrandr(server);
  EXPECT_TRUE(has(out, "current 1824 x 1248")) << out;
  EXPECT_TRUE(has(out, "DUMMY0 connected primary 1024x768+0+0")) << out;
  EXPECT_TRUE(has(out, "DUMMY1 connected 800x600+1024+0")) << out;
  EXPECT_TRUE(has(out, "DUMMY2 connected 640x480+0+768")) << out;
  EXPECT_TRUE(has(out, "DUMMY3 disconnected")) << out;
}

TEST(XorgDummyServer, ConfigurationNamesEachOutputsMonitor) {
  XorgDummyServer::Options options;
  options.outputs = {{"1024x768", 0, 0}, {"800x600", 1024, 0}};
  std::string text = XorgDummyServer::configText(options);
  EXPECT_TRUE(has(text, "Driver \"dummy\"")) << text;
  EXPECT_TRUE(has(text, "Option \"Monitor-DUMMY1\" \"mon1\"")) << text;
  EXPECT_TRUE(has(text, "Option \"Position\" \"1024 0\"")) << text;
  EXPECT_TRUE(has(text, "Virtual 4096 2048")) << text;
  EXPECT_FALSE(has(text, "Monitor-DUMMY2")) << text;
}

TEST(XorgDummyServer, StopsAndReapsTheServerAndRemovesItsFiles) {
  pid_t pid;
  std::string socketPath;
  ino_t socketInode = 0;
  {
    XorgDummyServer server;
    pid = server.pid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(0, kill(pid, 0));
    EXPECT_TRUE(has(server.log(), "dummy")) << server.log();
    socketPath = "/tmp/.X11-unix/X" + std::to_string(server.displayNumber());
    struct stat st;
    EXPECT_EQ(0, stat(socketPath.c_str(), &st));
    socketInode = st.st_ino;
  }
  // Reaped: the pid is gone, not a zombie of ours; Xorg removed its socket
  // (a server of a test running meanwhile may already own a new one there).
  EXPECT_NE(0, kill(pid, 0));
  struct stat st;
  if (stat(socketPath.c_str(), &st) == 0) {
    EXPECT_NE(st.st_ino, socketInode);
  }
}

TEST(XorgDummyServer, ABadConfigurationIsAnErrorWithXorgsOutput) {
  XorgDummyServer::Options options;
  options.outputs = {{"1024x768", 0, 0}};
  options.virtualWidth = 20000;  // 1.6 GB, far beyond the video memory
  options.virtualHeight = 20000;
  try {
    XorgDummyServer server(options);
    ADD_FAILURE() << "started on " << server.displayName();
  } catch (const std::runtime_error& e) {
    EXPECT_TRUE(has(e.what(), "Xorg ended before reporting its display number")) << e.what();
    EXPECT_TRUE(has(e.what(), "video memory")) << e.what();
  }
}

} // namespace
