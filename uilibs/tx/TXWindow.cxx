#include "uilibs/tx/TXWindow.h"

#include "uilibs/tx/ErrorCatcher.h"
#include "uilibs/tx/IncomingTransfer.h"
#include "uilibs/tx/RequestLimit.h"
#include "uilibs/tx/SelectionValue.h"
#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXGrabManager.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/WindowProperty.h"
#include "uilibs/tx/XErrorException.h"

#include "base/plat/Assert.h"
#include "base/plat/Exception.h"
#include "base/plat/Latin1.h"
#include "base/plat/LogSrc.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <sys/select.h>
#include <utility>

namespace tx {

namespace {

plat::LogSrc vlog("TXWindow");

constexpr long baseEventMask = FocusChangeMask | PropertyChangeMask;

// select() cannot watch descriptors from FD_SETSIZE on.
constexpr int maxSelectFd = FD_SETSIZE - 1;

// X timestamps wrap around; a is earlier than b when the signed 32-bit
// difference says so.
bool earlier(Time a, Time b) {
  return int32_t(uint32_t(a) - uint32_t(b)) < 0;
}

// The chunks of a text served incrementally: large enough to need few
// round trips, small enough to keep the X server's copies small.
constexpr size_t incrementalChunkBytes = 1 << 20;

void wipe(std::string& text) {
  volatile char* bytes = text.data();
  for (size_t i = 0; i < text.size(); i++)
    bytes[i] = 0;
}

// A text that transfers may still be serving after the window let it go;
// a secure one is wiped when its last holder lets go.
struct SharedText {
  std::string bytes;
  bool secure;
  ~SharedText() {
    if (secure)
      wipe(bytes);
  }
};

std::shared_ptr<const std::string> share(std::string text, bool secure) {
  auto holder = std::make_shared<SharedText>(SharedText{std::move(text), secure});
  return std::shared_ptr<const std::string>(holder, &holder->bytes);
}

// The deadline-bounded wait of waitForSelectionNotify, on the connection.
void waitForConnection(int fd, std::chrono::milliseconds remaining) {
  if (fd > maxSelectFd)
    throw plat::SystemException("select", EMFILE);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(fd, &readable);
  timeval timeout;
  timeout.tv_sec = remaining.count() / 1000;
  timeout.tv_usec = (remaining.count() % 1000) * 1000;
  if (select(fd + 1, &readable, nullptr, nullptr, &timeout) < 0 && errno != EINTR)
    throw plat::SystemException("select", errno);
}

Bool isOwnConfigure(Display*, XEvent* event, XPointer arg) {
  Window window = *reinterpret_cast<Window*>(arg);
  return event->type == ConfigureNotify && event->xconfigure.event == window &&
         event->xconfigure.window == window;
}

} // namespace

TXWindow::TXWindow(int width, int height, TXWindow* parent, int border, bool overrideRedirect,
                   bool create)
  : parent_(parent), width_(width), height_(height), border_(border),
    overrideRedirect_(overrideRedirect), eventMask_(baseEventMask) {
  if (create)
    this->create();
}

TXWindow::~TXWindow() {
  TXGrabManager::forget(*this);
  ownedSelections_.clear();
  if (win_) {
    TXEventDispatcher::removeWindow(*this);
    // The server gives up the window's selections with it.
    XDestroyWindow(display(), win_);
  }
}

void TXWindow::create() {
  PLAT_ASSERT(!win_);
  Display* dpy = display();
  XSetWindowAttributes attributes;
  attributes.background_pixel = palettePixel(paletteGreyBB);
  attributes.border_pixel = palettePixel(paletteBlack);
  attributes.override_redirect = overrideRedirect_ ? True : False;
  attributes.colormap = colormap();
  attributes.event_mask = eventMask_;
  Window parentWin = parent_ ? parent_->win() : rootWindow();
  win_ = XCreateWindow(dpy, parentWin, 0, 0, width_, height_, border_, CopyFromParent,
                       InputOutput, CopyFromParent,
                       CWBackPixel | CWBorderPixel | CWOverrideRedirect | CWColormap | CWEventMask,
                       &attributes);
  TXEventDispatcher::addWindow(*this);
  if (parent_)
    XMapWindow(dpy, win_);
}

void TXWindow::map() {
  XMapWindow(display(), win_);
}

void TXWindow::unmap() {
  XUnmapWindow(display(), win_);
}

void TXWindow::addEventMask(long mask) {
  eventMask_ |= mask;
  selectInput();
}

void TXWindow::removeEventMask(long mask) {
  eventMask_ = (eventMask_ & ~mask) | baseEventMask;
  selectInput();
}

void TXWindow::selectInput() {
  if (win_)
    XSelectInput(display(), win_, eventMask_);
}

void TXWindow::addWindowEventHandler(TXEventHandler* handler, bool add) {
  if (add)
    handlers_.add(handler);
  else
    handlers_.remove(handler);
}

void TXWindow::setGrab(bool pointer, bool keyboard, unsigned long cursor) {
  // The grabbing window is chosen among mapped windows, so it must hear of
  // its own mapping.
  if (pointer || keyboard)
    addEventMask(StructureNotifyMask);
  TXGrabManager::request(*this, pointer, keyboard, cursor);
}

bool TXWindow::ownSelection(Atom selection, Time time) {
  Display* dpy = display();
  XSetSelectionOwner(dpy, selection, win_, time);
  if (XGetSelectionOwner(dpy, selection) != win_)
    return false;
  TXWindow* previous = TXEventDispatcher::selectionOwner(selection);
  if (previous && previous != this)
    previous->ownedSelections_.erase(selection);
  ownedSelections_[selection] = time;
  TXEventDispatcher::setSelectionOwner(selection, this);
  return true;
}

bool TXWindow::ownsSelection(Atom selection) const {
  return ownedSelections_.count(selection) != 0;
}

std::optional<Time> TXWindow::selectionTime(Atom selection) const {
  auto owned = ownedSelections_.find(selection);
  if (owned == ownedSelections_.end())
    return std::nullopt;
  return owned->second;
}

void TXWindow::forgetSelection(Atom selection) {
  ownedSelections_.erase(selection);
  if (TXEventDispatcher::selectionOwner(selection) == this)
    TXEventDispatcher::setSelectionOwner(selection, nullptr);
}

void TXWindow::setSelectionText(size_t length, const char* text, Time time) {
  vlog.info("Acquiring PRIMARY and CLIPBOARD selections timestamp %lu", time);
  if (text)
    setText(std::string(text, length));
  else
    setText(std::nullopt);

  std::string latin1 = plat::utf8ToLatin1(text_ ? std::string_view(*text_) : std::string_view());
  // The cut buffer has no incremental form.
  if (latin1.size() <= maxPropertyBytes() && latin1.size() <= size_t(INT_MAX)) {
    ErrorCatcher catcher(100);
    XStoreBytes(display(), latin1.data(), int(latin1.size()));
  } else {
    vlog.status("Not storing %zu bytes in the cut buffer: more than one X request can carry",
                latin1.size());
  }
  if (secureText_)
    wipe(latin1);

  ownSelection(XA_PRIMARY, time);
  ownSelection(atomClipboard(), time);
}

void TXWindow::setText(std::optional<std::string> text) {
  text_.reset();
  if (text)
    text_ = share(std::move(*text), secureText_);
}

void TXWindow::convertSelection(Atom selection, Atom target, Atom property, Time time) {
  // The new answer takes the property over from whatever used it: an older
  // answer still arriving in chunks is superseded, a drain would eat it.
  if (incoming_ && incoming_->property() == property)
    incoming_.reset();
  if (pendingIncr_ == property)
    pendingIncr_ = 0;
  XConvertSelection(display(), selection, target, property, win_, time);
}

void TXWindow::abandonIncoming() {
  if (!incoming_)
    return;
  pendingIncr_ = incoming_->property();
  incoming_.reset();
}

bool TXWindow::waitForSelectionNotify(Atom selection, Atom target, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  Display* dpy = display();
  XFlush(dpy);
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    XEvent event;
    if (XCheckTypedWindowEvent(dpy, win_, SelectionNotify, &event)) {
      XPutBackEvent(dpy, &event);
      return true;
    }
    auto remaining =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (remaining.count() <= 0) {
      vlog.info("timed out waiting for %s %s for 0x%lx", atomName(selection), atomName(target),
                win_);
      return false;
    }
    waitForConnection(ConnectionNumber(dpy), remaining);
  }
}

