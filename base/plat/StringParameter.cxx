#include "base/plat/StringParameter.h"

#include "base/plat/BadUtf8.h"
#include "base/plat/Format.h"
#include "base/plat/Utf8.h"

namespace plat {

StringParameter::StringParameter(const char* name, const char* description,
                                 const char* defaultValue, bool advanced, Configuration* group,
                                 const char* tags)
  : TypedParameter(name, description, checkedDefault(name, defaultValue), advanced, group,
                   tags) {}

StringParameter::StringParameter(const char* name, LocKey locDescription,
                                 const char* defaultValue, bool advanced, Configuration* group,
                                 const char* tags)
  : TypedParameter(name, locDescription, checkedDefault(name, defaultValue), advanced, group,
                   tags) {}

std::string StringParameter::checkedDefault(const char* name, const char* defaultValue) {
  if (!defaultValue)
    throw Exception(format("Default value <null> for %s not allowed", name ? name : ""));
  if (!isValidUtf8(defaultValue))
    throw BadUtf8(name ? name : "");
  return defaultValue;
}

bool StringParameter::set(const std::string& value, int priority) {
  if (!isValidUtf8(value))
    throw BadUtf8(getName());
  return TypedParameter::set(value, priority);
}

bool StringParameter::setParam(const char* text, int priority) {
  if (!text)
    return false;
  return set(std::string(text), priority);
}

std::unique_ptr<ConfigParameter> StringParameter::clone(Configuration* group) const {
  return std::unique_ptr<ConfigParameter>(new StringParameter(*this, group));
}

} // namespace plat
