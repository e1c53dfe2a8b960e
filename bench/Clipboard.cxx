// Memory of the agent around large clipboard texts, on a private Xvfb with
// xclip as the desktop's applications. The agent binary of this build is
// launched as a server launches it (libs/agenthost) and carries 20 texts of
// 20 MiB each way: a copy by xclip, sent to the server as "serverCutText",
// and a viewer's text from "clientCutText", pasted by xclip. Texts that
// large go in chunks (INCR) both ways. A small text each way then replaces
// the large ones the agent keeps as its last clipboard text.
//
//   clipboardRss - one iteration is the whole run. Counters, from the
//                  agent's VmRSS: rssStartMiB before the first transfer,
//                  rssPeakMiB the largest after any round, rssEndMiB after
//                  the small texts; MiBps is the clipboard bytes moved per
//                  second of wall time.
//
// Under the sanitizers (the smoke test) two rounds of 1 MiB stand in; the
// figures mean nothing there.

#include "base/io/FdSelectManager.h"
#include "bench/support/ProcessTree.h"
#include "libs/agenthost/AgentProcess.h"
#include "libs/agentmsg/ToAgentMsgs.h"
#include "testsupport/BackgroundChild.h"
#include "testsupport/ChildProcess.h"
#include "testsupport/XvfbServer.h"

#include <benchmark/benchmark.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int rounds = 2;
constexpr size_t textBytes = 1 << 20;
#else
constexpr int rounds = 20;
constexpr size_t textBytes = 20 << 20;
#endif

constexpr int deadlineMs = 120000;

// Counts the texts the agent sent; only their sizes are kept.
struct CutTextSizes : agenthost::FromAgentHandler {
  std::vector<size_t> sizes;
  void serverCutText(const agentmsg::ServerCutText& msg) override {
    sizes.push_back(msg.text.size());
  }

};

// A text of `bytes` printable bytes; each `n` gives another (the agent
// sends no repeats).
std::string textFor(int n, size_t bytes) {
  std::string text(bytes, char('a' + n % 26));
  for (size_t i = size_t(n); i < text.size(); i += 61)
    text[i] = char('A' + (i / 61) % 26);
  return text;
}

void check(bool ok, const char* what) {
  if (!ok)
    throw std::runtime_error(what);
}

class ClipboardRun {
public:
  ClipboardRun() : xvfb(options()), dpy(XOpenDisplay(xvfb.displayName().c_str())) {
    check(dpy != nullptr, "cannot open the X display");
    agenthost::AgentLaunch launch;
    launch.agentPath = KWO_AGENT_PATH;
    launch.display = xvfb.displayName();
    launch.params = {{"EnableClipboard", "1"}};
    agent = std::make_unique<agenthost::AgentProcess>(launch, &sent);
    check(agent->waitForMsg("initRectAndPf", deadlineMs), "the agent did not start");
    agent->send(agentmsg::Start{});
    check(agent->waitForMsg("setPixelBuffer", deadlineMs), "the desktop did not start");
    warmUp();
  }
  ~ClipboardRun() {
    agent.reset();
    XCloseDisplay(dpy);
  }

  long rssKiB() const { return benchsupport::ProcessTree::residentKiBOf(agent->pid()); }

  // xclip copies `text`; the agent sends it on.
  void copyOnDesktop(const std::string& text) {
    check(copied(text, deadlineMs), "the copy was not sent");
    check(sent.sizes.back() == text.size(), "the copy was sent cut short");
  }

  // A viewer's `text` reaches the agent; xclip pastes it.
  void pasteOnDesktop(const std::string& text) {
    agent->send(agentmsg::ClientCutText{text});
    check(agent->waitUntil([&] { return owner && owner->ended(); }, deadlineMs),
          "the agent did not take the clipboard");
    testsupport::BackgroundChild paster({"xclip", "-selection", "clipboard", "-o"},
                                        environment());
    check(agent->waitUntil([&] { return paster.ended(); }, deadlineMs), "xclip did not end");
    check(paster.result().out.size() == text.size(), "the paste was cut short");
  }

private:
  // Whether the agent sent `text` within `timeoutMs`. The earlier xclip
  // ends as this one takes the clipboard.
  bool copied(const std::string& text, int timeoutMs) {
    size_t before = sent.sizes.size();
    owner = std::make_unique<testsupport::BackgroundChild>(
      std::vector<std::string>{"xclip", "-selection", "clipboard", "-i", "-quiet"},
      environment(), text);
    return agent->waitUntil([&] { return sent.sizes.size() > before; }, timeoutMs);
  }

  // The agent watches the selections only once its answer to "start" has
  // reached the X server: small copies until one arrives.
  void warmUp() {
    for (int i = 0; i < 60; i++) {
      if (copied("warm-up " + std::to_string(i), 1000))
        return;
    }
    check(false, "no copy arrived");
  }

  static testsupport::XvfbServer::Options options() {
    testsupport::XvfbServer::Options o;
    o.width = 320;
    o.height = 240;
    return o;
  }
  std::vector<std::pair<std::string, std::string>> environment() const {
    return {{"DISPLAY", xvfb.displayName()}};
  }

  io::FdSelectManager manager;
  testsupport::XvfbServer xvfb;
  Display* dpy;
  CutTextSizes sent;
  std::unique_ptr<agenthost::AgentProcess> agent;
  std::unique_ptr<testsupport::BackgroundChild> owner;
};

void clipboardRss(benchmark::State& state) {
  for (auto _ : state) {
    ClipboardRun run;
    long start = run.rssKiB();
    long peak = start;
    auto began = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; round++) {
      run.copyOnDesktop(textFor(2 * round, textBytes));
      run.pasteOnDesktop(textFor(2 * round + 1, textBytes));
      peak = std::max(peak, run.rssKiB());
    }
    double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    run.copyOnDesktop("small from the desktop");
    run.pasteOnDesktop("small from a viewer");
    state.counters["rssStartMiB"] = double(start) / 1024;
    state.counters["rssPeakMiB"] = double(peak) / 1024;
    state.counters["rssEndMiB"] = double(run.rssKiB()) / 1024;
    state.counters["MiBps"] = 2.0 * rounds * double(textBytes) / (1 << 20) / seconds;
  }
}

BENCHMARK(clipboardRss)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace
