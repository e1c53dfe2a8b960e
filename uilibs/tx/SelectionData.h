#pragma once

// A selection's value as it reached a toolkit window: the property's type,
// format and item count, and its items. Everything is empty when the owner
// refused the conversion or the property could not be read. A value that
// came in chunks (INCR) is presented whole, once its last chunk arrived.

#include "uilibs/tx/XTypes.h"

#include <string>
#include <vector>

namespace tx {

struct SelectionData {
  Atom type = 0;
  int format = 0;
  unsigned long items = 0;
  // The items of a format-8 value.
  std::string bytes;
  // The items of a format-16 or format-32 value, one per item.
  std::vector<unsigned long> values;
  // The owner's value was larger than the window takes: type and format are
  // set, the items are left out (never a part of them).
  bool tooLarge = false;
};

} // namespace tx
