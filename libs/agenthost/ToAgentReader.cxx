#include "libs/agenthost/ToAgentReader.h"

#include <algorithm>

namespace agenthost {

namespace {

template <class Msg>
std::unique_ptr<MsgDispatcher::Slot> slot(const std::vector<ToAgentHandler*>& handlers,
                                          void (ToAgentHandler::*fn)(const Msg&)) {
  return std::make_unique<TypedSlot<Msg, ToAgentHandler>>(handlers, fn);
}

} // namespace

ToAgentReader::ToAgentReader(io::MsgIpc& channel) : MsgDispatcher(channel) {
  addSlot(slot(handlers_, &ToAgentHandler::start));
  addSlot(slot(handlers_, &ToAgentHandler::stop));
  addSlot(slot(handlers_, &ToAgentHandler::fbUpdateRequest));
  addSlot(slot(handlers_, &ToAgentHandler::pointerEvent));
  addSlot(slot(handlers_, &ToAgentHandler::keyEvent));
  addSlot(slot(handlers_, &ToAgentHandler::clientCutText));
  addSlot(slot(handlers_, &ToAgentHandler::setParams));
  addSlot(slot(handlers_, &ToAgentHandler::setXServerOwner));
  addSlot(slot(handlers_, &ToAgentHandler::setDisplayMode));
  addSlot(slot(handlers_, &ToAgentHandler::setMonitor));
  addSlot(slot(handlers_, &ToAgentHandler::setLogLevel));
}

void ToAgentReader::addHandler(ToAgentHandler& handler) { handlers_.push_back(&handler); }

void ToAgentReader::removeHandler(ToAgentHandler& handler) { std::erase(handlers_, &handler); }

} // namespace agenthost
