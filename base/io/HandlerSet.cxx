#include "base/io/HandlerSet.h"

#include "base/plat/Assert.h"

#include <algorithm>
#include <functional>

namespace io {

namespace {

// std::less gives a total order over pointers into unrelated objects.
constexpr std::less<const FdHandler*> byIdentity;

} // namespace

bool HandlerSet::insert(FdHandler& handler) {
  auto at = std::lower_bound(items_.begin(), items_.end(), &handler, byIdentity);
  if (at != items_.end() && *at == &handler)
    return false;
  items_.insert(at, &handler);
  return true;
}

bool HandlerSet::erase(FdHandler& handler) {
  auto at = std::lower_bound(items_.begin(), items_.end(), &handler, byIdentity);
  if (at == items_.end() || *at != &handler)
    return false;
  items_.erase(at);
  return true;
}

bool HandlerSet::contains(const FdHandler& handler) const {
  return std::binary_search(items_.begin(), items_.end(), &handler, byIdentity);
}

void HandlerSet::takeAll(HandlerSet& other) {
  if (items_.empty()) {
    // The common case in a pass: swap keeps both arrays' capacity, so the
    // next pass does not allocate.
    items_.swap(other.items_);
    return;
  }
  std::vector<FdHandler*> merged;
  merged.reserve(items_.size() + other.items_.size());
  std::set_union(items_.begin(), items_.end(), other.items_.begin(), other.items_.end(),
                 std::back_inserter(merged), byIdentity);
  items_.swap(merged);
  other.items_.clear();
}

FdHandler& HandlerSet::takeOne() {
  PLAT_ASSERT(!items_.empty());
  FdHandler* handler = items_.back();
  items_.pop_back();
  return *handler;
}

} // namespace io
