// The client side of the end-to-end comparison (scripts/bench-peers.sh):
// connects to one RFB server that serves an X display, and runs on that
// display, in order:
//   paint<N> - a painter repaints the whole screen (N frames a second, 0
//              for as fast as the X server draws) while updates are asked
//              for back to back: updates and whole screens delivered per
//              second, bytes received, CPU of the server side per screen;
//   latency  - a 16x16 square of a new colour is drawn at a random place,
//              time until the client's framebuffer shows it;
//   idle     - nothing changes: CPU of the server side and updates sent;
//   memory   - resident and proportional memory of the server side;
//   greeting - time from connecting to the server's version greeting,
//              over --samples fresh connections made one after another.
// With --workloads, each named workload instead (after the first frame):
//   idle     - nothing changes (--idle-seconds);
//   patch    - a 256x256 square at the centre takes a new colour 30 times
//              a second;
//   yes      - `yes` in an xterm: scrolling, with text that never changes;
//   find     - `find /` in an xterm: scrolling, with changing text;
//   noise60  - the whole screen repainted 60 times a second (as paint60);
// each measured over --seconds: updates (frames) and whole screens of
// pixels delivered per second, bytes received, CPU of the server side.
// The server side is a process and its descendants (kwo-serve and the
// agent, or x11vnc); CPU comes from /proc/<pid>/stat. Each figure is printed
// as one "result" line of key=value pairs for the script to tabulate.

#include "bench/peers/VncSession.h"
#include "bench/support/Painter.h"
#include "bench/support/ProcessTree.h"

#include <X11/Xlib.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = peers::VncSession::Clock;
using benchsupport::ProcessTree;

struct Options {
  std::string host = "127.0.0.1";
  int port = 5900;
  std::string label = "server";
  int round = 1;
  std::string display;
  pid_t serverPid = -1;
  pid_t xserverPid = -1;
  std::string encoding = "raw";
  double seconds = 10;
  std::vector<int> paintRates = {0, 60};
  int samples = 40;
  double idleSeconds = 30;
  peers::VncSession::Kind viewer = peers::VncSession::Kind::shape;
  std::vector<std::string> workloads;
};

[[noreturn]] void usage() {
  fputs("usage: bench_peer_client --port N --display :N --server-pid PID [--xserver-pid PID]\n"
        "         [--host ADDR] [--label NAME] [--round N] [--encoding raw|zrle|tight|...]\n"
        "         [--seconds S] [--paint-fps 0,60] [--samples N] [--idle-seconds S]\n"
        "         [--viewer shape|drawn] [--workloads idle,patch,yes,find,noise60]\n",
        stderr);
  exit(2);
}

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> items;
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ','))
    if (!item.empty())
      items.push_back(item);
  return items;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (i + 1 >= argc)
      usage();
    std::string value = argv[++i];
    if (arg == "--host") o.host = value;
    else if (arg == "--port") o.port = std::stoi(value);
    else if (arg == "--label") o.label = value;
    else if (arg == "--round") o.round = std::stoi(value);
    else if (arg == "--display") o.display = value;
    else if (arg == "--server-pid") o.serverPid = pid_t(std::stol(value));
    else if (arg == "--xserver-pid") o.xserverPid = pid_t(std::stol(value));
    else if (arg == "--encoding") o.encoding = value;
    else if (arg == "--seconds") o.seconds = std::stod(value);
    else if (arg == "--samples") o.samples = std::stoi(value);
    else if (arg == "--idle-seconds") o.idleSeconds = std::stod(value);
    else if (arg == "--viewer" && (value == "shape" || value == "drawn"))
      o.viewer = value == "shape" ? peers::VncSession::Kind::shape : peers::VncSession::Kind::drawn;
    else if (arg == "--paint-fps") {
      o.paintRates.clear();
      for (const std::string& item : splitList(value))
        o.paintRates.push_back(std::stoi(item));
    } else if (arg == "--workloads")
      o.workloads = splitList(value);
    else
      usage();
  }
  if (o.display.empty() || o.serverPid <= 0)
    usage();
  return o;
}

