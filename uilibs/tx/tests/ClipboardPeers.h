#pragma once

// The other side of the clipboard tests: X clients with their own
// connections that own selections and answer conversions as desktop
// applications do (optionally without UTF8_STRING, or incrementally, or
// stalling half-way), paste from the agent (taking incremental answers, or
// stopping half-way), and write cut buffer 0; a pump that runs the toolkit,
// the thread's timers and these clients until a condition holds.
// Header-only, shared with the agent's tests.

// GoogleTest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>

#include "uilibs/tx/TXEventDispatcher.h"
#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/tests/RunUntil.h"

#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/TimerManager.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace cliptest {

// Sets a parameter (at command-line priority) for the life of the scope.
class ScopedParam {
public:
  ScopedParam(const char* name, const char* value) : name_(name) {
    EXPECT_TRUE(plat::Configuration::global().setParam(name, value, 10));
  }
  ~ScopedParam() { plat::Configuration::global().findParam(name_)->unset(10, false); }
  ScopedParam(const ScopedParam&) = delete;
  ScopedParam& operator=(const ScopedParam&) = delete;

private:
  const char* name_;
};

// Something to keep running while a test waits: handles its client's
// queued events.
class Peer {
public:
  virtual ~Peer() = default;
  virtual Display* dpy() const = 0;
  virtual void serve() = 0;
};

// Runs the toolkit's dispatch, the thread's due timers and every peer until
// `done` holds or a generous deadline passes. Returns whether `done` held.
inline bool pumpUntil(const std::function<bool()>& done, const std::vector<Peer*>& peers = {},
                      std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
  std::vector<Display*> displays{tx::display()};
  for (Peer* peer : peers)
    displays.push_back(peer->dpy());
  return txtest::runUntil(
    done,
    [&] {
      txtest::dispatchEvents();
      txtest::fireDueTimers();
      for (Peer* peer : peers)
        peer->serve();
    },
    {displays, 50, true, deadline});
}

