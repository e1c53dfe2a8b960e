#pragma once

// A toolkit window: an X window whose events the dispatcher hands to this
// object and then to the window's own handlers. The agent uses hidden ones
// to own selections and answer other clients' paste requests, and to fetch
// selections from other clients.
//
// Values too large for one X request travel in chunks (INCR) both ways:
// answers to this window's conversions are put together before
// selectionNotify() sees them, and paste requests for a large text are
// served chunk by chunk to every requestor at once.
//
// Invariants: the window is in the dispatcher's window map exactly while it
// has an X window; ownedSelections_ holds exactly the selections for which
// the dispatcher names this window as owner; text_ is the selection text
// offered or last received (null: none), shared with the transfers still
// serving it; at most one incoming transfer runs, and its property is never
// the one being drained. Event-loop thread only; serving in chunks needs
// the thread's timer manager.

#include "uilibs/tx/IncrementalSender.h"
#include "uilibs/tx/SelectionData.h"
#include "uilibs/tx/TXEventHandler.h"
#include "uilibs/tx/TXHandlerList.h"

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace tx {

class IncomingTransfer;

class TXWindow {
public:
  // With `create`, makes the X window at once (see create()).
  explicit TXWindow(int width = 1, int height = 1, TXWindow* parent = nullptr, int border = 0,
                    bool overrideRedirect = false, bool create = true);
  // Gives up owned selections and grabs, leaves every registry and destroys
  // the X window.
  virtual ~TXWindow();
  TXWindow(const TXWindow&) = delete;
  TXWindow& operator=(const TXWindow&) = delete;

  // Called by the dispatcher after handling the events named. Defaults do
  // nothing.
  virtual void resized() {}
  virtual void configured() {}
  virtual void mappedChanged() {}
  virtual void focusChanged() {}
  // The window manager offers the focus (WM_TAKE_FOCUS) at `time`.
  virtual void takeFocus(Time time) {}
  // A conversion this window asked for has been answered. `data` is empty
  // when the owner refused or the property could not be read; an
  // incremental (INCR) answer arrives whole after its last chunk, or as
  // tooLarge once it outgrows the incoming limit. The default keeps STRING
  // (as UTF-8) and UTF8_STRING values as the window's text.
  virtual void selectionNotify(const XEvent& event, const SelectionData& data);
  // Writes the value of `target` for an owned `selection` into `property`
  // on `requestor`. False makes the answer "refused" (property None).
  virtual bool selectionRequest(Window requestor, Atom selection, Atom target, Atom property);

  // Makes the X window at (0, 0): a mapped child of the parent given at
  // construction, or an unmapped child of the root. Asserts "!win_".
  void create();
  // 0 until created.
  Window win() const { return win_; }
  int width() const { return width_; }
  int height() const { return height_; }
  bool mapped() const { return mapped_; }
  bool hasFocus() const { return hasFocus_; }

  void map();
  void unmap();
  // Event masks on top of FocusChangeMask | PropertyChangeMask, which every
  // toolkit window selects.
  void addEventMask(long mask);
  void removeEventMask(long mask);
  long eventMask() const { return eventMask_; }

  // The window's own handlers, called after the window has seen the event.
  void addWindowEventHandler(TXEventHandler* handler, bool add);
  // WM_DELETE_WINDOW messages go to this handler only (null: none).
  void setDeleteHandler(TXEventHandler* handler) { deleteHandler_ = handler; }

  // Asks for toolkit grabs (both false withdraws): while this window is the
  // newest mapped window asking for a kind, pointer (or keyboard) events go
  // to it. `cursor` is shown during a pointer grab (0: the window's).
  void setGrab(bool pointer, bool keyboard, unsigned long cursor = 0);

  // Takes `selection` at `time`. True when the server confirms this window
  // as the owner; otherwise nothing is recorded.
  bool ownSelection(Atom selection, Time time);
  bool ownsSelection(Atom selection) const;
  // When this window took `selection`; none when it does not own it.
  std::optional<Time> selectionTime(Atom selection) const;
  // Offers `text` (UTF-8, `length` bytes; null: no text) as PRIMARY and
  // CLIPBOARD from `time`, and stores it in cut buffer 0 as ISO-8859-1.
  void setSelectionText(size_t length, const char* text, Time time);
  // Null when there is none.
  const std::string* text() const { return text_.get(); }
  // With secure text, texts set from now on are overwritten before their
  // memory is given back.
  void setSecureText(bool secure) { secureText_ = secure; }

  // Asks the owner of `selection` for `target` into `property` on this
  // window; the answer arrives through selectionNotify().
  void convertSelection(Atom selection, Atom target, Atom property, Time time);
  // Waits up to `timeoutMs` until a SelectionNotify for this window is
  // queued (not taken out). On time-out logs "timed out waiting for ..."
  // and returns false. Throws plat::SystemException "select" when waiting
  // fails.
  bool waitForSelectionNotify(Atom selection, Atom target, int timeoutMs);

  // The most bytes an answer to this window may bring; a larger one is
  // reported tooLarge and not kept.
  static constexpr size_t defaultIncomingLimit = size_t(32) << 20;
  void setIncomingLimit(size_t bytes) { incomingLimit_ = bytes; }
  size_t incomingLimit() const { return incomingLimit_; }
  // Whether an answer is arriving in chunks.
  bool receivingIncrementally() const { return incoming_ != nullptr; }
  // Gives up the answer arriving in chunks, if any, without reporting it:
  // its chunks so far are dropped and the rest are drained.
  void abandonIncoming();
  // The property of an incremental transfer being drained; 0 when none.
  Atom pendingIncrProperty() const { return pendingIncr_; }
  // Paste requests being served in chunks.
  size_t outgoingTransfers() const { return sender_.transfers(); }

protected:
  // Replaces the text (absent clears it); the old one is wiped, when it was
  // secure, once no transfer serves it any more.
  void setText(std::optional<std::string> text);
  // A chunk of the answer to `notify` arrived; `received` bytes so far.
  virtual void incomingProgress(const XEvent& notify, size_t received) {}

private:
  friend class TXEventDispatcher;

  // The window's own steps for an event the dispatcher routed here; false
  // when the event must go no further (not to the window's handlers).
  bool handleWindowEvent(XEvent& event);
  const TXHandlerList& handlers() const { return handlers_; }

  void handleConfigure(XEvent& event);
  void handlePropertyNotify(const XEvent& event);
  void handleSelectionClear(const XEvent& event);
  void handleSelectionRequest(const XEvent& event);
  void handleSelectionNotify(const XEvent& event);
  bool handleClientMessage(const XEvent& event);
  bool answerTargets(Window requestor, Atom property);
  bool answerTimestamp(Window requestor, Atom selection, Atom property);
  bool answerText(Window requestor, Atom type, std::shared_ptr<const std::string> text,
                  Atom property);
  void startIncoming(const XEvent& event, const SelectionData& announcement);
  void continueIncoming();
  void refuseIncoming(const XEvent& notify, Atom type, int format);
  void drainChunk();
  void forgetSelection(Atom selection);
  void selectInput();

  Window win_ = 0;
  TXWindow* parent_;
  int width_;
  int height_;
  int border_;
  bool overrideRedirect_;
  long eventMask_;
  TXHandlerList handlers_;
  TXEventHandler* deleteHandler_ = nullptr;
  bool mapped_ = false;
  bool hasFocus_ = false;
  std::map<Atom, Time> ownedSelections_;
  std::shared_ptr<const std::string> text_;
  bool secureText_ = false;
  size_t incomingLimit_ = defaultIncomingLimit;
  std::unique_ptr<IncomingTransfer> incoming_;
  Atom pendingIncr_ = 0;
  IncrementalSender sender_;
};

} // namespace tx