bool TXWindow::handleWindowEvent(XEvent& event) {
  switch (event.type) {
  case FocusIn:
  case FocusOut:
    hasFocus_ = event.type == FocusIn;
    focusChanged();
    break;
  case MapNotify:
  case UnmapNotify:
    if (event.xmap.window != win_)
      break;
    mapped_ = event.type == MapNotify;
    TXGrabManager::update();
    mappedChanged();
    break;
  case ConfigureNotify:
    if (event.xconfigure.window == win_)
      handleConfigure(event);
    break;
  case PropertyNotify:
    handlePropertyNotify(event);
    break;
  case SelectionClear:
    handleSelectionClear(event);
    break;
  case SelectionRequest:
    handleSelectionRequest(event);
    break;
  case SelectionNotify:
    handleSelectionNotify(event);
    break;
  case ClientMessage:
    return handleClientMessage(event);
  default:
    break;
  }
  return true;
}

void TXWindow::handleConfigure(XEvent& event) {
  // A resize often comes as a burst; only the final geometry matters.
  XEvent later;
  while (XCheckIfEvent(display(), &later, isOwnConfigure, reinterpret_cast<XPointer>(&win_)))
    event = later;
  bool sizeChanged = width_ != event.xconfigure.width || height_ != event.xconfigure.height;
  width_ = event.xconfigure.width;
  height_ = event.xconfigure.height;
  configured();
  if (sizeChanged)
    resized();
}

