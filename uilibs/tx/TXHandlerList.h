#pragma once

// A list of event handlers that can be changed while it is being walked.
//
// Invariants: a handler is listed at most once; every entry carries the
// serial number of its registration, unique for the life of the process, so
// that a handler removed during a walk (and perhaps destroyed, its address
// reused by a new registration) is recognised as gone and not called.
// Entries are kept in registration order, or ordered by handler when the
// list is made sorted.

#include "uilibs/tx/TXEventHandler.h"

#include <cstdint>
#include <vector>

namespace tx {

class TXHandlerList {
public:
  struct Entry {
    TXEventHandler* handler;
    long mask;
    uint64_t serial;
  };

  explicit TXHandlerList(bool sortedByHandler = false) : sorted_(sortedByHandler) {}

  // Lists `handler`, or replaces its mask (keeping its place) when it is
  // listed already.
  void add(TXEventHandler* handler, long mask = 0);
  // Does nothing for a handler that is not listed.
  void remove(TXEventHandler* handler);
  bool contains(const TXEventHandler* handler) const;
  bool empty() const { return entries_.empty(); }
  // The OR of every entry's mask.
  long unionOfMasks() const;

  // A copy to walk; check each entry with stillListed() right before use.
  std::vector<Entry> snapshot() const { return entries_; }
  bool stillListed(const Entry& entry) const;

  // Calls every handler of a snapshot that is still listed when its turn
  // comes (handlers may change the list meanwhile).
  void dispatch(const XEvent& event) const;

private:
  std::vector<Entry>::const_iterator find(const TXEventHandler* handler) const;

  bool sorted_;
  std::vector<Entry> entries_;
};

} // namespace tx
