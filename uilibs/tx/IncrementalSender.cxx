#include "uilibs/tx/IncrementalSender.h"

#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/WindowProperty.h"
#include "uilibs/tx/XErrorException.h"

#include "base/plat/Assert.h"
#include "base/plat/LogSrc.h"
#include "base/plat/Timer.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <utility>

namespace tx {

namespace {

plat::LogSrc vlog("IncrementalSender");

} // namespace

// One value on its way to one requestor; its timer runs while a chunk waits
// to be taken.
class IncrementalSender::Transfer : public plat::Timer::Callback {
public:
  Transfer(IncrementalSender& sender, Window requestor, Atom property, Atom type,
           std::shared_ptr<const std::string> value, size_t chunkBytes)
    : sender(sender), requestor(requestor), property(property), type(type),
      value(std::move(value)), chunkBytes(chunkBytes), timer(*this) {}

  bool timerFired(plat::Timer&) override {
    vlog.status("Dropping the incremental transfer to 0x%lx: the requestor stopped reading",
                requestor);
    sender.end(*this);
    return false;
  }

  IncrementalSender& sender;
  const Window requestor;
  const Atom property;
  const Atom type;
  const std::shared_ptr<const std::string> value;
  const size_t chunkBytes;
  size_t sent = 0;
  plat::Timer timer;
};

IncrementalSender::IncrementalSender() = default;

IncrementalSender::~IncrementalSender() {
  while (!transfers_.empty())
    end(*transfers_.front());
}

bool IncrementalSender::start(Window requestor, Atom property, Atom type,
                              std::shared_ptr<const std::string> value, size_t chunkBytes) {
  PLAT_ASSERT(chunkBytes > 0 && value);
  // The root's event mask belongs to the dispatcher.
  if (requestor == rootWindow())
    return false;
  for (auto& transfer : transfers_) {
    if (transfer->requestor == requestor && transfer->property == property) {
      end(*transfer);
      break;
    }
  }
  // The deletion that asks for the first chunk must not be missed: the
  // requestor is watched before it can see the INCR value.
  watch(requestor, true);
  const long announced = long(std::min<size_t>(value->size(), UINT32_MAX));
  ErrorCatcher catcher(100);
  WindowProperty::replace(requestor, property, atomIncr(), 32, &announced, 1);
  try {
    catcher.check();
  } catch (XErrorException&) {
    if (!serving(requestor))
      watch(requestor, false);
    return false;
  }
  vlog.info("Sending %zu bytes of %s to 0x%lx incrementally", value->size(), atomName(type),
            requestor);
  if (transfers_.empty())
    TXEventDispatcher::addEventHandler(this, true);
  transfers_.push_back(
    std::make_unique<Transfer>(*this, requestor, property, type, std::move(value), chunkBytes));
  transfers_.back()->timer.start(timeoutMs);
  return true;
}

void IncrementalSender::handleEvent(const XEvent& event) {
  if (event.type != PropertyNotify || event.xproperty.state != PropertyDelete)
    return;
  for (auto& transfer : transfers_) {
    if (transfer->requestor == event.xproperty.window &&
        transfer->property == event.xproperty.atom) {
      sendNext(*transfer);
      return;
    }
  }
}

void IncrementalSender::sendNext(Transfer& transfer) {
  size_t n = std::min(transfer.chunkBytes, transfer.value->size() - transfer.sent);
  ErrorCatcher catcher(100);
  WindowProperty::replace(transfer.requestor, transfer.property, transfer.type, 8,
                          transfer.value->data() + transfer.sent, int(std::min<size_t>(n, INT_MAX)));
  try {
    catcher.check();
  } catch (XErrorException&) {
    vlog.status("Dropping the incremental transfer to 0x%lx: the requestor is gone",
                transfer.requestor);
    end(transfer);
    return;
  }
  if (n == 0) {
    vlog.info("Sent %zu bytes to 0x%lx incrementally", transfer.sent, transfer.requestor);
    end(transfer);
    return;
  }
  transfer.sent += n;
  transfer.timer.start(timeoutMs);
}

void IncrementalSender::end(Transfer& transfer) {
  Window requestor = transfer.requestor;
  transfers_.remove_if([&](const std::unique_ptr<Transfer>& t) { return t.get() == &transfer; });
  if (!serving(requestor))
    watch(requestor, false);
  if (transfers_.empty())
    TXEventDispatcher::addEventHandler(this, false);
}

void IncrementalSender::watch(Window requestor, bool on) {
  if (TXEventDispatcher::findWindow(requestor))
    return;
  // The requestor may be gone already.
  ErrorCatcher catcher(100);
  XSelectInput(display(), requestor, on ? PropertyChangeMask : NoEventMask);
}

bool IncrementalSender::serving(Window requestor) const {
  return std::any_of(transfers_.begin(), transfers_.end(),
                     [&](const std::unique_ptr<Transfer>& t) { return t->requestor == requestor; });
}

} // namespace tx
