#include "uilibs/tx/TXClipboardWindow.h"

#include "uilibs/tx/CutBufferEventHandler.h"
#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/Latin1.h"
#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXUtil.h"

#include "base/plat/BoolParameter.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <cstdint>
#include <memory>

namespace tx {

namespace {

plat::LogSrc vlog("TXClipboardWindow");

plat::BoolParameter useCutBuffer("UseCutBuffer", "Use the cut buffer as well as the X selections",
                                 false);

// The largest selection text taken from another client, in 32-bit units
// (64 MB). A property can be grown past any single request by appending, so
// the read is bounded; a larger value is refused, never cut short.
constexpr long maxTextUnits = 16L * 1024 * 1024;

// X timestamps wrap around: `a` is later than `b` when the signed 32-bit
// difference is at least 1.
bool later(Time a, Time b) {
  return int32_t(uint32_t(a) - uint32_t(b)) >= 1;
}

struct XFreeDeleter {
  void operator()(void* data) const { XFree(data); }
};

bool isTextTarget(Atom target) {
  return target == XA_STRING || target == atomUtf8String();
}

// The bytes of cut buffer 0; empty when it holds none.
std::string fetchCutBuffer() {
  int length = 0;
  std::unique_ptr<char, XFreeDeleter> bytes(XFetchBytes(display(), &length));
  if (!bytes || length <= 0)
    return {};
  return std::string(bytes.get(), size_t(length));
}

} // namespace

TXClipboardWindow::TXClipboardWindow(Callback& callback)
  : TXWindow(1, 1), callback_(callback), requestTimer_(*this) {
  CutBufferEventHandler::install();
  TXEventDispatcher::addEventHandler(this, true);
  checkSelection(0, 0);
}

TXClipboardWindow::~TXClipboardWindow() {
  TXEventDispatcher::addEventHandler(this, false);
}

void TXClipboardWindow::checkSelection(Atom selection, Time time) {
  bool poll = selection == 0 && time == 0;
  if (poll) {
    selection = callback_.sendPrimary() ? XA_PRIMARY : atomClipboard();
  } else if (selection == XA_PRIMARY) {
    if (!callback_.sendPrimary())
      return;
  } else if (selection != atomClipboard()) {
    throw plat::Exception(plat::format("Bad selection %ld", long(selection)));
  }

  requestTimer_.start(requestTimeoutMs);

  if (ownsSelection(selection)) {
    checkOwnSelection(selection, poll);
    return;
  }
  if (!poll) {
    latestTime_ = time;
    requestTargets(selection);
    return;
  }
  selectionToFetch_ = 0;
  timestampSeen_ = false;
  requestTimestamp(selection, CurrentTime);
}

void TXClipboardWindow::checkOwnSelection(Atom selection, bool poll) {
  vlog.info("%s selection owned by us", atomName(selection));
  // Another client may have taken CLIPBOARD since: its text still counts
  // when it is newer than ours.
  if (poll && selection == XA_PRIMARY && !ownsSelection(atomClipboard())) {
    selectionToFetch_ = 0;
    timestampSeen_ = true;
    requestTimestamp(atomClipboard(), CurrentTime);
    return;
  }
  unchanged(true, false);
}

void TXClipboardWindow::requestTimestamp(Atom selection, Time time) {
  convertSelection(selection, atomTimestamp(), atomTimestamp(), time);
}

void TXClipboardWindow::requestTargets(Atom selection) {
  convertSelection(selection, atomTargets(), atomTargets(), CurrentTime);
}

void TXClipboardWindow::setCutText(size_t length, const char* text) {
  Time now = getServerTime();
  latestTime_ = now;
  setSelectionText(length, text, now);
}

bool TXClipboardWindow::timerFired(plat::Timer&) {
  // The cycle did not complete: a first cycle that times out leaves the
  // next one to find the reference text.
  callback_.cutTextUnchanged(false, true, initial_);
  return false;
}

void TXClipboardWindow::handleEvent(const XEvent& event) {
  if (event.type != SelectionNotify)
    return;
  const XSelectionEvent& notify = event.xselection;
  if (notify.requestor != win() || notify.property != atomSelectionString() ||
      !isTextTarget(notify.target))
    return;

  WholeValue value;
  value.serial = notify.serial;
  value.target = notify.target;
  Atom type = None;
  int format = 0;
  unsigned long items = 0;
  unsigned long bytesAfter = 0;
  unsigned char* data = nullptr;
  ErrorCatcher catcher(100);
  int status = XGetWindowProperty(display(), win(), notify.property, 0, maxTextUnits, False,
                                  AnyPropertyType, &type, &format, &items, &bytesAfter, &data);
  std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
  value.ok = status == Success && format == 8 && type != atomIncr();
  value.incremental = status == Success && type == atomIncr();
  value.tooLarge = status == Success && bytesAfter > 0;
  if (value.ok && !value.tooLarge && data)
    value.bytes.assign(reinterpret_cast<const char*>(data), items);
  wholeValue_ = std::move(value);
}

std::optional<TXClipboardWindow::WholeValue> TXClipboardWindow::takeWholeValue(
  const XEvent& event) {
  std::optional<WholeValue> value = std::move(wholeValue_);
  wholeValue_.reset();
  if (!value || value->serial != event.xselection.serial ||
      value->target != event.xselection.target)
    return std::nullopt;
  return value;
}

void TXClipboardWindow::selectionNotify(const XEvent& event, const SelectionData& data) {
  // Cycles may overlap (a change of each selection at once): every answer
  // is followed up, and the newest text is the last one delivered.
  Atom target = event.xselection.target;
  if (target == atomTimestamp())
    handleTimestamp(event, data);
  else if (target == atomTargets())
    handleTargets(event, data);
  else if (isTextTarget(target))
    handleText(event, data);
}

void TXClipboardWindow::handleTimestamp(const XEvent& event, const SelectionData& data) {
  Atom selection = event.xselection.selection;
  const char* name = atomName(selection);
  if (event.xselection.property != None && data.format == 32 && data.items == 1) {
    Time t = data.values[0];
    if (t != 0 && (latestTime_ == 0 || later(t, latestTime_))) {
      vlog.info("%s selection time is %lu, new %d", name, t, 1);
      timestampSeen_ = true;
      latestTime_ = t;
      selectionToFetch_ = selection;
    } else if (t != 0) {
      vlog.info("%s selection time is %lu, new %d", name, t, 0);
      timestampSeen_ = true;
    } else {
      vlog.info("%s selection time is %lu, new %d", name, 0UL, 0);
    }
  } else {
    vlog.info("No %s selection timestamp", name);
  }

  if (selection == XA_PRIMARY) {
    if (!ownsSelection(atomClipboard())) {
      requestTimestamp(atomClipboard(), event.xselection.time);
      return;
    }
  } else if (selection != atomClipboard()) {
    vlog.error("Unknown selection %lu", selection);
    return;
  }
  decide();
}

void TXClipboardWindow::decide() {
  if (useCutBuffer && useNewerCutBuffer())
    return;
  if (selectionToFetch_) {
    requestTargets(selectionToFetch_);
    return;
  }
  if (timestampSeen_) {
    vlog.info("Selections were old; ignoring");
    unchanged(false, false);
    return;
  }
  // No owner told its time: ask the preferred selection for its text anyway.
  requestTargets(callback_.sendPrimary() ? XA_PRIMARY : atomClipboard());
}

bool TXClipboardWindow::useNewerCutBuffer() {
  Time cutTime = CutBufferEventHandler::cutBufferTime();
  if (cutTime == 0 || !later(cutTime, latestTime_)) {
    vlog.info("Cut buffer time is %lu, later %d", cutTime, 0);
    return false;
  }
  vlog.info("Cut buffer time is %lu, later %d", cutTime, 1);
  latestTime_ = cutTime;
  std::string bytes = fetchCutBuffer();
  if (bytes.empty()) {
    unchanged(false, false);
    return true;
  }
  vlog.info("Using X cut buffer string");
  deliver(latin1ToUtf8(bytes));
  return true;
}

void TXClipboardWindow::handleTargets(const XEvent& event, const SelectionData& data) {
  Atom selection = event.xselection.selection;
  bool utf8 = event.xselection.property != None && data.format == 32 &&
              std::find(data.values.begin(), data.values.end(), atomUtf8String()) !=
                data.values.end();
  convertSelection(selection, utf8 ? atomUtf8String() : XA_STRING, atomSelectionString(),
                   CurrentTime);
}

void TXClipboardWindow::handleText(const XEvent& event, const SelectionData& data) {
  const XSelectionEvent& notify = event.xselection;
  std::optional<WholeValue> whole = takeWholeValue(event);
  if (notify.property != atomSelectionString() || data.format != 8 || !whole) {
    unchanged(false, false);
    return;
  }
  // The window layer hands an incremental transfer over as an empty text;
  // sent on, it would wipe the viewers' clipboards.
  if (whole->incremental) {
    vlog.status("Not sending the %s selection: it came incrementally", atomName(notify.selection));
    unchanged(false, false);
    return;
  }
  if (whole->tooLarge || !whole->ok) {
    vlog.status("Not sending the %s selection: unreadable or larger than %ld bytes",
                atomName(notify.selection), maxTextUnits * 4);
    unchanged(false, false);
    return;
  }
  vlog.info("Got %s selection as %s", atomName(notify.selection), atomName(notify.target));
  if (notify.target == XA_STRING)
    deliver(latin1ToUtf8(whole->bytes));
  else
    deliver(whole->bytes);
}

void TXClipboardWindow::deliver(std::string_view text) {
  if (this->text() && *this->text() == text) {
    vlog.info("Filtering out duplicate cut text");
    unchanged(false, false);
    return;
  }
  setText(std::string(text));
  bool wasInitial = initial_;
  complete();
  callback_.cutTextChanged(*this->text(), wasInitial);
}

void TXClipboardWindow::unchanged(bool ownedByUs, bool timedOut) {
  bool wasInitial = initial_;
  complete();
  callback_.cutTextUnchanged(ownedByUs, timedOut, wasInitial);
}

void TXClipboardWindow::complete() {
  initial_ = false;
  requestTimer_.stop();
}

} // namespace tx
