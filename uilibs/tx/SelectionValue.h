#pragma once

// Taking a selection's value out of the property that its owner wrote on a
// toolkit window (the whole answer, or one chunk of an incremental one).

#include "uilibs/tx/SelectionData.h"

#include <cstddef>

namespace tx {

// Reads `property` on `window` whole, then deletes it. A format-8 value is
// read in pieces straight into the result, so that a large text is held
// once; one of more than `limitBytes` bytes is not read at all (tooLarge).
// A missing property or a failed read gives empty data (type 0). X errors
// are the caller's to catch.
SelectionData takeSelectionValue(Window window, Atom property, size_t limitBytes);

} // namespace tx
