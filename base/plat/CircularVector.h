#pragma once

// A growable FIFO ring buffer.
//
// Invariants: the capacity is a power of two, at least 8 and at most 2^30;
// head and tail are running counters (they wrap as unsigned values) and are
// masked by capacity - 1 to index the storage; size = tail - head and never
// exceeds the capacity. A full buffer doubles its capacity on the next push.

#include "base/plat/Assert.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace plat {

template <typename T>
class CircularVector {
public:
  static constexpr uint32_t minCapacity = 8;

  CircularVector() : items_(minCapacity) {}
  explicit CircularVector(uint32_t capacity) : items_(minCapacity) { reserve(capacity); }

  bool empty() const { return head_ == tail_; }
  uint32_t size() const { return tail_ - head_; }
  uint32_t capacity() const { return uint32_t(items_.size()); }

  // Entry `i` counted from the head; `i` must be below size().
  T& operator[](uint32_t i) { return items_[(head_ + i) & mask()]; }
  const T& operator[](uint32_t i) const { return items_[(head_ + i) & mask()]; }

  T& front() {
    PLAT_ASSERT(!empty());
    return items_[head_ & mask()];
  }

  void pushBack(T value) {
    if (size() == capacity())
      reserve(capacity() * 2);
    items_[tail_ & mask()] = std::move(value);
    tail_++;
  }

  T popFront() {
    PLAT_ASSERT(!empty());
    T value = std::move(items_[head_ & mask()]);
    head_++;
    return value;
  }

  void clear() { head_ = tail_ = 0; }

  // Makes room for at least `newCapacity` entries (rounded up to a power of
  // two, minimum 8). Never shrinks below the current size or capacity.
  void reserve(uint64_t newCapacity) {
    PLAT_ASSERT(0 < newCapacity && newCapacity <= 0x3fffffffu);
    uint32_t rounded = minCapacity;
    while (rounded < newCapacity)
      rounded *= 2;
    if (rounded <= capacity())
      return;
    std::vector<T> grown(rounded);
    uint32_t count = size();
    for (uint32_t i = 0; i < count; i++)
      grown[i] = std::move((*this)[i]);
    items_ = std::move(grown);
    head_ = 0;
    tail_ = count;
  }

private:
  uint32_t mask() const { return capacity() - 1; }

  std::vector<T> items_;
  uint32_t head_ = 0;
  uint32_t tail_ = 0;
};

} // namespace plat
