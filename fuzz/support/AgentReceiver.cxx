#include "fuzz/support/AgentReceiver.h"

#include "base/io/FdSelectManager.h"
#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/LogDestIpc.h"
#include "base/rfb/Point.h"
#include "fuzz/support/FuzzEnv.h"
#include "fuzz/support/MemoryIo.h"
#include "libs/svr/AgentShmPermGetter.h"
#include "libs/svr/SDesktop.h"
#include "libs/svr/SServerAgent.h"

#include <cstdio>
#include <cstdlib>

namespace fuzz {

namespace {

class RecordingDesktop : public svr::SDesktop {
public:
  explicit RecordingDesktop(Events& events) : events_(events) {}

  void keyEvent(uint32_t keysym, bool down) override {
    events_.push_back("key " + std::to_string(keysym) + (down ? " down" : " up"));
  }
  void pointerEvent(const rfb::Point& p, uint32_t mask, bool relative) override {
    events_.push_back("pointer " + std::to_string(p.x) + "," + std::to_string(p.y) + " " +
                      std::to_string(mask) + (relative ? " relative" : ""));
  }
  void clientCutText(std::string_view text) override {
    events_.push_back("cut " + std::string(text));
  }
  void start(svr::SServer&) override { events_.push_back("start"); }
  void stop() override { events_.push_back("stop"); }
  void requestUpdate() override { events_.push_back("requestUpdate"); }
  rfb::Rect getRect() override { return rfb::Rect(0, 0, 64, 48); }
  bool getPF(rfb::PixelFormat& pf) override {
    pf = rfb::PixelFormat::rgb888();
    return true;
  }

private:
  Events& events_;
};

class RecordingOwner : public svr::SServerAgent::Callback {
public:
  explicit RecordingOwner(Events& events) : events_(events) {}
  void desktopRunning(svr::SServerAgent&, bool running) override {
    events_.push_back(running ? "running" : "not running");
  }
  void serverDisconnected(svr::SServerAgent&) override { events_.push_back("disconnected"); }

private:
  Events& events_;
};

void recordParameters(const plat::Configuration& group, Events& events) {
  for (plat::ConfigParameter* param = group.head(); param; param = param->next()) {
    for (const auto& [priority, text] : param->values()) {
      if (priority != plat::ConfigParameter::priorityDefault)
        events.push_back("param " + param->getName() + " " + std::to_string(priority) + " " +
                         text);
    }
  }
  for (const plat::Configuration* child : group.children())
    recordParameters(*child, events);
}

void pumpLoop() {
  // Lets the log channel send what the readers logged.
  io::FdSelectManager::instance().processEvents(0);
}

void print(const char* title, const Events& events) {
  std::fprintf(stderr, "%s (%zu events):\n", title, events.size());
  for (const std::string& event : events)
    std::fprintf(stderr, "  %s\n", event.c_str());
}

} // namespace

void initAgentReceiver() {
  io::FdSelectManager::instance();
  pinLogSetting("*:ipc:200");
}

Events runAgentReceiver(const std::vector<std::span<const uint8_t>>& pieces) {
  Events events;
  {
    MemoryLink link;
    RecordingDesktop desktop(events);
    RecordingOwner owner(events);
    svr::SServerAgent agent(owner, desktop);
    svr::AgentShmPermGetter permGetter(agent.channel());
    agent.accept(link.connect());
    for (std::span<const uint8_t> piece : pieces) {
      bool open = link.deliver(piece);
      pumpLoop();
      if (!open)
        break;
    }
    link.end();
    pumpLoop();
    const ipc_perm& perm = permGetter.record();
    events.push_back("owner " + std::to_string(perm.uid) + " " + std::to_string(perm.gid));
  }
  recordParameters(plat::Configuration::global(), events);
  resetAllParameters();
  plat::LogDestIpc::instance().reset();
  return events;
}

void requireSameEvents(const Events& split, const Events& whole) {
  if (split == whole)
    return;
  print("Delivered in pieces", split);
  print("Delivered whole", whole);
  std::abort();
}

} // namespace fuzz
