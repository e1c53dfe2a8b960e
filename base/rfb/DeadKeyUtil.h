#pragma once

// Dead-key knowledge for the key interpreter: which dead keysym types a
// spacing accent (dead_acute for acute, apostrophe and tonos), and which dead
// keysym and base keysym compose a precomposed keysym (eacute = dead_acute +
// e). Both tables start from built-in lists; the file named by the
// "DeadKeyFile" parameter may replace the first and extend the second.
//
// Invariants: the spacing table is scanned in order and its first match wins
// in either direction; the composition map holds one (dead, base) pair per
// combined keysym, the one added last.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace rfb {

class DeadKeyUtil {
public:
  struct Composition {
    uint32_t combined;
    uint32_t dead;
    uint32_t base;
  };

  // Built-in tables, then the file named by the "DeadKeyFile" parameter
  // when it is not empty.
  DeadKeyUtil();
  // Built-in tables, then `file` when it is not empty. `layout`, when given,
  // selects a "deadKeys-<layout>" element in preference to "deadKeys".
  explicit DeadKeyUtil(const std::string& file, const char* layout = nullptr);

  // The dead keysym that types `spacing`, or 0 when there is none.
  uint32_t deadForSpacing(uint32_t spacing) const;
  // The first spacing keysym that the dead keysym types, or 0.
  uint32_t spacingForDead(uint32_t dead) const;
  // The dead keysym and base keysym that compose `combined`, if known.
  std::optional<std::pair<uint32_t, uint32_t>> decompose(uint32_t combined) const;

  static bool isDeadKeysym(uint32_t keysym);

  // Reads a dead-key file over the current tables. Failures are logged, not
  // thrown; a table read completely before the failure stays in force.
  void readFile(const std::string& path, const char* layout = nullptr);

  const std::vector<std::pair<uint32_t, uint32_t>>& spacingTable() const { return spacingToDead_; }
  size_t compositionCount() const { return decompositions_.size(); }

  // The built-in composition groups, in the order they are added.
  static const std::vector<std::vector<Composition>>& builtInCompositions();
  static uint32_t parseKeysym(const char* text);

private:
  void addCompositions(const std::vector<Composition>& compositions);

  std::vector<std::pair<uint32_t, uint32_t>> spacingToDead_;
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> decompositions_;
};

} // namespace rfb
