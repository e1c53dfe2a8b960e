#pragma once

// The other side of the clipboard tests: X clients that own selections as
// desktop applications do, and that paste; a pump that runs the toolkit, the
// thread's timers and these clients until a condition holds. Shared with
// the agent's tests.

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

// A client to keep serving while a test waits.
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
  auto pass = [&] {
    txtest::dispatchEvents();
    if (plat::TimerManager* timers = plat::TimerManager::current())
      timers->processTimers();
    for (Peer* peer : peers)
      peer->serve();
  };
  return txtest::runUntil(done, pass, {displays, 50, true, deadline});
}

// A client connection with one unmapped window of its own.
class Client : public Peer {
public:
  explicit Client(const std::string& displayName) : dpy_(XOpenDisplay(displayName.c_str())) {
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
    XEvent event;
    for (;;) {
      XWindowEvent(dpy_, win_, PropertyChangeMask, &event);
      if (event.xproperty.atom == stamp)
        return event.xproperty.time;
      handle(event);
    }
  }

  // A server time strictly later than `t` (the server counts milliseconds).
  Time timeAfter(Time t) {
    Time now = serverTime();
    while (now == t)
      now = serverTime();
    return now;
  }

  void serve() override {
    XEvent event;
    while (XPending(dpy_)) {
      XNextEvent(dpy_, &event);
      handle(event);
    }
  }

protected:
  virtual void handle(const XEvent&) {}

  void put(Window window, Atom property, Atom type, int format, const void* data, size_t items) {
    XChangeProperty(dpy_, window, property, type, format, PropModeReplace,
                    static_cast<const unsigned char*>(data), int(items));
  }

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
  using Client::Client;

  bool offerUtf8 = true;    // TARGETS lists UTF8_STRING, which is served
  bool incremental = false; // text answers go in chunks (INCR)
  bool announceSize = true; // the INCR value is the size (or 0, as xclip writes)
  size_t chunkBytes = 4096;
  // Chunks sent, over all transfers, before the owner stops (until resume()).
  size_t chunksBeforeStall = SIZE_MAX;
  bool answering = true;

  // Takes `selection` at `time` (0: a fresh server time).
  Time own(Atom selection, Offer offer, Time time = 0) {
    offer.time = time ? time : serverTime();
    XSetSelectionOwner(dpy_, selection, win_, offer.time);
    if (XGetSelectionOwner(dpy_, selection) != win_)
      throw std::runtime_error("the server did not grant a selection");
    return (offers_[selection] = std::move(offer)).time;
  }

  std::vector<std::pair<Atom, Atom>> requests; // selection and target asked for, in order

  size_t requestsFor(Atom selection, Atom target) const {
    return size_t(std::count(requests.begin(), requests.end(), std::pair{selection, target}));
  }
  int incrementalDone = 0; // transfers that sent their final empty chunk
  size_t chunksSent = 0;

  // Whether a transfer waits for resume() (its requestor asked for more).
  bool stalled() const {
    return std::any_of(transfers_.begin(), transfers_.end(),
                       [](const Transfer& transfer) { return transfer.stalled; });
  }

  // Lets stalled transfers go on up to `chunks` more chunks each.
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
    Atom property, type;
    std::string bytes;
    size_t sent = 0;
    bool finished = false, stalled = false;
  };

  void handle(const XEvent& event) override {
    if (event.type == SelectionRequest) {
      const XSelectionRequestEvent& request = event.xselectionrequest;
      requests.emplace_back(request.selection, request.target);
      if (!answering)
        return;
      Atom property = request.property != None ? request.property : request.target;
      XEvent reply{};
      reply.xselection = {SelectionNotify, 0, False, nullptr, request.requestor,
                          request.selection, request.target,
                          write(request, property) ? property : None, request.time};
      XSendEvent(dpy_, request.requestor, False, 0, &reply);
      XFlush(dpy_);
    } else if (event.type == PropertyNotify && event.xproperty.state == PropertyDelete) {
      // The requestor took the last chunk: send the next (or the final empty one).
      for (Transfer& transfer : transfers_) {
        if (transfer.finished || transfer.requestor != event.xproperty.window ||
            transfer.property != event.xproperty.atom)
          continue;
        if (chunksSent >= chunksBeforeStall)
          transfer.stalled = true;
        else
          sendChunk(transfer);
        return;
      }
    }
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
      put(request.requestor, property, XA_ATOM, 32, targets.data(), targets.size());
      return true;
    }
    if (request.target == atom("TIMESTAMP")) {
      long time = long(offer->second.time);
      put(request.requestor, property, XA_INTEGER, 32, &time, 1);
      return true;
    }
    const std::string* bytes = request.target == XA_STRING ? &offer->second.latin1
                               : request.target == utf8 && offerUtf8 ? &offer->second.utf8
                                                                      : nullptr;
    if (!bytes)
      return false;
    if (!incremental) {
      put(request.requestor, property, request.target, 8, bytes->data(), bytes->size());
      return true;
    }
    XSelectInput(dpy_, request.requestor, PropertyChangeMask);
    transfers_.push_back({request.requestor, property, request.target, *bytes});
    long size = announceSize ? long(bytes->size()) : 0;
    put(request.requestor, property, atom("INCR"), 32, &size, 1);
    return true;
  }

  void sendChunk(Transfer& transfer) {
    size_t n = std::min(chunkBytes, transfer.bytes.size() - transfer.sent);
    put(transfer.requestor, transfer.property, transfer.type, 8,
        transfer.bytes.data() + transfer.sent, n);
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
  using Client::Client;

  struct Answer {
    Atom property = None;
    Atom type = None;
    int format = 0;
    std::string bytes;       // format 8
    std::vector<long> longs; // format 32
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

  // Cut buffer 0 as another application sees it.
  std::string cutBuffer() {
    int length = 0;
    char* bytes = XFetchBytes(dpy_, &length);
    std::string text = bytes ? std::string(bytes, size_t(length)) : std::string();
    XFree(bytes);
    return text;
  }

private:
  void handle(const XEvent& event) override {
    if (event.type == SelectionNotify) {
      Answer answer;
      answer.property = event.xselection.property;
      if (answer.property != None && takeInto(answer) && answer.type == atom("INCR")) {
        // Deleting the INCR value (done by takeInto) asks for the first chunk.
        receiving_ = Answer{answer.property, None, 0, {}, {}, true};
        return;
      }
      answer_ = std::move(answer);
    } else if (event.type == PropertyNotify && event.xproperty.state == PropertyNewValue &&
               receiving_ && event.xproperty.atom == receiving_->property &&
               chunksTaken < chunksBeforeStall) {
      Answer chunk;
      chunk.property = receiving_->property;
      if (!takeInto(chunk) || chunk.type == None)
        return;
      chunksTaken++;
      receiving_->bytes += chunk.bytes;
      if (chunk.bytes.empty()) {
        receiving_->type = chunk.type;
        receiving_->format = chunk.format;
        answer_ = std::move(receiving_);
        receiving_.reset();
      }
    }
  }

  // Reads and deletes the answer's property of the own window.
  bool takeInto(Answer& answer) {
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    int status = XGetWindowProperty(dpy_, win_, answer.property, 0, 1L << 24, True,
                                    AnyPropertyType, &answer.type, &answer.format, &items,
                                    &after, &data);
    if (data && answer.format == 8)
      answer.bytes.assign(reinterpret_cast<char*>(data), items);
    if (data && answer.format == 32)
      answer.longs.assign(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + items);
    XFree(data);
    return status == Success;
  }

  std::optional<Answer> answer_;
  std::optional<Answer> receiving_;
};

} // namespace cliptest
