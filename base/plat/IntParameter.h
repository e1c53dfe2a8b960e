#pragma once

// A signed 32-bit parameter with an inclusive range. Text is decimal,
// hexadecimal after "0x" or octal after a leading 0, with an optional sign,
// and must be used up entirely.

#include "base/plat/TypedParameter.h"

namespace plat {

class IntParameter : public TypedParameter<int> {
public:
  IntParameter(const char* name, const char* description, int defaultValue, int minValue,
               int maxValue, bool advanced = false, Configuration* group = nullptr,
               const char* tags = nullptr);
  IntParameter(const char* name, LocKey locDescription, int defaultValue, int minValue,
               int maxValue, bool advanced = false, Configuration* group = nullptr,
               const char* tags = nullptr);

  // As TypedParameter::set, and false for a value outside the range.
  bool set(int value, int priority);
  bool setParam(const char* text, int priority) override;
  int getIntValue() const override { return getValue(); }
  const char* typeName() const override { return "int"; }
  std::unique_ptr<ConfigParameter> clone(Configuration* group) const override;

  int getMin() const { return min_; }
  int getMax() const { return max_; }

  operator int() const { return getValue(); }

  // The integer a whole text stands for, or nothing (also on overflow).
  static std::optional<int> parse(const char* text);

protected:
  IntParameter(const IntParameter& other, Configuration* group)
    : TypedParameter(other, group), min_(other.min_), max_(other.max_) {}
  std::string toText(const int& value) const override { return intValueText(value); }

private:
  int min_;
  int max_;
};

} // namespace plat
