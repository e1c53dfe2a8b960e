#pragma once

// A selection value arriving in chunks (INCR) into a property of a toolkit
// window: the owner writes the next chunk each time the window deletes the
// property, and an empty chunk ends the value. The chunks are kept up to a
// limit; a value that goes past it is given up whole, never kept in part.
//
// Invariants: the kept bytes (or items) are the chunks so far, in order,
// and never more than the limit. Plain data: the window reads the chunks.

#include "uilibs/tx/SelectionData.h"
#include "uilibs/tx/TXEventHandler.h"

#include <cstddef>
#include <memory>

namespace tx {

class IncomingTransfer {
public:
  enum class Progress { more, done, overLimit };

  // `notify` announced the transfer: its property held the INCR value,
  // `announced` (the owner's lower bound of the size, 0: none).
  IncomingTransfer(const XEvent& notify, unsigned long announced, size_t limitBytes);
  ~IncomingTransfer();
  IncomingTransfer(const IncomingTransfer&) = delete;
  IncomingTransfer& operator=(const IncomingTransfer&) = delete;

  const XEvent& notify() const { return *notify_; }
  Atom property() const;
  size_t received() const { return value_.bytes.size() + value_.values.size(); }
  // How many more bytes a chunk may bring.
  size_t room() const { return limit_ - received(); }

  // Adds one chunk as read from the property (at most room() bytes, or
  // tooLarge). A chunk without type (the property was not there) is no chunk.
  Progress add(const SelectionData& chunk);
  // The whole value, once add() said done.
  SelectionData take();

private:
  // Held apart so that this header needs no Xlib.
  std::unique_ptr<XEvent> notify_;
  size_t limit_;
  SelectionData value_;
};

} // namespace tx
