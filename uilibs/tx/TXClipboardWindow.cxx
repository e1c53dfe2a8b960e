#include "uilibs/tx/TXClipboardWindow.h"

#include "uilibs/tx/CutBufferEventHandler.h"
#include "uilibs/tx/TXUtil.h"

#include "base/plat/BoolParameter.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/IntParameter.h"
#include "base/plat/Latin1.h"
#include "base/plat/LogSrc.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>

namespace tx {

namespace {

plat::LogSrc vlog("TXClipboardWindow");

plat::BoolParameter useCutBuffer("UseCutBuffer", "Use the cut buffer as well as the X selections",
                                 false);

plat::IntParameter maxClipboardBytes(
  "MaxClipboardBytes",
  "The largest clipboard text in bytes sent to the connected device; larger texts are not sent",
  32 * 1024 * 1024, 0, INT_MAX);

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

size_t TXClipboardWindow::maxBytes() {
  return size_t(int(maxClipboardBytes));
}

TXClipboardWindow::TXClipboardWindow(Callback& callback)
  : TXWindow(1, 1), callback_(callback), requestTimer_(*this) {
  CutBufferEventHandler::install();
  checkSelection(0, 0);
}

TXClipboardWindow::~TXClipboardWindow() = default;

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
  if (receivingIncrementally()) {
    vlog.status("Giving up a selection arriving in chunks: its owner sent nothing for %d ms",
                requestTimeoutMs);
    abandonIncoming();
  }
  // The cycle did not complete: a first cycle that times out leaves the
  // next one to find the reference text.
  callback_.cutTextUnchanged(false, true, initial_);
  return false;
}

void TXClipboardWindow::incomingProgress(const XEvent&, size_t) {
  if (requestTimer_.isRunning())
    requestTimer_.start(requestTimeoutMs);
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
  std::string text = plat::latin1ToUtf8(bytes);
  if (!fits(text.size(), "cut buffer"))
    return true;
  deliver(text);
  return true;
}

void TXClipboardWindow::handleTargets(const XEvent& event, const SelectionData& data) {
  Atom selection = event.xselection.selection;
  bool utf8 = event.xselection.property != None && data.format == 32 &&
              std::find(data.values.begin(), data.values.end(), atomUtf8String()) !=
                data.values.end();
  // Read at run time: the server may change it between fetches.
  setIncomingLimit(maxBytes());
  convertSelection(selection, utf8 ? atomUtf8String() : XA_STRING, atomSelectionString(),
                   CurrentTime);
}

void TXClipboardWindow::handleText(const XEvent& event, const SelectionData& data) {
  const XSelectionEvent& notify = event.xselection;
  const char* name = atomName(notify.selection);
  std::string source = plat::format("%s selection", name);
  if (data.tooLarge) {
    refuseLarge(source);
    return;
  }
  if (notify.property != atomSelectionString() || data.format != 8) {
    unchanged(false, false);
    return;
  }
  vlog.info("Got %s selection as %s", name, atomName(notify.target));
  if (notify.target != XA_STRING) {
    deliver(data.bytes);
    return;
  }
  // ISO-8859-1 grows in UTF-8: the cap holds for what would be sent.
  std::string text = plat::latin1ToUtf8(data.bytes);
  if (fits(text.size(), source))
    deliver(text);
}

bool TXClipboardWindow::fits(size_t bytes, const std::string& source) {
  if (bytes <= maxBytes())
    return true;
  refuseLarge(source);
  return false;
}

void TXClipboardWindow::refuseLarge(const std::string& source) {
  vlog.status("Not sending the %s: larger than MaxClipboardBytes (%zu bytes)", source.c_str(),
              maxBytes());
  unchanged(false, false);
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
