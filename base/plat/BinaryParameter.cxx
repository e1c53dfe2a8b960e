#include "base/plat/BinaryParameter.h"

#include "base/plat/HexDigit.h"

#include <cstring>

namespace plat {

BinaryParameter::BinaryParameter(const char* name, const char* description,
                                 std::vector<uint8_t> defaultValue, bool advanced,
                                 Configuration* group, const char* tags)
  : TypedParameter(name, description, defaultValue, advanced, group, tags) {}

BinaryParameter::BinaryParameter(const char* name, LocKey locDescription,
                                 std::vector<uint8_t> defaultValue, bool advanced,
                                 Configuration* group, const char* tags)
  : TypedParameter(name, locDescription, defaultValue, advanced, group, tags) {}

std::optional<std::vector<uint8_t>> BinaryParameter::parse(const char* text) {
  if (!text)
    return std::nullopt;
  size_t length = std::strlen(text);
  if (length % 2 != 0)
    return std::nullopt;
  std::vector<uint8_t> bytes;
  bytes.reserve(length / 2);
  for (size_t i = 0; i < length; i += 2) {
    int high = hexDigitValue(text[i]);
    int low = hexDigitValue(text[i + 1]);
    if (high < 0 || low < 0)
      return std::nullopt;
    bytes.push_back(uint8_t(high << 4 | low));
  }
  return bytes;
}

bool BinaryParameter::setParam(const char* text, int priority) {
  std::optional<std::vector<uint8_t>> value = parse(text);
  return value && set(*value, priority);
}

std::unique_ptr<ConfigParameter> BinaryParameter::clone(Configuration* group) const {
  return std::unique_ptr<ConfigParameter>(new BinaryParameter(*this, group));
}

} // namespace plat