// A client connection with one unmapped window of its own.
class Client : public Peer {
public:
  explicit Client(const std::string& displayName)
    : dpy_(XOpenDisplay(displayName.c_str())) {
    if (!dpy_)
      throw std::runtime_error("cannot open a client connection to " + displayName);
    XSetWindowAttributes attributes;
    attributes.event_mask = PropertyChangeMask;
    win_ = XCreateWindow(dpy_, DefaultRootWindow(dpy_), 0, 0, 1, 1, 0, CopyFromParent,
                         InputOutput, CopyFromParent, CWEventMask, &attributes);
    XSync(dpy_, False);
  }
  ~Client() override { XCloseDisplay(dpy_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  Display* dpy() const override { return dpy_; }
  Window win() const { return win_; }
  Atom atom(const char* name) const { return XInternAtom(dpy_, name, False); }

  // A current server time, from a touch of a property on the own window.
  Time serverTime() {
    Atom stamp = atom("KWO_TEST_STAMP");
    XChangeProperty(dpy_, win_, stamp, XA_INTEGER, 32, PropModeAppend, nullptr, 0);
    XFlush(dpy_);
    XEvent event;
    for (;;) {
      XWindowEvent(dpy_, win_, PropertyChangeMask, &event);
      if (event.xproperty.atom == stamp)
        return event.xproperty.time;
      handle(event);
    }
  }

  // A server time strictly later than `t` (the server counts milliseconds,
  // so two readings in a row may be equal).
  Time timeAfter(Time t) {
    Time now = serverTime();
    while (now == t)
      now = serverTime();
    return now;
  }

  void serve() override {
    while (XPending(dpy_)) {
      XEvent event;
      XNextEvent(dpy_, &event);
      handle(event);
    }
  }

protected:
  virtual void handle(const XEvent&) {}

  Display* dpy_;
  Window win_ = 0;
};

// An application that owns selections. Each selection has the text it
// offers as UTF8_STRING and as STRING (the test gives both forms, so that
// nothing here converts text the way the code under test does).
class SelectionOwner : public Client {
public:
  struct Offer {
    std::string utf8;
    std::string latin1;
    Time time = 0;
  };

  explicit SelectionOwner(const std::string& displayName) : Client(displayName) {}

  // Whether TARGETS lists UTF8_STRING (and UTF8_STRING requests are served).
  bool offerUtf8 = true;
  // Whether text requests are answered incrementally (INCR), in chunks.
  bool incremental = false;
  // Whether the INCR value is the text's size (or 0, as xclip writes).
  bool announceSize = true;
  size_t chunkBytes = 4096;
  // Chunks each incremental answer gets before the owner stops sending
  // (until resume()).
  size_t chunksBeforeStall = SIZE_MAX;
  // Whether requests are answered at all.
  bool answering = true;

  // Takes `selection` at `time` (0: a fresh server time) with `offer`.
  Time own(Atom selection, Offer offer, Time time = 0) {
    offer.time = time ? time : serverTime();
    XSetSelectionOwner(dpy_, selection, win_, offer.time);
    XSync(dpy_, False);
    if (XGetSelectionOwner(dpy_, selection) != win_)
      throw std::runtime_error("the server did not grant a selection");
    offers_[selection] = std::move(offer);
    return offers_[selection].time;
  }

  struct Request {
    Atom selection;
    Atom target;
  };
  // The conversions asked for, in order.
  std::vector<Request> requests;

  size_t requestsFor(Atom selection, Atom target) const {
    return size_t(std::count_if(requests.begin(), requests.end(), [&](const Request& r) {
      return r.selection == selection && r.target == target;
    }));
  }
  // Incremental transfers that sent their final empty chunk.
  int incrementalDone = 0;
  // Chunks written, over all incremental transfers.
  size_t chunksSent = 0;

  // Whether a transfer waits for resume() (its requestor asked for more).
  bool stalled() const {
    return std::any_of(transfers_.begin(), transfers_.end(),
                       [](const Transfer& transfer) { return transfer.stalled; });
  }

  // Lets stalled transfers go on up to `chunks` more chunks each (their
  // requestors are waiting: the next chunk goes out at once).
  void resume(size_t chunks) {
    chunksBeforeStall = chunksSent + chunks;
    for (Transfer& transfer : transfers_) {
      if (transfer.stalled) {
        transfer.stalled = false;
        sendChunk(transfer);
      }
    }
  }

private:
  struct Transfer {
    Window requestor;
    Atom property;
    Atom type;
    std::string bytes;
    size_t sent = 0;
    bool finished = false;
    bool stalled = false;
  };

  void handle(const XEvent& event) override {
    if (event.type == SelectionRequest) {
      requests.push_back({event.xselectionrequest.selection, event.xselectionrequest.target});
      if (answering)
        answer(event.xselectionrequest);
      return;
    }
    if (event.type == PropertyNotify && event.xproperty.state == PropertyDelete)
      continueTransfer(event.xproperty.window, event.xproperty.atom);
  }

  void answer(const XSelectionRequestEvent& request) {
    Atom property = request.property != None ? request.property : request.target;
    bool ok = write(request, property);
    XEvent reply{};
    reply.xselection.type = SelectionNotify;
    reply.xselection.requestor = request.requestor;
    reply.xselection.selection = request.selection;
    reply.xselection.target = request.target;
    reply.xselection.property = ok ? property : None;
    reply.xselection.time = request.time;
    XSendEvent(dpy_, request.requestor, False, 0, &reply);
    XFlush(dpy_);
  }

  bool write(const XSelectionRequestEvent& request, Atom property) {
    auto offer = offers_.find(request.selection);
    if (offer == offers_.end())
      return false;
    Atom utf8 = atom("UTF8_STRING");
    if (request.target == atom("TARGETS")) {
      std::vector<long> targets{long(atom("TARGETS")), long(atom("TIMESTAMP")), long(XA_STRING)};
      if (offerUtf8)
        targets.push_back(long(utf8));
      XChangeProperty(dpy_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(targets.data()), int(targets.size()));
      return true;
    }
    if (request.target == atom("TIMESTAMP")) {
      long time = long(offer->second.time);
      XChangeProperty(dpy_, request.requestor, property, XA_INTEGER, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(&time), 1);
      return true;
    }
    const std::string* bytes = nullptr;
    if (request.target == utf8 && offerUtf8)
      bytes = &offer->second.utf8;
    else if (request.target == XA_STRING)
      bytes = &offer->second.latin1;
    if (!bytes)
      return false;
    if (incremental) {
      startTransfer(request.requestor, property, request.target, *bytes);
      return true;
    }
    XChangeProperty(dpy_, request.requestor, property, request.target, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(bytes->data()), int(bytes->size()));
    return true;
  }

  void startTransfer(Window requestor, Atom property, Atom type, const std::string& bytes) {
    XSelectInput(dpy_, requestor, PropertyChangeMask);
    transfers_.push_back({requestor, property, type, bytes});
    long size = announceSize ? long(bytes.size()) : 0;
    XChangeProperty(dpy_, requestor, property, atom("INCR"), 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&size), 1);
  }

  // The requestor deleted the last chunk: send the next, or the empty one
  // that ends the transfer.
  void continueTransfer(Window requestor, Atom property) {
    for (Transfer& transfer : transfers_) {
      if (transfer.finished || transfer.requestor != requestor || transfer.property != property)
        continue;
      if (chunksSent >= chunksBeforeStall)
        transfer.stalled = true;
      else
        sendChunk(transfer);
      return;
    }
  }

  void sendChunk(Transfer& transfer) {
    size_t n = std::min(chunkBytes, transfer.bytes.size() - transfer.sent);
    XChangeProperty(dpy_, transfer.requestor, transfer.property, transfer.type, 8,
                    PropModeReplace,
                    reinterpret_cast<const unsigned char*>(transfer.bytes.data() + transfer.sent),
                    int(n));
    transfer.sent += n;
    chunksSent++;
    if (n == 0) {
      transfer.finished = true;
      incrementalDone++;
    }
    XFlush(dpy_);
  }

  std::map<Atom, Offer> offers_;
  std::vector<Transfer> transfers_;
};

// An application that pastes: converts a selection and reads the answer,
// whole or in chunks (INCR), without blocking the test's other clients.
class Paster : public Client {
public:
  explicit Paster(const std::string& displayName) : Client(displayName) {}

