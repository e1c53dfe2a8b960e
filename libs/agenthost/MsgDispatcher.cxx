#include "libs/agenthost/MsgDispatcher.h"

#include "base/plat/Assert.h"

namespace agenthost {

MsgDispatcher::MsgDispatcher(io::MsgIpc& channel) : channel_(channel) {}

// The Reader base unregisters from the channel, unless the channel went
// first and told us so (ipcGone).
MsgDispatcher::~MsgDispatcher() = default;

void MsgDispatcher::addSlot(std::unique_ptr<Slot> slot) {
  std::string name = slot->name();
  PLAT_ASSERT(!slots_.contains(name));
  channel_.registerReader(name, *this);
  slots_.emplace(std::move(name), std::move(slot));
}

size_t MsgDispatcher::received(const std::string& name) const {
  auto found = received_.find(name);
  return found == received_.end() ? 0 : found->second;
}

std::vector<std::string> MsgDispatcher::names() const {
  std::vector<std::string> names;
  for (const auto& entry : slots_)
    names.push_back(entry.first);
  return names;
}

bool MsgDispatcher::readMsg(const std::string& name, rdr::FramedInStream& in, io::MsgIpc&) {
  if (!current_) {
    auto found = slots_.find(name);
    // The channel only hands us names we registered.
    PLAT_ASSERT(found != slots_.end());
    current_ = found->second.get();
    current_->reset();
  }
  // rdr::BlockException leaves current_ set: the same slot resumes.
  current_->read(in);
  Slot* done = current_;
  current_ = nullptr;
  received_[name]++;
  done->deliver();
  done->reset();
  return true;
}

void MsgDispatcher::ipcReset(io::MsgIpc&) {
  if (current_)
    current_->reset();
  current_ = nullptr;
}

} // namespace agenthost
