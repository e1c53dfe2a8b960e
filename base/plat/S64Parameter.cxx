#include "base/plat/S64Parameter.h"

#include "base/plat/Format.h"
#include "base/plat/HexDigit.h"

#include <cstring>

namespace plat {

namespace {

constexpr const char* prefix = "int64:";
constexpr size_t digits = 16;

} // namespace

S64Parameter::S64Parameter(const char* name, const char* description, int64_t defaultValue,
                           bool advanced, Configuration* group, const char* tags)
  : TypedParameter(name, description, defaultValue, advanced, group, tags) {}

S64Parameter::S64Parameter(const char* name, LocKey locDescription, int64_t defaultValue,
                           bool advanced, Configuration* group, const char* tags)
  : TypedParameter(name, locDescription, defaultValue, advanced, group, tags) {}

std::optional<int64_t> S64Parameter::parse(const char* text) {
  if (!text || std::strncmp(text, prefix, std::strlen(prefix)) != 0)
    return std::nullopt;
  const char* hex = text + std::strlen(prefix);
  if (std::strlen(hex) != digits)
    return std::nullopt;
  uint64_t value = 0;
  for (size_t i = 0; i < digits; i++) {
    int digit = hexDigitValue(hex[i]);
    if (digit < 0)
      return std::nullopt;
    value = (value << 4) | uint64_t(digit);
  }
  return int64_t(value);
}

std::string S64Parameter::text(int64_t value) {
  return format("%s%016llx", prefix, (unsigned long long)uint64_t(value));
}

bool S64Parameter::setParam(const char* text, int priority) {
  std::optional<int64_t> value = parse(text);
  return value && set(*value, priority);
}

std::unique_ptr<ConfigParameter> S64Parameter::clone(Configuration* group) const {
  return std::unique_ptr<ConfigParameter>(new S64Parameter(*this, group));
}

} // namespace plat
