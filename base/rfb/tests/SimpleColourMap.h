#pragma once

// A colour map over a vector, for tests.

#include "base/rfb/ColourMapRW.h"

#include <vector>

namespace rfb::test {

class SimpleColourMap : public ColourMapRW {
public:
  explicit SimpleColourMap(std::vector<Colour> colours = {}) : colours_(std::move(colours)) {}

  void getColour(int index, Colour* colour) const override {
    if (index >= 0 && index < size())
      *colour = colours_[index];
  }
  int size() const override { return int(colours_.size()); }
  void setColour(int index, const Colour& colour) override {
    if (index >= 0 && index < size())
      colours_[index] = colour;
  }

private:
  std::vector<Colour> colours_;
};

} // namespace rfb::test
