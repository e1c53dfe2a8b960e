#include "base/plat/IntParameter.h"

#include "base/plat/HexDigit.h"

#include <cstdint>

namespace plat {

IntParameter::IntParameter(const char* name, const char* description, int defaultValue,
                           int minValue, int maxValue, bool advanced, Configuration* group,
                           const char* tags)
  : TypedParameter(name, description, defaultValue, advanced, group, tags), min_(minValue),
    max_(maxValue) {}

IntParameter::IntParameter(const char* name, LocKey locDescription, int defaultValue,
                           int minValue, int maxValue, bool advanced, Configuration* group,
                           const char* tags)
  : TypedParameter(name, locDescription, defaultValue, advanced, group, tags), min_(minValue),
    max_(maxValue) {}

std::optional<int> IntParameter::parse(const char* text) {
  if (!text)
    return std::nullopt;
  const char* p = text;
  bool negative = false;
  if (*p == '+' || *p == '-')
    negative = *p++ == '-';
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  } else if (p[0] == '0' && p[1]) {
    base = 8;
    p++;
  }
  if (!*p)
    return std::nullopt;
  // Accumulate the magnitude in 64 bits and stop as soon as it cannot be an
  // int any more, so that long texts cannot overflow.
  int64_t magnitude = 0;
  for (; *p; p++) {
    int digit = hexDigitValue(*p);
    if (digit < 0 || digit >= base)
      return std::nullopt;
    magnitude = magnitude * base + digit;
    if (magnitude > int64_t(INT32_MAX) + 1)
      return std::nullopt;
  }
  int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX)
    return std::nullopt;
  return int(value);
}

bool IntParameter::set(int value, int priority) {
  if (value < min_ || value > max_)
    return false;
  return TypedParameter::set(value, priority);
}

bool IntParameter::setParam(const char* text, int priority) {
  std::optional<int> value = parse(text);
  return value && set(*value, priority);
}

std::unique_ptr<ConfigParameter> IntParameter::clone(Configuration* group) const {
  return std::unique_ptr<ConfigParameter>(new IntParameter(*this, group));
}

} // namespace plat