  struct Answer {
    bool answered = false;
    Atom property = None;
    Atom type = None;
    int format = 0;
    std::string bytes;             // format 8
    std::vector<long> longs;       // format 32
    bool incremental = false;
  };

  // Chunks of an incremental answer taken before this paster stops reading
  // (a requestor that hangs).
  size_t chunksBeforeStall = SIZE_MAX;
  size_t chunksTaken = 0;

  // Asks for `selection` as `target` (into `property`, or the owner's
  // choice with None); serve() takes the answer in.
  void request(Atom selection, Atom target, std::optional<Atom> property = std::nullopt) {
    answer_.reset();
    receiving_.reset();
    XConvertSelection(dpy_, selection, target, property.value_or(atom("KWO_TEST_PASTE")), win_,
                      CurrentTime);
    XFlush(dpy_);
  }
  // None until the whole answer is in.
  const std::optional<Answer>& answer() const { return answer_; }

  // Asks and pumps `others` until the whole answer is in.
  Answer paste(Atom selection, Atom target, const std::vector<Peer*>& others = {}) {
    request(selection, target);
    std::vector<Peer*> peers = others;
    peers.push_back(this);
    pumpUntil([&] { return answer_.has_value(); }, peers);
    return answer_.value_or(Answer{});
  }

  // Cut buffer 0 as another application sees it.
  std::string cutBuffer() {
    int length = 0;
    char* bytes = XFetchBytes(dpy_, &length);
    std::string text = bytes ? std::string(bytes, size_t(length)) : std::string();
    if (bytes)
      XFree(bytes);
    return text;
  }

  void storeCutBuffer(const std::string& bytes) {
    XStoreBytes(dpy_, bytes.data(), int(bytes.size()));
    XSync(dpy_, False);
  }

private:
  void handle(const XEvent& event) override {
    if (event.type == SelectionNotify)
      answered(event.xselection);
    else if (event.type == PropertyNotify && event.xproperty.state == PropertyNewValue &&
             receiving_ && event.xproperty.atom == receiving_->property)
      takeChunk();
  }

  void answered(const XSelectionEvent& notify) {
    Answer answer;
    answer.answered = true;
    answer.property = notify.property;
    if (answer.property != None && take(answer) && answer.type == atom("INCR")) {
      // Deleting the INCR value (done by take) asks for the first chunk.
      answer.incremental = true;
      answer.type = None;
      answer.format = 0;
      answer.bytes.clear();
      receiving_ = std::move(answer);
      return;
    }
    answer_ = std::move(answer);
  }

  void takeChunk() {
    if (chunksTaken >= chunksBeforeStall)
      return;
    Answer chunk;
    chunk.property = receiving_->property;
    if (!take(chunk) || chunk.type == None)
      return;
    chunksTaken++;
    if (chunk.bytes.empty()) {
      receiving_->type = chunk.type;
      receiving_->format = chunk.format;
      answer_ = std::move(receiving_);
      receiving_.reset();
      return;
    }
    receiving_->bytes += chunk.bytes;
  }

  // Reads and deletes the answer's property.
  bool take(Answer& answer) {
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    int status = XGetWindowProperty(dpy_, win_, answer.property, 0, 1L << 24, True,
                                    AnyPropertyType, &answer.type, &answer.format, &items,
                                    &after, &data);
    if (data && answer.format == 8)
      answer.bytes.assign(reinterpret_cast<char*>(data), items);
    if (data && answer.format == 32)
      answer.longs.assign(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + items);
    if (data)
      XFree(data);
    return status == Success;
  }

  std::optional<Answer> answer_;
  std::optional<Answer> receiving_;
};

} // namespace cliptest
