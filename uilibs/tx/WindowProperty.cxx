#include "uilibs/tx/WindowProperty.h"

#include "uilibs/tx/TXUtil.h"

#include "base/plat/Assert.h"

#include <X11/Xlib.h>

namespace tx {

void WindowProperty::XFreeDeleter::operator()(unsigned char* data) const {
  XFree(data);
}

WindowProperty WindowProperty::read(Window window, Atom property, bool deleteAfter, Atom type,
                                    long offset, long units) {
  WindowProperty result;
  unsigned char* data = nullptr;
  int status = XGetWindowProperty(display(), window, property, offset, units,
                                  deleteAfter ? True : False,
                                  type ? type : AnyPropertyType, &result.type_, &result.format_,
                                  &result.items_, &result.bytesAfter_, &data);
  result.data_.reset(data);
  result.ok_ = status == Success;
  if (!result.ok_) {
    result.type_ = 0;
    result.format_ = 0;
    result.items_ = 0;
    result.bytesAfter_ = 0;
    return result;
  }
  result.typeMatched_ = type == 0 || result.type_ == type;
  // Xlib reports the real type but returns no data when it does not match.
  if (!result.data_)
    result.items_ = 0;
  return result;
}

std::optional<unsigned long> WindowProperty::readValue32(Window window, Atom property, Atom type) {
  WindowProperty value = read(window, property, false, type);
  if (!value.ok() || value.format() != 32 || value.items() < 1)
    return std::nullopt;
  return value.value32(0);
}

void WindowProperty::replace(Window window, Atom property, Atom type, int format,
                             const void* data, int items) {
  XChangeProperty(display(), window, property, type, format, PropModeReplace,
                  static_cast<const unsigned char*>(data), items);
}

std::string_view WindowProperty::text() const {
  if (format_ != 8 || !data_)
    return {};
  return std::string_view(reinterpret_cast<const char*>(data_.get()), items_);
}

unsigned long WindowProperty::value32(unsigned long i) const {
  PLAT_ASSERT(format_ == 32 && i < items_);
  // Xlib sign-extends the 32 bits into a long; only the 32 bits are the value.
  return reinterpret_cast<const unsigned long*>(data_.get())[i] & 0xffffffffUL;
}

} // namespace tx
