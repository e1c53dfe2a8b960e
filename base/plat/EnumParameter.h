#pragma once

// A choice among named options, stored as the option's index. Options come
// from a null-terminated list and are matched case-insensitively; the value
// text is the option name. The range is that of the indices.

#include "base/plat/IntParameter.h"

#include <string>
#include <vector>

namespace plat {

class EnumParameter : public IntParameter {
public:
  EnumParameter(const char* name, const char* description, const char* const* options,
                int defaultIndex, bool advanced = false, Configuration* group = nullptr,
                const char* tags = nullptr);
  EnumParameter(const char* name, LocKey locDescription, const char* const* options,
                int defaultIndex, bool advanced = false, Configuration* group = nullptr,
                const char* tags = nullptr);

  bool setParam(const char* text, int priority) override;
  const char* typeName() const override { return "enum"; }
  std::unique_ptr<ConfigParameter> clone(Configuration* group) const override;
  std::string intValueText(int value) const override;

  const std::vector<std::string>& options() const { return options_; }
  const std::string& getValueName() const { return options_.at(size_t(getValue())); }

protected:
  EnumParameter(const EnumParameter& other, Configuration* group)
    : IntParameter(other, group), options_(other.options_) {}

private:
  std::vector<std::string> options_;
};

} // namespace plat
