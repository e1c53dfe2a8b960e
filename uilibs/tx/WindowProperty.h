#pragma once

// A window property as read from the X server on the toolkit's display. The
// value is owned here and released with XFree. Xlib hands 32-bit items back
// as C longs (8 bytes each on 64-bit clients); value32() hides that.

#include "uilibs/tx/XTypes.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

namespace tx {

class WindowProperty {
public:
  // The most 32-bit units one read takes unless told otherwise.
  static constexpr long defaultUnits = 65536;

  // Reads at most `units` 32-bit units from `offset` (in 32-bit units).
  // `type` 0 accepts any type. With `deleteAfter` the server deletes the
  // property once it has been read to its end. A failed read (for example a
  // window that is gone, when the caller holds an ErrorCatcher) gives
  // ok() == false.
  static WindowProperty read(Window window, Atom property, bool deleteAfter, Atom type = 0,
                             long offset = 0, long units = defaultUnits);

  // The first item of a format-32 property of type `type`; none unless the
  // read succeeds with format 32 and at least one item.
  static std::optional<unsigned long> readValue32(Window window, Atom property, Atom type);

  // Replaces the value. Format 32 items are C longs, as Xlib expects them.
  static void replace(Window window, Atom property, Atom type, int format,
                      const void* data, int items);

  bool ok() const { return ok_; }
  // True when the actual type is the one asked for, or any type was asked.
  bool typeMatched() const { return typeMatched_; }
  Atom type() const { return type_; }
  int format() const { return format_; }
  unsigned long items() const { return items_; }
  unsigned long bytesAfter() const { return bytesAfter_; }

  // Raw data as Xlib returned it (format 16 and 32 items are short and long).
  const unsigned char* data() const { return data_.get(); }
  // The data of a format-8 property; empty for other formats.
  std::string_view text() const;
  // Item i of a format-32 property (its 32 bits); i must be below items().
  unsigned long value32(unsigned long i) const;

private:
  WindowProperty() = default;

  struct XFreeDeleter {
    void operator()(unsigned char* data) const;
  };

  bool ok_ = false;
  bool typeMatched_ = false;
  Atom type_ = 0;
  int format_ = 0;
  unsigned long items_ = 0;
  unsigned long bytesAfter_ = 0;
  std::unique_ptr<unsigned char, XFreeDeleter> data_;
};

} // namespace tx
