#include "uilibs/tx/TXHandlerList.h"

#include <algorithm>

namespace tx {

namespace {

uint64_t nextSerial() {
  static uint64_t serial = 0;
  return ++serial;
}

} // namespace

std::vector<TXHandlerList::Entry>::const_iterator
TXHandlerList::find(const TXEventHandler* handler) const {
  return std::find_if(entries_.begin(), entries_.end(),
                      [handler](const Entry& entry) { return entry.handler == handler; });
}

void TXHandlerList::add(TXEventHandler* handler, long mask) {
  auto listed = find(handler);
  if (listed != entries_.end()) {
    entries_[listed - entries_.begin()].mask = mask;
    return;
  }
  Entry entry{handler, mask, nextSerial()};
  if (!sorted_) {
    entries_.push_back(entry);
    return;
  }
  auto place = std::lower_bound(entries_.begin(), entries_.end(), handler,
                                [](const Entry& e, const TXEventHandler* h) {
                                  return std::less<const TXEventHandler*>()(e.handler, h);
                                });
  entries_.insert(place, entry);
}

void TXHandlerList::remove(TXEventHandler* handler) {
  auto listed = find(handler);
  if (listed != entries_.end())
    entries_.erase(listed);
}

bool TXHandlerList::contains(const TXEventHandler* handler) const {
  return find(handler) != entries_.end();
}

long TXHandlerList::unionOfMasks() const {
  long mask = 0;
  for (const Entry& entry : entries_)
    mask |= entry.mask;
  return mask;
}

bool TXHandlerList::stillListed(const Entry& entry) const {
  auto listed = find(entry.handler);
  return listed != entries_.end() && listed->serial == entry.serial;
}

void TXHandlerList::dispatch(const XEvent& event) const {
  for (const Entry& entry : snapshot()) {
    if (stillListed(entry))
      entry.handler->handleEvent(event);
  }
}

} // namespace tx
