#include "libs/agenthost/FromAgentReader.h"

#include <algorithm>

namespace agenthost {

namespace {

template <class Msg>
std::unique_ptr<MsgDispatcher::Slot> slot(const std::vector<FromAgentHandler*>& handlers,
                                          void (FromAgentHandler::*fn)(const Msg&)) {
  return std::make_unique<TypedSlot<Msg, FromAgentHandler>>(handlers, fn);
}

} // namespace

FromAgentReader::FromAgentReader(io::MsgIpc& channel) : MsgDispatcher(channel) {
  addSlot(slot(handlers_, &FromAgentHandler::init));
  addSlot(slot(handlers_, &FromAgentHandler::initRectAndPf));
  addSlot(slot(handlers_, &FromAgentHandler::setPixelBuffer));
  addSlot(slot(handlers_, &FromAgentHandler::setColourMapEntries));
  addSlot(slot(handlers_, &FromAgentHandler::fbUpdate));
  addSlot(slot(handlers_, &FromAgentHandler::setCursorImage));
  addSlot(slot(handlers_, &FromAgentHandler::setCursorPos));
  addSlot(slot(handlers_, &FromAgentHandler::bell));
  addSlot(slot(handlers_, &FromAgentHandler::serverCutText));
  addSlot(slot(handlers_, &FromAgentHandler::localInput));
  addSlot(slot(handlers_, &FromAgentHandler::setBlankRegion));
  addSlot(slot(handlers_, &FromAgentHandler::desktopFailure));
  addSlot(slot(handlers_, &FromAgentHandler::closeClients));
  addSlot(slot(handlers_, &FromAgentHandler::captureBroken));
  addSlot(slot(handlers_, &FromAgentHandler::desktopUidChanged));
  addSlot(slot(handlers_, &FromAgentHandler::monitorsUpdated));
  addSlot(slot(handlers_, &FromAgentHandler::displayModesSupported));
  addSlot(slot(handlers_, &FromAgentHandler::displayModesUpdated));
  addSlot(slot(handlers_, &FromAgentHandler::logMsg));
}

void FromAgentReader::addHandler(FromAgentHandler& handler) { handlers_.push_back(&handler); }

void FromAgentReader::removeHandler(FromAgentHandler& handler) { std::erase(handlers_, &handler); }

} // namespace agenthost
