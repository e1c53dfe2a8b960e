#include "StandInAgent.h"

#include "base/io/Io.h"
#include "base/os/LaunchedProcessPipe.h"
#include "base/plat/Exception.h"
#include "base/rdr/EndOfStream.h"
#include "base/rdr/InStreamV4.h"
#include "base/rdr/OutStreamV4.h"
#include "libs/agentmsg/FromAgentMsgs.h"
#include "libs/agentmsg/MsgWriter.h"
#include "libs/agentmsg/ToAgentMsgs.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace agenthost::test {

using namespace agentmsg;

namespace {

// The socket path is the first argument after the pipe options.
std::string socketArgument(int argc, char** argv) {
  for (int i = 2; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "-hash") {
      i++;
      continue;
    }
    if (arg[0] != '-')
      return arg;
  }
  return {};
}

// Connects as some other process than the launched one and counts what the
// server sends before closing.
int impostor(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return 100;
  int total = 0;
  char buffer[64];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0)
    total += int(n);
  return total;
}

void log(rdr::OutStreamV4& out, const std::string& text) {
  writeMsg(out, LogMsg{30, "StandIn", text}, true);
}

int serve(rdr::InStreamV4& in, rdr::OutStreamV4& out) {
  for (;;) {
    in.startMsg(true);
    std::string name = in.readShortString();
    ParseState state;
    if (name == KeyEvent::name) {
      KeyEvent key;
      key.read(in, state);
      log(out, "keyEvent " + std::to_string(key.keysym) + " " + (key.down ? "1" : "0"));
    } else if (name == ClientCutText::name) {
      ClientCutText cut;
      cut.read(in, state);
      writeMsg(out, ServerCutText{cut.text}, true);
    } else if (name == Stop::name) {
      return 0;
    } else {
      log(out, "got " + name);
    }
    in.skipToEnd();
    in.endMsg();
  }
}

int echo(int argc, char** argv, const std::string& before) {
  int cursor = 2;
  os::LaunchedProcessPipe pipe;
  std::unique_ptr<io::Io> io = pipe.connect(argc, argv, cursor);
  rdr::InStreamV4 in(&io->inStream());
  rdr::OutStreamV4 out(&io->outStream());
  writeMsg(out, Init{}, false);
  writeMsg(out, InitRectAndPf{rfb::Rect(0, 0, 640, 480), rfb::PixelFormat::rgb888()}, true);
  log(out, std::string("mode=") + argv[1]);
  const char* display = getenv("DISPLAY");
  log(out, std::string("display=") + (display ? display : "<unset>"));
  const char* extra = getenv("AGENTHOST_EXTRA");
  log(out, std::string("extra=") + (extra ? extra : "<unset>"));
  for (int i = 2; i < argc; i++)
    log(out, std::string("arg=") + argv[i]);
  if (!before.empty())
    log(out, before);
  try {
    return serve(in, out);
  } catch (rdr::EndOfStream&) {
    return 0;
  }
}

} // namespace

int runStandIn(const char* behaviour, int argc, char** argv) {
  std::string mode = behaviour;
  try {
    if (mode == "silent" || mode == "stubborn") {
      if (mode == "stubborn")
        signal(SIGTERM, SIG_IGN);
      for (;;)
        pause();
    }
    if (mode == "die")
      return 3;
    if (mode == "leave") {
      int cursor = 2;
      os::LaunchedProcessPipe pipe;
      std::unique_ptr<io::Io> io = pipe.connect(argc, argv, cursor);
      rdr::OutStreamV4 out(&io->outStream());
      writeMsg(out, Init{}, true);
      return 5;
    }
    if (mode == "impostor") {
      pid_t child = fork();
      if (child == 0)
        _exit(impostor(socketArgument(argc, argv)));
      int status = 0;
      waitpid(child, &status, 0);
      return echo(argc, argv, "impostor got " + std::to_string(WEXITSTATUS(status)) + " bytes");
    }
    if (mode == "echo")
      return echo(argc, argv, "");
  } catch (plat::Exception& e) {
    fprintf(stderr, "stand-in: %s\n", e.what());
    return 2;
  }
  return 64;
}

const char* selfPath() {
  static char path[PATH_MAX] = "";
  if (!path[0]) {
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    path[n > 0 ? n : 0] = '\0';
  }
  return path;
}

} // namespace agenthost::test

// The test binary doubles as the stand-in agent.
int main(int argc, char** argv) {
  if (const char* behaviour = getenv(agenthost::test::standInVariable))
    return agenthost::test::runStandIn(behaviour, argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
