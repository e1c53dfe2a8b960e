#pragma once

// A boolean parameter. Accepts "1", "on", "true", "yes" and "0", "off",
// "false", "no" (words in any case); no text or an empty text means true.

#include "base/plat/TypedParameter.h"

namespace plat {

class BoolParameter : public TypedParameter<bool> {
public:
  BoolParameter(const char* name, const char* description, bool defaultValue,
                bool advanced = false, Configuration* group = nullptr, const char* tags = nullptr);
  BoolParameter(const char* name, LocKey locDescription, bool defaultValue,
                bool advanced = false, Configuration* group = nullptr, const char* tags = nullptr);

  // Rejected text is logged at level 0: "Bool parameter %s: invalid value '%s'".
  bool setParam(const char* text, int priority) override;
  bool getBoolValue() const override { return getValue(); }
  const char* typeName() const override { return "bool"; }
  std::unique_ptr<ConfigParameter> clone(Configuration* group) const override;

  operator bool() const { return getValue(); }

  // The boolean a text stands for, or nothing when it is not a boolean word.
  static std::optional<bool> parse(const char* text);

protected:
  BoolParameter(const BoolParameter& other, Configuration* group)
    : TypedParameter(other, group) {}
  std::string toText(const bool& value) const override { return value ? "1" : "0"; }
};

} // namespace plat
