#include "uilibs/tx/SelectionValue.h"

#include "uilibs/tx/TXUtil.h"
#include "uilibs/tx/WindowProperty.h"

#include <X11/Xlib.h>

#include <string>

namespace tx {

namespace {

// One read of a large text: 1 MiB, in 32-bit units.
constexpr long pieceUnits = 256 * 1024;

SelectionData itemsOf(const WindowProperty& property) {
  SelectionData data;
  data.type = property.type();
  data.format = property.format();
  data.items = property.items();
  for (unsigned long i = 0; i < data.items; i++) {
    if (data.format == 32)
      data.values.push_back(property.value32(i));
    else if (data.format == 16)
      data.values.push_back(reinterpret_cast<const unsigned short*>(property.data())[i]);
  }
  return data;
}

// Reads the pieces after the first until `total` bytes are in. Offsets
// count 32-bit units; every piece but the last is made of whole units.
bool readRest(Window window, Atom property, std::string& bytes, unsigned long total) {
  while (bytes.size() < total) {
    WindowProperty piece =
      WindowProperty::read(window, property, false, 0, long(bytes.size() / 4), pieceUnits);
    if (!piece.ok() || piece.format() != 8 || piece.items() == 0)
      return false;
    bytes.append(piece.text());
  }
  return bytes.size() == total;
}

SelectionData readValue(Window window, Atom property, size_t limitBytes) {
  WindowProperty first = WindowProperty::read(window, property, false, 0, 0, pieceUnits);
  if (!first.ok() || first.type() == None)
    return {};
  if (first.format() != 8)
    return itemsOf(first);
  SelectionData data;
  data.type = first.type();
  data.format = 8;
  unsigned long total = first.items() + first.bytesAfter();
  if (total > limitBytes) {
    data.tooLarge = true;
    return data;
  }
  data.bytes.reserve(total);
  data.bytes.append(first.text());
  if (!readRest(window, property, data.bytes, total))
    return {};
  data.items = data.bytes.size();
  return data;
}

} // namespace

SelectionData takeSelectionValue(Window window, Atom property, size_t limitBytes) {
  SelectionData data = readValue(window, property, limitBytes);
  XDeleteProperty(display(), window, property);
  return data;
}

} // namespace tx
