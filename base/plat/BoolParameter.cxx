#include "base/plat/BoolParameter.h"

#include "base/plat/CaseInsensitive.h"
#include "base/plat/LogSrc.h"

namespace plat {

BoolParameter::BoolParameter(const char* name, const char* description, bool defaultValue,
                             bool advanced, Configuration* group, const char* tags)
  : TypedParameter(name, description, defaultValue, advanced, group, tags) {}

BoolParameter::BoolParameter(const char* name, LocKey locDescription, bool defaultValue,
                             bool advanced, Configuration* group, const char* tags)
  : TypedParameter(name, locDescription, defaultValue, advanced, group, tags) {}

std::optional<bool> BoolParameter::parse(const char* text) {
  if (!text || !*text)
    return true;
  for (const char* word : {"1", "on", "true", "yes"}) {
    if (equalsIgnoreCase(text, word))
      return true;
  }
  for (const char* word : {"0", "off", "false", "no"}) {
    if (equalsIgnoreCase(text, word))
      return false;
  }
  return std::nullopt;
}

bool BoolParameter::setParam(const char* text, int priority) {
  std::optional<bool> value = parse(text);
  if (!value) {
    log().error("Bool parameter %s: invalid value '%s'", getName().c_str(), text);
    return false;
  }
  return set(*value, priority);
}

std::unique_ptr<ConfigParameter> BoolParameter::clone(Configuration* group) const {
  return std::unique_ptr<ConfigParameter>(new BoolParameter(*this, group));
}

} // namespace plat
