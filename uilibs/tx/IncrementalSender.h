#pragma once

// Serves selection values too large for one X request to the clients that
// asked for them, in chunks (INCR): the requestor's property first holds
// the value's size with type INCR; each time the requestor deletes the
// property the next chunk is written, and an empty chunk ends the transfer.
// Any number of transfers run at once, each paced by its own requestor; one
// whose requestor has not taken a chunk for timeoutMs is dropped while the
// others go on.
//
// Invariants: exactly while transfers run, this object is a general handler
// of the dispatcher (the requestors' PropertyNotify events reach no toolkit
// window); a requestor window with a running transfer selects
// PropertyChangeMask on the toolkit's connection, and stops when its last
// transfer ends (toolkit windows select it anyway and are left alone).
// Event-loop thread only; needs the thread's timer manager.

#include "uilibs/tx/TXEventHandler.h"

#include <cstddef>
#include <list>
#include <memory>
#include <string>

namespace tx {

class IncrementalSender : private TXEventHandler {
public:
  // How long a requestor may leave a chunk unread.
  static constexpr int timeoutMs = 5000;

  IncrementalSender();
  // Drops every transfer.
  ~IncrementalSender() override;
  IncrementalSender(const IncrementalSender&) = delete;
  IncrementalSender& operator=(const IncrementalSender&) = delete;

  // Starts serving `value` as `type` (format 8) into `property` on
  // `requestor`, `chunkBytes` (above 0) at a time, by writing the INCR
  // property; the caller then tells the requestor. A transfer into the same
  // property of the same requestor is replaced. False, with nothing
  // started, when the requestor cannot be served (it is gone, or is the
  // root window).
  bool start(Window requestor, Atom property, Atom type,
             std::shared_ptr<const std::string> value, size_t chunkBytes);

  size_t transfers() const { return transfers_.size(); }

private:
  class Transfer;

  // TXEventHandler (general handler while transfers run)
  void handleEvent(const XEvent& event) override;

  void sendNext(Transfer& transfer);
  void end(Transfer& transfer);
  void watch(Window requestor, bool on);
  bool serving(Window requestor) const;

  std::list<std::unique_ptr<Transfer>> transfers_;
};

} // namespace tx
