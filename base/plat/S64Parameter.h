#pragma once

// A signed 64-bit parameter. Its text form is "int64:" followed by the 16
// hexadecimal digits of the value, most significant first (either case on
// input, lower case on output).

#include "base/plat/TypedParameter.h"

#include <cstdint>

namespace plat {

class S64Parameter : public TypedParameter<int64_t> {
public:
  S64Parameter(const char* name, const char* description, int64_t defaultValue,
               bool advanced = false, Configuration* group = nullptr, const char* tags = nullptr);
  S64Parameter(const char* name, LocKey locDescription, int64_t defaultValue,
               bool advanced = false, Configuration* group = nullptr, const char* tags = nullptr);

  bool setParam(const char* text, int priority) override;
  const char* typeName() const override { return "s64"; }
  std::unique_ptr<ConfigParameter> clone(Configuration* group) const override;

  static std::optional<int64_t> parse(const char* text);
  static std::string text(int64_t value);

protected:
  S64Parameter(const S64Parameter& other, Configuration* group) : TypedParameter(other, group) {}
  std::string toText(const int64_t& value) const override { return text(value); }
};

} // namespace plat
