#include "base/plat/EnumParameter.h"

#include "base/plat/Assert.h"
#include "base/plat/CaseInsensitive.h"

namespace plat {

namespace {

std::vector<std::string> collect(const char* const* options) {
  std::vector<std::string> result;
  for (; options && *options; options++)
    result.emplace_back(*options);
  PLAT_ASSERT(!result.empty());
  return result;
}

int lastIndex(const char* const* options) {
  return int(collect(options).size()) - 1;
}

} // namespace

EnumParameter::EnumParameter(const char* name, const char* description,
                             const char* const* options, int defaultIndex, bool advanced,
                             Configuration* group, const char* tags)
  : IntParameter(name, description, defaultIndex, 0, lastIndex(options), advanced, group, tags),
    options_(collect(options)) {
  PLAT_ASSERT(defaultIndex >= 0 && defaultIndex < int(options_.size()));
}

EnumParameter::EnumParameter(const char* name, LocKey locDescription,
                             const char* const* options, int defaultIndex, bool advanced,
                             Configuration* group, const char* tags)
  : IntParameter(name, locDescription, defaultIndex, 0, lastIndex(options), advanced, group,
                 tags),
    options_(collect(options)) {
  PLAT_ASSERT(defaultIndex >= 0 && defaultIndex < int(options_.size()));
}

bool EnumParameter::setParam(const char* text, int priority) {
  if (!text)
    return false;
  for (size_t i = 0; i < options_.size(); i++) {
    if (equalsIgnoreCase(text, options_[i]))
      return set(int(i), priority);
  }
  return false;
}

std::string EnumParameter::intValueText(int value) const {
  if (value < 0 || size_t(value) >= options_.size())
    return std::to_string(value);
  return options_[size_t(value)];
}

std::unique_ptr<ConfigParameter> EnumParameter::clone(Configuration* group) const {
  return std::unique_ptr<ConfigParameter>(new EnumParameter(*this, group));
}

} // namespace plat
