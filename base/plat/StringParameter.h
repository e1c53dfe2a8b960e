#pragma once

// A UTF-8 text parameter. The default must not be null; text that is not
// valid UTF-8 throws BadUtf8 rather than being stored.

#include "base/plat/TypedParameter.h"

#include <string>

namespace plat {

class StringParameter : public TypedParameter<std::string> {
public:
  StringParameter(const char* name, const char* description, const char* defaultValue,
                  bool advanced = false, Configuration* group = nullptr,
                  const char* tags = nullptr);
  StringParameter(const char* name, LocKey locDescription, const char* defaultValue,
                  bool advanced = false, Configuration* group = nullptr,
                  const char* tags = nullptr);

  // Throws BadUtf8 for invalid UTF-8.
  bool set(const std::string& value, int priority);
  // False for a null text; throws BadUtf8 for invalid UTF-8.
  bool setParam(const char* text, int priority) override;
  const char* typeName() const override { return "string"; }
  std::unique_ptr<ConfigParameter> clone(Configuration* group) const override;

  operator const std::string&() const { return getValue(); }

protected:
  StringParameter(const StringParameter& other, Configuration* group)
    : TypedParameter(other, group) {}
  std::string toText(const std::string& value) const override { return value; }

private:
  static std::string checkedDefault(const char* name, const char* defaultValue);
};

} // namespace plat