void TXWindow::handlePropertyNotify(const XEvent& event) {
  const XPropertyEvent& notify = event.xproperty;
  if (notify.state != PropertyNewValue)
    return;
  if (incoming_ && notify.atom == incoming_->property())
    continueIncoming();
  else if (pendingIncr_ && notify.atom == pendingIncr_)
    drainChunk();
}

void TXWindow::startIncoming(const XEvent& event, const SelectionData& announcement) {
  abandonIncoming();
  Atom property = event.xselection.property;
  if (pendingIncr_ == property)
    pendingIncr_ = 0;
  unsigned long announced = announcement.values.empty() ? 0 : announcement.values[0];
  vlog.info("Receiving %s selection incrementally, at least %lu bytes",
            atomName(event.xselection.selection), announced);
  if (announced > incomingLimit_) {
    // The announced size is a lower bound: the value cannot fit.
    refuseIncoming(event, event.xselection.target, 8);
    return;
  }
  incoming_ = std::make_unique<IncomingTransfer>(event, announced, incomingLimit_);
}

void TXWindow::refuseIncoming(const XEvent& notify, Atom type, int format) {
  // The owner is let finish into the drain.
  pendingIncr_ = notify.xselection.property;
  SelectionData refused;
  refused.type = type;
  refused.format = format;
  refused.tooLarge = true;
  selectionNotify(notify, refused);
}

void TXWindow::continueIncoming() {
  // Taking the chunk (reading and deleting it) asks the owner for the next.
  ErrorCatcher catcher(100);
  size_t before = incoming_->received();
  SelectionData chunk = takeSelectionValue(win_, incoming_->property(), incoming_->room());
  IncomingTransfer::Progress progress = incoming_->add(chunk);
  if (progress == IncomingTransfer::Progress::more) {
    if (incoming_->received() > before)
      incomingProgress(incoming_->notify(), incoming_->received());
    return;
  }
  std::unique_ptr<IncomingTransfer> transfer = std::move(incoming_);
  if (progress == IncomingTransfer::Progress::done)
    selectionNotify(transfer->notify(), transfer->take());
  else
    refuseIncoming(transfer->notify(), chunk.type, chunk.format);
}

void TXWindow::drainChunk() {
  // A limit of 0 deletes every chunk unread; the empty one ends the drain.
  ErrorCatcher catcher(100);
  SelectionData chunk = takeSelectionValue(win_, pendingIncr_, 0);
  if (chunk.type != 0 && !chunk.tooLarge && chunk.items == 0)
    pendingIncr_ = 0;
}

void TXWindow::handleSelectionClear(const XEvent& event) {
  const XSelectionClearEvent& clear = event.xselectionclear;
  // A clear that was under way when this window took the selection again
  // is about the older ownership.
  std::optional<Time> owned = selectionTime(clear.selection);
  if (owned && *owned != CurrentTime && clear.time != CurrentTime && earlier(clear.time, *owned))
    return;
  forgetSelection(clear.selection);
}