Clock::time_point after(double seconds) {
  return Clock::now() + std::chrono::microseconds(long(seconds * 1e6));
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string commandOf(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

// CPU seconds of the server's processes and of the X server over a span.
class CpuSpan {
public:
  CpuSpan(const Options& o) : server_(o.serverPid), xserver_(o.xserverPid) {
    for (pid_t pid : server_.pids())
      before_[pid] = ProcessTree::cpuSecondsOf(pid);
    xBefore_ = xserver_ > 0 ? ProcessTree::cpuSecondsOf(xserver_) : 0;
  }

  // "server_cpu_s=... xserver_cpu_s=..." and one "<command>_cpu_s" each.
  std::string finish(double& serverSeconds) {
    std::ostringstream out;
    serverSeconds = 0;
    std::map<std::string, double> byCommand;
    for (pid_t pid : server_.pids()) {
      double now = ProcessTree::cpuSecondsOf(pid);
      if (now < 0)
        continue;
      double spent = now - (before_.count(pid) ? before_[pid] : 0);
      serverSeconds += spent;
      byCommand[commandOf(pid)] += spent;
    }
    char text[128];
    snprintf(text, sizeof(text), "server_cpu_s=%.2f", serverSeconds);
    out << text;
    for (const auto& [command, seconds] : byCommand) {
      snprintf(text, sizeof(text), " cpu_s[%s]=%.2f", command.c_str(), seconds);
      out << text;
    }
    if (xserver_ > 0) {
      snprintf(text, sizeof(text), " xserver_cpu_s=%.2f",
               ProcessTree::cpuSecondsOf(xserver_) - xBefore_);
      out << text;
    }
    return out.str();
  }

private:
  ProcessTree server_;
  pid_t xserver_;
  std::map<pid_t, double> before_;
  double xBefore_;
};

// What a span of `seconds` of serving brought: counters before and after,
// and the CPU spent meanwhile.
struct Span {
  double seconds = 0;
  double serverSeconds = 0;
  std::string cpuText;
  peers::VncSession::Counters before, after;
};

Span serve(const Options& o, peers::VncSession& session, double seconds) {
  Span span;
  span.before = session.counters();
  CpuSpan cpu(o);
  Clock::time_point start = Clock::now();
  session.runUntil(start + std::chrono::microseconds(long(seconds * 1e6)));
  span.seconds = secondsSince(start);
  span.cpuText = cpu.finish(span.serverSeconds);
  span.after = session.counters();
  return span;
}

void result(const Options& o, const char* phase, const std::string& figures) {
  printf("result label=%s round=%d phase=%s %s\n", o.label.c_str(), o.round, phase,
         figures.c_str());
  fflush(stdout);
}

void firstFrame(const Options& o, peers::VncSession& session) {
  Clock::time_point start = Clock::now();
  double screen = double(session.width()) * session.height();
  if (!session.runUntil(after(30), [&] { return session.counters().pixels >= screen; }))
    throw std::runtime_error("no full first frame within 30 s");
  char text[128];
  snprintf(text, sizeof(text), "width=%d height=%d seconds=%.3f", session.width(),
           session.height(), secondsSince(start));
  result(o, "first", text);
}

// One "result" line of what a span delivered.
void report(const Options& o, const std::string& phase, const peers::VncSession& session,
            const Span& span, double painted) {
  const peers::VncSession::Counters& before = span.before;
  const peers::VncSession::Counters& now = span.after;
  double seconds = span.seconds, serverSeconds = span.serverSeconds;
  double updates = double(now.updates - before.updates);
  double screens = (now.pixels - before.pixels) / (double(session.width()) * session.height());
  char text[512];
  snprintf(text, sizeof(text),
           "seconds=%.2f painted_per_s=%.1f updates_per_s=%.2f screens_per_s=%.3f "
           "rects_per_update=%.1f MB_per_s=%.3f server_ms_per_screen=%.3f server_cpu_pct=%.2f ",
           seconds, painted / seconds, updates / seconds, screens / seconds,
           updates > 0 ? double(now.rects - before.rects) / updates : 0.0,
           double(now.wireBytes - before.wireBytes) / seconds / 1e6,
           screens > 0 ? 1000.0 * serverSeconds / screens : 0.0, 100.0 * serverSeconds / seconds);
  result(o, phase.c_str(), text + span.cpuText);
}

benchsupport::Painter::Options fullScreenNoise(const Options& o, const peers::VncSession& session,
                                               int framesPerSecond) {
  benchsupport::Painter::Options paint;
  paint.display = o.display;
  paint.width = session.width();
  paint.height = session.height();
  paint.content = benchsupport::Painter::Content::noise;
  paint.framesPerSecond = framesPerSecond;
  return paint;
}

void paint(const Options& o, peers::VncSession& session, int framesPerSecond) {
  benchsupport::Painter painter(fullScreenNoise(o, session, framesPerSecond));
  if (!painter.running())
    throw std::runtime_error("cannot start the painter");
  // The painter prepares its pictures, and the server catches up.
  session.runUntil(after(1.5));
  uint64_t paintedBefore = painter.framesPainted();
  Span span = serve(o, session, o.seconds);
  report(o, "paint" + std::to_string(framesPerSecond), session, span,
         double(painter.framesPainted() - paintedBefore));
}

// An xterm running a shell command on the display, at the top left, until
// destroyed.
class Xterm {
public:
  Xterm(const std::string& display, const std::string& command) {
    pid_ = fork();
    if (pid_ != 0)
      return;
    setenv("DISPLAY", display.c_str(), 1);
    execlp("xterm", "xterm", "-geometry", "160x60+0+0", "-e", "sh", "-c", command.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  ~Xterm() {
    if (pid_ <= 0)
      return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  Xterm(const Xterm&) = delete;
  Xterm& operator=(const Xterm&) = delete;

private:
  pid_t pid_ = -1;
};

void workload(const Options& o, peers::VncSession& session, const std::string& name) {
  std::unique_ptr<benchsupport::Painter> painter;
  std::unique_ptr<Xterm> xterm;
  if (name == "patch") {
    benchsupport::Painter::Options patch;
    patch.display = o.display;
    patch.width = patch.height = 256;
    patch.x = (session.width() - 256) / 2;
    patch.y = (session.height() - 256) / 2;
    patch.framesPerSecond = 30;
    painter = std::make_unique<benchsupport::Painter>(patch);
  } else if (name == "noise60") {
    painter = std::make_unique<benchsupport::Painter>(fullScreenNoise(o, session, 60));
  } else if (name == "yes") {
    xterm = std::make_unique<Xterm>(o.display, "exec yes");
  } else if (name == "find") {
    xterm = std::make_unique<Xterm>(o.display, "while :; do find / 2>/dev/null; done");
  } else if (name != "idle") {
    throw std::runtime_error("unknown workload " + name);
  }
  if (painter && !painter->running())
    throw std::runtime_error("cannot start the painter");
  // The load gets going, and what the last workload left is sent.
  session.runUntil(after(name == "idle" ? 3 : 2));
  uint64_t paintedBefore = painter ? painter->framesPainted() : 0;
  Span span = serve(o, session, name == "idle" ? o.idleSeconds : o.seconds);
  report(o, "w-" + name, session, span,
         painter ? double(painter->framesPainted() - paintedBefore) : 0.0);
}

struct XConnection {
  explicit XConnection(const std::string& name) : dpy(XOpenDisplay(name.c_str())) {
    if (!dpy)
      throw std::runtime_error("cannot open display " + name);
    gc = XCreateGC(dpy, DefaultRootWindow(dpy), 0, nullptr);
  }
  ~XConnection() {
    XFreeGC(dpy, gc);
    XCloseDisplay(dpy);
  }
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;
  Display* dpy;
  GC gc;
};

double percentile(std::vector<double> values, double p) {
  if (values.empty())
    return 0;
  std::sort(values.begin(), values.end());
  size_t index = size_t(p * double(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

void latency(const Options& o, peers::VncSession& session) {
  XConnection x(o.display);
  std::mt19937 rng(unsigned(1000 + o.round));
  constexpr int side = 16;
  session.runUntil(after(1));
  std::vector<double> samples;
  int missed = 0;
  for (int i = 0; i < o.samples; i++) {
    int px = int(rng() % unsigned(session.width() - side));
    int py = int(rng() % unsigned(session.height() - side));
    int cx = px + side / 2, cy = py + side / 2;
    uint32_t colour = rng() & 0xffffff;
    while (colour == session.pixel(cx, cy))
      colour = rng() & 0xffffff;
    Clock::time_point start = Clock::now();
    XSetForeground(x.dpy, x.gc, colour);
    XFillRectangle(x.dpy, DefaultRootWindow(x.dpy), x.gc, px, py, side, side);
    XSync(x.dpy, False);
    if (session.runUntil(start + std::chrono::seconds(2),
                         [&] { return session.pixel(cx, cy) == colour; }))
      samples.push_back(1000.0 * secondsSince(start));
    else
      missed++;
    // Not in step with any server's polling period.
    session.runUntil(after(0.02 + double(rng() % 40) / 1000.0));
  }
  double mean = 0;
  for (double s : samples)
    mean += s / double(samples.size());
  char text[256];
  snprintf(text, sizeof(text),
           "samples=%zu missed=%d median_ms=%.2f p90_ms=%.2f mean_ms=%.2f max_ms=%.2f",
           samples.size(), missed, percentile(samples, 0.5), percentile(samples, 0.9), mean,
           percentile(samples, 1.0));
  result(o, "latency", text);
}

void idle(const Options& o, peers::VncSession& session) {
  // Whatever the last phase left to send goes first.
  session.runUntil(after(3));
  Span span = serve(o, session, o.idleSeconds);
  char text[256];
  snprintf(text, sizeof(text), "seconds=%.1f updates=%ld server_cpu_pct=%.2f ", span.seconds,
           span.after.updates - span.before.updates, 100.0 * span.serverSeconds / span.seconds);
  result(o, "idle", text + span.cpuText);
}

void memory(const Options& o, const peers::VncSession& session) {
  ProcessTree tree(o.serverPid);
  double pixels = double(session.width()) * session.height();
  std::ostringstream out;
  long pss = tree.proportionalKiB();
  long rss = tree.residentKiB();
  char text[256];
  snprintf(text, sizeof(text), "server_rss_KiB=%ld server_pss_KiB=%ld pss_bytes_per_pixel=%.2f",
           rss, pss, double(pss) * 1024.0 / pixels);
  out << text;
  for (pid_t pid : tree.pids()) {
    long r = ProcessTree::residentKiBOf(pid);
    snprintf(text, sizeof(text), " rss_KiB[%s]=%ld rss_bytes_per_pixel[%s]=%.2f",
             commandOf(pid).c_str(), r, commandOf(pid).c_str(), double(r) * 1024.0 / pixels);
    out << text;
  }
  result(o, "memory", out.str());
}

// Seconds until the 12-byte version greeting has arrived on a new
// connection; negative when it did not come within 5 s.
double greetingSeconds(const Options& o) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(o.port));
  inet_pton(AF_INET, o.host.c_str(), &address.sin_addr);
  Clock::time_point start = Clock::now();
  double seconds = -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
    char greeting[12];
    size_t got = 0;
    pollfd p{fd, POLLIN, 0};
    while (got < sizeof(greeting) && poll(&p, 1, 5000) == 1) {
      ssize_t n = read(fd, greeting + got, sizeof(greeting) - got);
      if (n <= 0)
        break;
      got += size_t(n);
    }
    if (got == sizeof(greeting))
      seconds = secondsSince(start);
  }
  close(fd);
  return seconds;
}

void greeting(const Options& o) {
  std::vector<double> samples;
  int missed = 0;
  for (int i = 0; i < o.samples; i++) {
    double seconds = greetingSeconds(o);
    if (seconds < 0)
      missed++;
    else
      samples.push_back(1000.0 * seconds);
  }
  char text[256];
  snprintf(text, sizeof(text), "samples=%zu missed=%d median_ms=%.2f p90_ms=%.2f max_ms=%.2f",
           samples.size(), missed, percentile(samples, 0.5), percentile(samples, 0.9),
           percentile(samples, 1.0));
  result(o, "greeting", text);
}

} // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  try {
    peers::VncSession session(o.host, o.port, o.encoding, o.viewer);
    firstFrame(o, session);
    if (!o.workloads.empty()) {
      for (const std::string& name : o.workloads)
        workload(o, session, name);
      return 0;
    }
    for (int rate : o.paintRates)
      paint(o, session, rate);
    latency(o, session);
    idle(o, session);
    memory(o, session);
    greeting(o);
  } catch (const std::exception& e) {
    fprintf(stderr, "bench_peer_client (%s): %s\n", o.label.c_str(), e.what());
    return 1;
  }
  return 0;
}
