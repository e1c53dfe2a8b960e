#pragma once

// A set of handler references kept as a sorted array, searched by binary
// search. Loops have few handlers (a channel, the X connection, kickers), so
// shifting the tail on insertion beats hashing; a pass allocates nothing
// unless the set grows.
//
// Invariant: items_ is strictly increasing (sorted by identity, no duplicates).

#include <cstddef>
#include <vector>

namespace io {

class FdHandler;

class HandlerSet {
public:
  using const_iterator = std::vector<FdHandler*>::const_iterator;

  // Returns false when the handler was present already.
  bool insert(FdHandler& handler);
  // Returns false when the handler was absent.
  bool erase(FdHandler& handler);
  bool contains(const FdHandler& handler) const;

  // Moves every member of `other` into this set, leaving `other` empty.
  void takeAll(HandlerSet& other);
  // Removes and returns one member (the last); the set must not be empty.
  FdHandler& takeOne();

  bool empty() const { return items_.empty(); }
  size_t size() const { return items_.size(); }
  void clear() { items_.clear(); }
  const_iterator begin() const { return items_.begin(); }
  const_iterator end() const { return items_.end(); }

private:
  std::vector<FdHandler*> items_;
};

} // namespace io
