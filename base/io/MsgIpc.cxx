#include "base/io/MsgIpc.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"

#include <algorithm>

namespace io {

namespace {

plat::LogSrc vlog("Ipc");

// Message names start with a letter; a lower byte means the two ends have
// lost the framing or speak different protocols.
constexpr unsigned char lowestLeadByte = 0x41;

bool hasBadLeadByte(const std::string& name) {
  return name.empty() || static_cast<unsigned char>(name[0]) < lowestLeadByte;
}

} // namespace

MsgIpc::Reader::~Reader() {
  if (channel_)
    channel_->removeReader(*this);
}

void MsgIpc::Reader::ipcGone(MsgIpc& channel) {
  if (channel_ == &channel)
    channel_ = nullptr;
}

MsgIpc::MsgIpc(Callback& callback, std::string name, bool synchronous, bool warnDiscard)
  : ipc_(std::move(name), *this, synchronous), callback_(callback), warnDiscard_(warnDiscard) {
  bindStreams();
}

MsgIpc::~MsgIpc() {
  while (!readers_.empty()) {
    Reader& reader = *readers_.begin()->second;
    removeReader(reader);
    reader.ipcGone(*this);
  }
  if (closeOnDestroy_)
    close(false);
}

void MsgIpc::bindStreams() {
  in_.setUnderlying(ipc_.inStream());
  out_.setUnderlying(&ipc_.outStream());
}

void MsgIpc::registerReader(std::optional<std::string> name, Reader& reader) {
  readers_[std::move(name)] = &reader;
  reader.channel_ = this;
}

void MsgIpc::removeReader(Reader& reader) {
  std::erase_if(readers_, [&](const auto& entry) { return entry.second == &reader; });
  if (reader.channel_ == this)
    reader.channel_ = nullptr;
  if (selected_ == &reader) {
    selected_ = nullptr;
    state_.set(&MsgIpc::skipRest);
  }
}

std::vector<MsgIpc::Reader*> MsgIpc::distinctReaders() const {
  std::vector<Reader*> distinct;
  for (const auto& [name, reader] : readers_)
    if (std::find(distinct.begin(), distinct.end(), reader) == distinct.end())
      distinct.push_back(reader);
  return distinct;
}

void MsgIpc::resetReaders() {
  for (Reader* reader : distinctReaders()) {
    // A reader may drop others while being reset.
    if (reader->channel_ == this)
      reader->ipcReset(*this);
  }
}

rdr::FramedOutStream& MsgIpc::writeMsg(std::string_view name) {
  const std::string msgName(name);
  if (!callback_.isMsgAllowed(*this, msgName, true)) {
    vlog.status("%s: Message '%s' not currently allowed", this->name().c_str(), msgName.c_str());
    throw plat::Exception("MsgIpc::writeMsg: Message not currently allowed");
  }
  if (warnDiscard_ && !connected())
    vlog.info("%s: Discarding message '%s'", this->name().c_str(), msgName.c_str());
  if (out_.inMsg()) {
    // A writer failed half-way through its message. What it wrote may be on
    // its way already; ending it keeps the framing intact, and the peer sees
    // a message that is short of data instead of two run together.
    vlog.error("%s: Ending an unfinished message before '%s'", this->name().c_str(),
               msgName.c_str());
    out_.abandonMsg();
  }
  out_.startMsg();
  out_.writeShortString(msgName);
  return out_;
}

void MsgIpc::accept(std::unique_ptr<Io> io) {
  ipc_.accept(std::move(io));
  bindStreams();
  selected_ = nullptr;
  state_.set(&MsgIpc::readStartMsg);
  resetReaders();
}

void MsgIpc::close(bool notify) {
  const bool wasConnected = connected();
  ipc_.close();
  bindStreams();
  state_.clear();
  selected_ = nullptr;
  if (!wasConnected)
    return;
  resetReaders();
  if (notify)
    callback_.ipcClosed(*this);
}

void MsgIpc::dataAvailable(Ipc&) {
  // A blocked state leaves through rdr::BlockException with the input back at
  // its checkpoint, and runs again when more data has arrived.
  while (connected()) {
    if (!state_.run())
      return;
    if (!connected())
      return;
    in_.checkpoint();
  }
}

void MsgIpc::ipcClosed(Ipc&) {
  bindStreams();
  state_.clear();
  selected_ = nullptr;
  resetReaders();
  callback_.ipcClosed(*this);
}

void MsgIpc::ipcError(Ipc&, const plat::Exception& e) {
  callback_.ipcError(*this, e);
}

bool MsgIpc::readStartMsg() {
  if (!in_.startMsg(false))
    return false;
  state_.set(&MsgIpc::readMsgName);
  return true;
}

bool MsgIpc::readMsgName() {
  msgName_ = in_.readShortString(true);
  auto entry = readers_.find(msgName_);
  if (entry == readers_.end())
    entry = readers_.find(std::nullopt);
  if (entry != readers_.end()) {
    selected_ = entry->second;
    state_.set(&MsgIpc::dispatch);
    return true;
  }
  return unknownName();
}

bool MsgIpc::unknownName() {
  const char* channelName = name().c_str();
  if (msgName_ == "badMsg") {
    std::string badName = in_.readShortString(true);
    vlog.status("%s: Peer reports bad msg name '%s'", channelName, badName.c_str());
    throw plat::Exception(plat::format("MsgIpc: expected message %s, peer reports bad msg name '%s'",
                                       expectedName_ ? expectedName_->c_str() : "<null>",
                                       badName.c_str()));
  }
  state_.set(&MsgIpc::skipRest);
  if (replyBadMsg_) {
    try {
      rdr::FramedOutStream& out = writeMsg("badMsg");
      out.writeShortString(msgName_);
      out.endMsg(true);
    } catch (const plat::Exception& e) {
      vlog.status("%s: %s", channelName, e.describe().c_str());
    }
    return true;
  }
  vlog.status("%s: Bad msg name '%s'", channelName, msgName_.c_str());
  if (closeOnBadLeadByte_ && hasBadLeadByte(msgName_)) {
    close(true);
    return false;
  }
  return true;
}

bool MsgIpc::dispatch() {
  if (!callback_.isMsgAllowed(*this, msgName_, false)) {
    vlog.status("%s: Message '%s' not currently allowed", name().c_str(), msgName_.c_str());
    selected_ = nullptr;
    state_.set(&MsgIpc::skipRest);
    return true;
  }
  if (!selected_->readMsg(msgName_, in_, *this))
    return false;
  // The reader may have closed the channel or removed itself meanwhile.
  if (state_.is(&MsgIpc::dispatch)) {
    selected_ = nullptr;
    state_.set(&MsgIpc::skipRest);
  }
  return true;
}

bool MsgIpc::skipRest() {
  if (in_.inMsg()) {
    in_.skipToEnd();
    in_.endMsg();
  }
  state_.set(&MsgIpc::readStartMsg);
  return true;
}

} // namespace io
