#include "uilibs/tx/IncomingTransfer.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <utility>

namespace tx {

IncomingTransfer::IncomingTransfer(const XEvent& notify, unsigned long announced,
                                   size_t limitBytes)
  : notify_(std::make_unique<XEvent>(notify)), limit_(limitBytes) {
  // The announced size spares the value its regrowth; an owner may announce
  // anything, so the limit bounds what is set aside.
  value_.bytes.reserve(std::min<size_t>(announced, limitBytes));
}

IncomingTransfer::~IncomingTransfer() = default;

Atom IncomingTransfer::property() const {
  return notify_->xselection.property;
}

IncomingTransfer::Progress IncomingTransfer::add(const SelectionData& chunk) {
  if (chunk.type == 0)
    return Progress::more;
  if (chunk.tooLarge || chunk.bytes.size() + chunk.values.size() > room())
    return Progress::overLimit;
  value_.type = chunk.type;
  value_.format = chunk.format;
  if (chunk.items == 0)
    return Progress::done;
  value_.bytes += chunk.bytes;
  value_.values.insert(value_.values.end(), chunk.values.begin(), chunk.values.end());
  return Progress::more;
}

SelectionData IncomingTransfer::take() {
  value_.items = value_.format == 8 ? value_.bytes.size() : value_.values.size();
  return std::move(value_);
}

} // namespace tx