void TXWindow::handleSelectionRequest(const XEvent& event) {
  const XSelectionRequestEvent& request = event.xselectionrequest;
  Atom property = request.property != None ? request.property : request.target;
  bool answered = false;
  if (ownsSelection(request.selection)) {
    // The requestor may vanish at any time; its errors must not end the
    // agent, and a failed write is a refusal.
    ErrorCatcher catcher(100);
    answered = selectionRequest(request.requestor, request.selection, request.target, property);
    try {
      catcher.check();
    } catch (XErrorException&) {
      answered = false;
    }
  }

  XEvent reply;
  std::memset(&reply, 0, sizeof(reply));
  reply.xselection.type = SelectionNotify;
  reply.xselection.display = display();
  reply.xselection.requestor = request.requestor;
  reply.xselection.selection = request.selection;
  reply.xselection.target = request.target;
  reply.xselection.property = answered ? property : None;
  reply.xselection.time = request.time;
  ErrorCatcher catcher(100);
  XSendEvent(display(), request.requestor, False, 0, &reply);
}

bool TXWindow::selectionRequest(Window requestor, Atom selection, Atom target, Atom property) {
  if (target == atomTargets())
    return answerTargets(requestor, property);
  if (target == atomTimestamp())
    return answerTimestamp(requestor, selection, property);
  if (!text_)
    return false;
  if (target == atomUtf8String())
    return answerText(requestor, atomUtf8String(), text_, property);
  if (target == XA_STRING)
    return answerText(requestor, XA_STRING, share(plat::utf8ToLatin1(*text_), secureText_),
                      property);
  return false;
}

bool TXWindow::answerTargets(Window requestor, Atom property) {
  const long targets[] = {long(atomTimestamp()), long(atomUtf8String()), long(XA_STRING)};
  WindowProperty::replace(requestor, property, XA_ATOM, 32, targets, 3);
  return true;
}

bool TXWindow::answerTimestamp(Window requestor, Atom selection, Atom property) {
  std::optional<Time> time = selectionTime(selection);
  if (!time)
    return false;
  const long value = long(*time);
  WindowProperty::replace(requestor, property, XA_INTEGER, 32, &value, 1);
  return true;
}

bool TXWindow::answerText(Window requestor, Atom type, std::shared_ptr<const std::string> text,
                          Atom property) {
  // A value too long for one request would be refused with BadLength.
  size_t limit = maxPropertyBytes();
  if (text->size() <= limit && text->size() <= size_t(INT_MAX)) {
    WindowProperty::replace(requestor, property, type, 8, text->data(), int(text->size()));
    return true;
  }
  size_t chunk = std::min(limit, incrementalChunkBytes);
  if (sender_.start(requestor, property, type, std::move(text), chunk))
    return true;
  vlog.status("Refusing selection request for %s: the requestor cannot be served in chunks",
              atomName(type));
  return false;
}

void TXWindow::handleSelectionNotify(const XEvent& event) {
  const XSelectionEvent& notify = event.xselection;
  SelectionData data;
  if (notify.property != None) {
    ErrorCatcher catcher(100);
    data = takeSelectionValue(win_, notify.property, incomingLimit_);
    // Taking the INCR value asked the owner for the first chunk.
    if (data.type == atomIncr() && data.format == 32) {
      startIncoming(event, data);
      return;
    }
  }
  selectionNotify(event, data);
}

void TXWindow::selectionNotify(const XEvent&, const SelectionData& data) {
  if (data.format != 8)
    return;
  if (data.type == XA_STRING)
    setText(plat::latin1ToUtf8(data.bytes));
  else if (data.type == atomUtf8String())
    setText(data.bytes);
}

bool TXWindow::handleClientMessage(const XEvent& event) {
  const XClientMessageEvent& message = event.xclient;
  if (message.message_type != atomWmProtocols() || message.format != 32)
    return true;
  Atom protocol = Atom(message.data.l[0]);
  if (protocol == atomWmDeleteWindow() && deleteHandler_) {
    deleteHandler_->handleEvent(event);
    return false;
  }
  if (protocol == atomWmTakeFocus() && mapped_)
    takeFocus(Time(message.data.l[1]));
  return true;
}

} // namespace tx
