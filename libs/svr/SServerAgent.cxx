#include "libs/svr/SServerAgent.h"

#include "base/plat/Assert.h"
#include "base/plat/BoolParameter.h"
#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/Exception.h"
#include "base/plat/LogDestIpc.h"
#include "base/plat/LogSrc.h"
#include "base/plat/unix/SharedMem.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/FramedInStream.h"
#include "base/rfb/ColourMap.h"
#include "base/rfb/Cursor.h"
#include "base/rfb/CursorWithAlpha.h"
#include "base/rfb/PixelBuffer.h"
#include "libs/agentmsg/FromAgentMsgs.h"
#include "libs/agentmsg/ToAgentMsgs.h"
#include "libs/svr/CloseReason.h"
#include "libs/svr/MsgSender.h"
#include "libs/svr/SDesktop.h"
#include "libs/svr/UpdateInfo.h"

#include <climits>
#include <cstring>
#include <optional>

namespace svr {

namespace {

plat::LogSrc vlog("SServerAgent");

plat::BoolParameter debugUpdates("_AgentDebugUpdates", "", false);

// Lengths with bit 31 set are not lengths: a peer that sends one is broken
// (or hostile), and taking it at its word would mean a 2-4 GB allocation.
constexpr uint32_t invalidLengthBit = 0x80000000u;

// Cursor pixels always travel as 32-bit premultiplied ARGB.
const rfb::PixelFormat& cursorFormat() {
  return rfb::PixelFormat::argb8888();
}

// The rows of `pb`, stride removed.
std::vector<uint8_t> pixelsOf(const rfb::PixelBuffer& pb) {
  const rfb::Rect& rect = pb.getRect();
  std::vector<uint8_t> out;
  if (rect.isEmpty())
    return out;
  int stride = 0;
  const uint8_t* pixels = pb.getPixelsR(rect, &stride);
  size_t rowBytes = size_t(rect.width()) * pb.bytesPerPixel();
  size_t strideBytes = size_t(stride) * pb.bytesPerPixel();
  out.reserve(rowBytes * rect.height());
  for (int y = 0; y < rect.height(); y++)
    out.insert(out.end(), pixels + y * strideBytes, pixels + y * strideBytes + rowBytes);
  return out;
}

} // namespace

SServerAgent::SServerAgent(Callback& owner, SDesktop& desktop)
  : owner_(owner), channel_(*this, channelName, false, true), logChannel_(channel_),
    desktop_(desktop) {
  using namespace agentmsg;
  for (const char* name : {Start::name, Stop::name, FbUpdateRequest::name, PointerEvent::name,
                           KeyEvent::name, ClientCutText::name, SetParams::name})
    channel_.registerReader(name, *this);
}

SServerAgent::~SServerAgent() {
  if (desktopStarted_)
    stopDesktop();
  logChannel_.detach();
  resetReceive();
}

void SServerAgent::accept(std::unique_ptr<io::Io> io) {
  channel_.close(false);
  if (desktopStarted_)
    stopDesktop();
  channel_.accept(std::move(io));
  sendInit();
  // After "init", so that the server sees the greeting before any log line.
  logChannel_.attach();
}

void SServerAgent::sendInit() {
  send(agentmsg::Init{}, false);
  agentmsg::InitRectAndPf msg{desktop_.getRect(), {}};
  desktop_.getPF(msg.pf);
  send(msg);
}

// ---- receiving ----

SServerAgent::Handler SServerAgent::handlerFor(const std::string& name) {
  using namespace agentmsg;
  static const struct {
    const char* name;
    Handler handler;
  } handlers[] = {
    {Start::name, &SServerAgent::readStart},
    {Stop::name, &SServerAgent::readStop},
    {FbUpdateRequest::name, &SServerAgent::readFbUpdateRequest},
    {PointerEvent::name, &SServerAgent::readPointerEvent},
    {KeyEvent::name, &SServerAgent::readKeyEvent},
    {ClientCutText::name, &SServerAgent::readClientCutText},
    {SetParams::name, &SServerAgent::readSetParams},
  };
  for (const auto& entry : handlers) {
    if (name == entry.name)
      return entry.handler;
  }
  return nullptr;
}

bool SServerAgent::readMsg(const std::string& name, rdr::FramedInStream& in, io::MsgIpc&) {
  if (!handler_.isSet()) {
    Handler handler = handlerFor(name);
    // Only the names registered in the constructor come here.
    PLAT_ASSERT(handler);
    handler_.set(handler);
  }
  in_ = &in;
  bool done;
  try {
    done = handler_.run();
  } catch (const rdr::BlockException&) {
    return false;
  } catch (...) {
    // The channel closes on any other failure; nothing may be resumed on
    // the next connection.
    resetReceive();
    throw;
  }
  if (done)
    resetReceive();
  return done;
}

void SServerAgent::ipcReset(io::MsgIpc&) {
  resetReceive();
}

void SServerAgent::resetReceive() {
  handler_.clear();
  cutText_.reset();
  params_.records.clear();
  paramsState_.reset();
  in_ = nullptr;
}

bool SServerAgent::readStart() {
  if (desktopStarted_) {
    vlog.debug("Desktop already started");
    return true;
  }
  vlog.status("Starting desktop");
  try {
    desktop_.start(*this);
  } catch (const plat::Exception& e) {
    vlog.status("Starting desktop failed: %s", e.describe().c_str());
    desktopFailure(e);
    // Leaves the channel's receive loop: the channel closes and the agent
    // goes with it.
    throw;
  }
  desktopStarted_ = true;
  owner_.desktopRunning(*this, true);
  return true;
}

bool SServerAgent::readStop() {
  if (desktopStarted_)
    stopDesktop();
  return true;
}

void SServerAgent::stopDesktop() {
  vlog.status("Stopping desktop");
  desktopStarted_ = false;
  updateRequested_ = false;
  desktop_.stop();
  owner_.desktopRunning(*this, false);
}

bool SServerAgent::readFbUpdateRequest() {
  if (debugUpdates)
    vlog.info("fbUpdateRequest, duplicate %d", int(updateRequested_));
  if (updateRequested_)
    return true;
  updateRequested_ = true;
  desktop_.requestUpdate();
  return true;
}

bool SServerAgent::readPointerEvent() {
  auto msg = agentmsg::readFixed<agentmsg::PointerEvent>(*in_);
  desktop_.pointerEvent(rfb::Point(msg.x, msg.y), msg.buttonMask, msg.relative);
  return true;
}

bool SServerAgent::readKeyEvent() {
  auto msg = agentmsg::readFixed<agentmsg::KeyEvent>(*in_);
  desktop_.keyEvent(msg.keysym, msg.down);
  return true;
}

bool SServerAgent::readClientCutText() {
  rdr::FramedInStream& in = *in_;
  if (!cutText_.inProgress()) {
    uint32_t length = in.readU32();
    if (length & invalidLengthBit) {
      vlog.error("clientCutText: invalid length %u, closing the connection", length);
      throw plat::Exception("clientCutText: invalid length");
    }
    cutText_.init(in, length);
    // The length is not read again when the text blocks half-way.
    in.checkpoint();
  }
  std::optional<std::span<const uint8_t>> text = cutText_.collect(true);
  desktop_.clientCutText(
    std::string_view(reinterpret_cast<const char*>(text->data()), text->size()));
  // The desktop has its copy; a large text must not stay resident twice.
  cutText_.releaseStorage();
  in.checkpoint();
  return true;
}

bool SServerAgent::readSetParams() {
  params_.read(*in_, paramsState_);
  for (const agentmsg::ParamRecord& record : params_.records)
    applyParam(record.name, record.value, record.priority);
  return true;
}

void SServerAgent::applyParam(const std::string& name, const std::string& value,
                              uint32_t priority) {
  plat::ConfigParameter* param = plat::Configuration::global().findParam(name);
  if (!param) {
    vlog.error("Unknown parameter '%s'", name.c_str());
    return;
  }
  // The server's value replaces whatever else was set, whatever its priority.
  param->reset(priority == 0);
  if (priority != 0) {
    param->setParam(value.c_str(), priority > INT_MAX ? INT_MAX : int(priority));
    return;
  }
  // Priority 0 states what the server takes the default to be.
  std::string current = param->getValueStr();
  if (current != value)
    vlog.error("Bad default for parameter '%s': '%s' != '%s'", name.c_str(), value.c_str(),
               current.c_str());
}

void SServerAgent::ipcClosed(io::MsgIpc&) {
  if (desktopStarted_)
    stopDesktop();
  logChannel_.detach();
  owner_.serverDisconnected(*this);
}

// ---- sending ----

template <class Msg>
bool SServerAgent::send(const Msg& msg, bool flush) {
  return MsgSender::send(channel_, msg, vlog, flush);
}

void SServerAgent::bell() {
  send(agentmsg::Bell{});
}

void SServerAgent::localInput() {
  send(agentmsg::LocalInput{});
}

void SServerAgent::serverCutText(std::string_view text) {
  send(agentmsg::ServerCutText{std::string(text)});
}

void SServerAgent::setCursorPos(const rfb::Point& position) {
  if (debugUpdates)
    vlog.info("setCursorPos %d%s%d", position.x, ",", position.y);
  send(agentmsg::SetCursorPos{position.x, position.y});
}

void SServerAgent::setCursorImage(const rfb::Cursor* cursor) {
  if (!cursor) {
    send(agentmsg::SetCursorImage{});
    return;
  }
  agentmsg::SetCursorImage msg;
  try {
    rfb::CursorWithAlpha alpha(cursorFormat(), cursor->getRect());
    cursor->toAlpha(alpha);
    msg.present = true;
    msg.pf = alpha.getPF();
    msg.rect = alpha.getRect();
    msg.alphaThreshold = rfb::CursorWithAlpha::alphaThreshold;
    msg.pixels = pixelsOf(alpha.pixels());
  } catch (const plat::Exception& e) {
    vlog.status("%s", e.str());
    return;
  }
  send(msg);
}

void SServerAgent::setBlankRegion(const rfb::Region& region) {
  if (region.equals(lastBlankRegion_))
    return;
  lastBlankRegion_ = region;
  send(agentmsg::SetBlankRegion{region});
}

void SServerAgent::desktopFailure(const plat::Exception& e) {
  vlog.info("desktopFailure: %s", e.describe().c_str());
  // Whatever led up to the failure should reach the server before it does.
  plat::LogDestIpc::instance().sendQueued();
  send(agentmsg::DesktopFailure{e.str(), e.type()});
}

void SServerAgent::closeClients(const CloseReason& reason) {
  send(agentmsg::CloseClients{reason.message, reason.kind, reason.code});
}

void SServerAgent::desktopUidChanged(uint32_t uid, std::string_view xauthFile) {
  agentmsg::sendMsg(channel_, agentmsg::DesktopUidChanged{uid, std::string(xauthFile)});
}

void SServerAgent::setColourMapEntries(int firstColour, int nColours) {
  if (!pb_ || pbPF_.trueColour)
    return;
  rfb::ColourMap* colourMap = pb_->getColourMap();
  if (!colourMap)
    return;
  vlog.info("setColourMapEntries: %d,%d", firstColour, nColours);
  if (nColours == 0)
    nColours = colourMap->size() - firstColour;
  PLAT_ASSERT(firstColour >= 0 && firstColour < 256 && nColours > 0 && firstColour+nColours <= 256);
  agentmsg::SetColourMapEntries msg{uint8_t(firstColour), {}};
  for (int i = firstColour; i < firstColour + nColours; i++) {
    rfb::Colour colour;
    colourMap->getColour(i, &colour);
    msg.colours.push_back({uint8_t(colour.r), uint8_t(colour.g), uint8_t(colour.b)});
  }
  send(msg);
}

void SServerAgent::setPixelBuffer(rfb::PixelBuffer* pb) {
  plat::SharedMem* shm = pb ? pb->getSharedMem() : nullptr;
  int64_t serial = shm ? int64_t(shm->serial()) : -1;
  rfb::Rect rect = pb ? pb->getRect() : rfb::Rect();
  rfb::PixelFormat pf = pb ? pb->getPF() : rfb::PixelFormat();
  if (pb == pb_ && serial == shmSerial_ && rect == pbRect_ && pf == pbPF_)
    return;
  bool segmentChanged = serial != shmSerial_;
  pb_ = pb;
  shmSerial_ = serial;
  pbRect_ = rect;
  pbPF_ = pf;
  if (!pb)
    return;
  vlog.status("setPixelBuffer %s pf %s", rect.printWH().c_str(), pf.print().c_str());
  if (!shm) {
    vlog.error("PB is not using shared memory");
    return;
  }
  agentmsg::SetPixelBuffer msg{pf, rect, 0, std::nullopt};
  try {
    // The server reads the pixels as soon as it hears of the buffer.
    pb->grabRegion(rfb::Region(rect));
    int stride = 0;
    pb->getPixelsR(rect, &stride);
    msg.stride = uint32_t(stride);
    if (segmentChanged)
      msg.segment.emplace().written = shm->description();
  } catch (const plat::Exception& e) {
    vlog.status("%s", e.str());
    return;
  }
  send(msg);
  setColourMapEntries(0, 0);
}

void SServerAgent::fbUpdate(const UpdateInfo& update) {
  updateRequested_ = false;
  bool empty = update.isEmpty();
  if (debugUpdates)
    vlog.info("fbUpdate, empty %d", int(empty));
  if (!empty && pb_) {
    try {
      pb_->grabRegion(update.copied.unite(update.changed));
    } catch (const plat::Exception&) {
      // Announcing pixels that are not in the buffer would show stale ones.
      // The request stays open, and the caller keeps the regions for the
      // next update.
      updateRequested_ = true;
      throw;
    }
    if (debugUpdates)
      vlog.info("grabbed");
  }
  bool sent = send(agentmsg::FbUpdate{update.copied, update.offset.x, update.offset.y, update.changed});
  if (sent && debugUpdates)
    vlog.info("sent fbUpdate");
}

} // namespace svr
