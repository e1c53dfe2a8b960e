#pragma once

// The base of every configuration parameter: a named, typed, self-describing
// setting that holds one value per priority. Priority 0 is the default given
// at declaration and is always present; the value in force is the one at the
// highest priority. Priorities of 30 and above are policy, which parameters
// tagged "noPolicy" refuse.
//
// Parameters usually have static storage and add themselves to their group
// (the global group unless another is given) when constructed; they remove
// themselves when destroyed. Values change only on the event-loop thread.

#include "base/plat/LocKey.h"

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace plat {

class Configuration;
class LogSrc;
class ParameterChangedCallback;

class ConfigParameter {
public:
  static constexpr int priorityDefault = 0;
  static constexpr int priorityPreference = 10;
  static constexpr int priorityCommandLine = 10;
  static constexpr int priorityPolicy = 30;

  ConfigParameter(const ConfigParameter&) = delete;
  ConfigParameter& operator=(const ConfigParameter&) = delete;
  virtual ~ConfigParameter();

  // Sets from text; false when the kind does not accept the text (a null
  // text means "no value given", which only booleans accept).
  virtual bool setParam(const char* text, int priority) = 0;
  // Removes the value at exactly this priority; priority 0 is never removed.
  virtual void unset(int priority, bool notify) = 0;
  virtual int getIntValue() const { return 0; }
  // The text of the value in force.
  virtual std::string getValueStr() const = 0;
  virtual bool getBoolValue() const { return false; }
  virtual int getPriority() const = 0;
  virtual bool hasValueAt(int priority) const = 0;
  // The text of the value at exactly this priority; empty when none is stored.
  virtual std::string valueText(int priority) const = 0;
  // Every stored value, priority to text.
  virtual std::map<int, std::string> values() const = 0;
  virtual const char* typeName() const = 0;
  // A copy with the same texts, tags and values (no callbacks) in the group.
  virtual std::unique_ptr<ConfigParameter> clone(Configuration* group) const = 0;
  // The text of an integer value: decimal, or an enumeration's option name.
  virtual std::string intValueText(int value) const;

  // Removes every value but the default; false when there was nothing to
  // remove. When notifying, the callbacks are told once, with priority 0.
  bool reset(bool notify);

  const std::string& getName() const { return name_; }
  // Plain description, or null when only a catalogue key was given.
  const char* getDescription() const;
  // Catalogue key of the description, or null.
  const char* getLocDescKey() const;
  // The description as shown: the plain text, else the catalogue text.
  std::string descriptionText() const;
  bool isAdvanced() const { return advanced_; }
  const std::set<std::string>& tags() const { return tags_; }
  bool hasTag(const std::string& tag) const { return tags_.count(tag) != 0; }
  // Binary values are secret-like: kept out of help and log texts.
  virtual bool isBinary() const { return false; }

  Configuration* group() const { return group_; }
  ConfigParameter* next() const { return next_; }

  // Callbacks are not owned; each must be removed before it is destroyed.
  void addCallback(ParameterChangedCallback* callback);
  void removeCallback(ParameterChangedCallback* callback);

  // The log source of set and unset lines, "Configuration".
  static LogSrc& log();

protected:
  ConfigParameter(const char* name, const char* description, bool advanced,
                  Configuration* group, const char* tags);
  ConfigParameter(const char* name, LocKey locDescription, bool advanced,
                  Configuration* group, const char* tags);
  // For clones: the same texts and tags in another group.
  ConfigParameter(const ConfigParameter& other, Configuration* group);

  bool refusesPriority(int priority) const;
  void notifyChanged(int priority);
  void logSet(int priority) const;
  void logUnset(int priority) const;

private:
  friend class Configuration;

  void attach(Configuration* group);

  Configuration* group_ = nullptr;
  ConfigParameter* next_ = nullptr;
  std::string name_;
  std::optional<std::string> description_;
  std::optional<std::string> locDescKey_;
  bool advanced_;
  std::set<std::string> tags_;
  std::vector<ParameterChangedCallback*> callbacks_;
};

} // namespace plat
