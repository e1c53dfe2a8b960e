#pragma once

// What the end-to-end tests share: the agent binary launched as a server
// launches it (libs/agenthost), everything it sends decoded by the server's
// own message records into one recorder, and a check that no agent of the
// test wrote a sanitizer report (the tests' agent is a sanitizer build).

#include "base/io/FdSelectManager.h"
#include "libs/agenthost/AgentProcess.h"
#include "libs/agentmsg/ToAgentMsgs.h"
#include "testsupport/TempDir.h"
#include "testsupport/XvfbServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

constexpr int deadlineMs = 60000;
using AgentParams = std::vector<std::pair<std::string, std::string>>;

struct AgentRecorder : agenthost::FromAgentHandler {
  std::vector<agentmsg::InitRectAndPf> greetings;
  std::vector<agentmsg::SetPixelBuffer> buffers;
  std::vector<agentmsg::SetColourMapEntries> colourMaps;
  std::vector<agentmsg::FbUpdate> updates;
  std::vector<agentmsg::SetCursorImage> cursors;
  std::vector<rfb::Point> cursorPositions;
  std::vector<std::string> cutTexts;
  int localInputs = 0;
  std::vector<bool> brokenReports;
  std::vector<agentmsg::DesktopUidChanged> uids;
  std::vector<agentmsg::MonitorsUpdated> monitorReports;
  std::vector<bool> modesSupported;
  std::vector<agentmsg::LogMsg> logs;

  void initRectAndPf(const agentmsg::InitRectAndPf& m) override { greetings.push_back(m); }
  void setPixelBuffer(const agentmsg::SetPixelBuffer& m) override { buffers.push_back(m); }
  void setColourMapEntries(const agentmsg::SetColourMapEntries& m) override {
    colourMaps.push_back(m);
  }
  void fbUpdate(const agentmsg::FbUpdate& m) override { updates.push_back(m); }
  void setCursorImage(const agentmsg::SetCursorImage& m) override { cursors.push_back(m); }
  void setCursorPos(const agentmsg::SetCursorPos& m) override {
    cursorPositions.emplace_back(m.x, m.y);
  }
  void serverCutText(const agentmsg::ServerCutText& m) override { cutTexts.push_back(m.text); }
  void localInput(const agentmsg::LocalInput&) override { localInputs++; }
  void captureBroken(const agentmsg::CaptureBroken& m) override {
    brokenReports.push_back(m.broken);
  }
  void desktopUidChanged(const agentmsg::DesktopUidChanged& m) override { uids.push_back(m); }
  void monitorsUpdated(const agentmsg::MonitorsUpdated& m) override {
    monitorReports.push_back(m);
  }
  void displayModesSupported(const agentmsg::DisplayModesSupported& m) override {
    modesSupported.push_back(m.supported);
  }
  void logMsg(const agentmsg::LogMsg& m) override { logs.push_back(m); }

  // The log lines starting with `prefix`.
  int logCount(const std::string& prefix) const {
    return int(std::count_if(logs.begin(), logs.end(), [&](const agentmsg::LogMsg& log) {
      return log.text.rfind(prefix, 0) == 0;
    }));
  }
  std::string allLogs() const {
    std::string all;
    for (const agentmsg::LogMsg& log : logs)
      all += log.source + ": " + log.text + "\n";
    return all;
  }
};

class AgentTest : public testing::Test {
protected:
  // A private X server for the agent.
  void startXvfb(testsupport::XvfbServer::Options options = {}) {
    agent.reset();
    xvfb.reset();
    xvfb = std::make_unique<testsupport::XvfbServer>(options);
    display = xvfb->displayName();
  }

  // The settings for the agent binary on `display`; its sanitizer reports
  // go to a directory of the test's own.
  agenthost::AgentLaunch settings(AgentParams params = {}) {
    agenthost::AgentLaunch launch;
    launch.agentPath = KWO_AGENT_PATH;
    launch.display = display;
    launch.params = std::move(params);
    const char* asan = getenv("ASAN_OPTIONS");
    launch.environment = {
      {"ASAN_OPTIONS", (asan ? asan + std::string(":") : "") + "log_path=" + reports.path() + "/asan"},
      {"UBSAN_OPTIONS", "print_stacktrace=1:log_path=" + reports.path() + "/ubsan"},
      {"KWO_PROFILE_DIR", reports.path()},
    };
    return launch;
  }

  // Launches the agent, waits for its greeting and asks for every log line
  // up to `logLevel` (which it holds back until the server names a level).
  void launch(const agenthost::AgentLaunch& launch, int logLevel = 200) {
    recorder = AgentRecorder();
    agent = std::make_unique<agenthost::AgentProcess>(launch, &recorder);
    ASSERT_TRUE(agent->waitForMsg("initRectAndPf", deadlineMs)) << agent->failure();
    if (logLevel >= 0)
      agent->send(agentmsg::SetLogLevel{uint32_t(logLevel)});
  }
  void launchAgent(AgentParams params = {}) { launch(settings(std::move(params))); }

  // "start", then the buffer announcement.
  void startDesktop() {
    agent->send(agentmsg::Start{});
    ASSERT_TRUE(agent->waitForMsg("setPixelBuffer", deadlineMs));
    ASSERT_TRUE(agent->pixelBuffer().valid());
  }

  bool until(const std::function<bool()>& condition) {
    return agent->waitUntil(condition, deadlineMs);
  }
  bool waitForLog(const std::string& text, int count = 1) {
    bool found = until([&] { return recorder.logCount(text) >= count; });
    EXPECT_TRUE(found) << "waiting for " << text << "; logged:\n" << recorder.allLogs();
    return found;
  }

  // The agent ended with one of `codes`.
  void expectEnd(std::initializer_list<int> codes) {
    ASSERT_TRUE(agent->waitForExit(deadlineMs));
    const agenthost::ExitStatus& status = agent->exitStatus().value();
    EXPECT_TRUE(std::any_of(codes.begin(), codes.end(), [&](int c) { return status.exitedWith(c); }))
      << status.describe();
  }

  void TearDown() override {
    agent.reset();
    for (std::string name : {"asan", "ubsan"}) {
      for (const auto& entry : std::filesystem::directory_iterator(reports.path())) {
        if (entry.path().filename().string().rfind(name, 0) == 0)
          ADD_FAILURE() << "sanitizer report " << entry.path();
      }
    }
  }

  io::FdSelectManager manager;
  testsupport::TempDir reports{"kwo-e2e"};
  std::unique_ptr<testsupport::XvfbServer> xvfb;
  std::string display;
  AgentRecorder recorder;
  std::unique_ptr<agenthost::AgentProcess> agent;
};

} // namespace e2e
