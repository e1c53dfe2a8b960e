#pragma once

// Parameters of every kind in the global group (with an alias over two of
// them), so that inputs which set parameters have something of each kind to
// hit: "FuzzBool", "FuzzInt" (-5..1000, default 7), "FuzzText" ("plain"),
// "FuzzEnum" (Apple, Pear, Quince; default Pear), "FuzzBinary", "FuzzS64"
// (-2) and the alias "FuzzBoth" (FuzzText and FuzzInt).

namespace fuzz {

// Makes sure the parameters are linked in; call once, before fuzzing.
void declareFuzzParameters();

} // namespace fuzz
