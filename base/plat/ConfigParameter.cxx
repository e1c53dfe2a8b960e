#include "base/plat/ConfigParameter.h"

#include "base/plat/Assert.h"
#include "base/plat/Configuration.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"
#include "base/plat/ParameterChangedCallback.h"
#include "base/plat/SplitList.h"
#include "base/loc/Catalogue.h"

#include <algorithm>

namespace plat {

namespace {

LogSrc configurationLog("Configuration");

std::set<std::string> parseTags(const char* tags) {
  std::vector<std::string> items = splitList(tags);
  return std::set<std::string>(items.begin(), items.end());
}

} // namespace

ConfigParameter::ConfigParameter(const char* name, const char* description, bool advanced,
                                 Configuration* group, const char* tags)
  : name_(name ? name : ""), advanced_(advanced), tags_(parseTags(tags)) {
  const char* desc = description;
  const char* locDesc = nullptr;
  PLAT_ASSERT(desc || locDesc);
  description_ = desc;
  attach(group);
}

ConfigParameter::ConfigParameter(const char* name, LocKey locDescription, bool advanced,
                                 Configuration* group, const char* tags)
  : name_(name ? name : ""), advanced_(advanced), tags_(parseTags(tags)) {
  const char* desc = nullptr;
  const char* locDesc = locDescription.key;
  PLAT_ASSERT(desc || locDesc);
  locDescKey_ = locDesc;
  attach(group);
}

ConfigParameter::ConfigParameter(const ConfigParameter& other, Configuration* group)
  : name_(other.name_), description_(other.description_), locDescKey_(other.locDescKey_),
    advanced_(other.advanced_), tags_(other.tags_) {
  attach(group);
}

ConfigParameter::~ConfigParameter() {
  if (group_)
    group_->removeParam(this);
}

void ConfigParameter::attach(Configuration* group) {
  (group ? *group : Configuration::global()).addParam(this);
}

std::string ConfigParameter::intValueText(int value) const {
  return std::to_string(value);
}

bool ConfigParameter::reset(bool notify) {
  std::map<int, std::string> stored = values();
  if (stored.size() <= 1)
    return false;
  for (const auto& [priority, text] : stored) {
    if (priority != priorityDefault)
      unset(priority, false);
  }
  if (notify)
    notifyChanged(priorityDefault);
  return true;
}

const char* ConfigParameter::getDescription() const {
  return description_ ? description_->c_str() : nullptr;
}

const char* ConfigParameter::getLocDescKey() const {
  return locDescKey_ ? locDescKey_->c_str() : nullptr;
}

std::string ConfigParameter::descriptionText() const {
  if (description_)
    return *description_;
  return loc::text(getLocDescKey());
}

void ConfigParameter::addCallback(ParameterChangedCallback* callback) {
  PLAT_ASSERT(callback);
  callbacks_.push_back(callback);
}

void ConfigParameter::removeCallback(ParameterChangedCallback* callback) {
  auto it = std::find(callbacks_.begin(), callbacks_.end(), callback);
  if (it != callbacks_.end())
    callbacks_.erase(it);
}

LogSrc& ConfigParameter::log() {
  return configurationLog;
}

bool ConfigParameter::refusesPriority(int priority) const {
  return priority >= priorityPolicy && hasTag("noPolicy");
}

void ConfigParameter::notifyChanged(int priority) {
  // A callback may remove itself (or another) while being told.
  std::vector<ParameterChangedCallback*> current = callbacks_;
  for (ParameterChangedCallback* callback : current) {
    if (std::find(callbacks_.begin(), callbacks_.end(), callback) != callbacks_.end())
      callback->parameterChanged(*this, priority);
  }
}

void ConfigParameter::logSet(int priority) const {
  if (!group_ || !group_->logsChanges())
    return;
  int level = priority == priorityDefault ? LogSrc::levelDebug : LogSrc::levelInfo;
  std::string text = isBinary() ? std::string("<binary>") : valueText(priority);
  configurationLog.write(level, format("set %s(%s) to %s, priority %d", name_.c_str(),
                                       typeName(), text.c_str(), priority).c_str());
}

void ConfigParameter::logUnset(int priority) const {
  if (!group_ || !group_->logsChanges())
    return;
  std::string now = isBinary() ? std::string("<binary>") : getValueStr();
  configurationLog.write(LogSrc::levelInfo,
                         format("unset %s(%s) priority %d, now %s, priority %d", name_.c_str(),
                                typeName(), priority, now.c_str(), getPriority()).c_str());
}

} // namespace plat
