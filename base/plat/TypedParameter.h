#pragma once

// A parameter whose values are of one type, kept in a map from priority to
// value. Invariant: the entry at priority 0 (the default) exists from
// construction on and is never removed; the value in force is the entry with
// the highest priority.

#include "base/plat/ConfigParameter.h"

#include <iterator>
#include <map>
#include <string>

namespace plat {

template <typename T>
class TypedParameter : public ConfigParameter {
public:
  // Stores the value at the priority. False when the priority is refused
  // ("noPolicy"). Setting the value already stored at that priority does
  // nothing at all; otherwise the change is logged and every callback is
  // told, even when a higher priority keeps the value in force unchanged.
  bool set(const T& value, int priority) {
    if (refusesPriority(priority))
      return false;
    auto it = values_.find(priority);
    if (it != values_.end() && it->second == value)
      return true;
    values_.insert_or_assign(priority, value);
    logSet(priority);
    notifyChanged(priority);
    return true;
  }

  void unset(int priority, bool notify) override {
    if (priority == priorityDefault)
      return;
    auto it = values_.find(priority);
    if (it == values_.end())
      return;
    values_.erase(it);
    logUnset(priority);
    if (notify)
      notifyChanged(priority);
  }

  const T& getValue() const { return std::prev(values_.end())->second; }
  const T& getDefault() const { return values_.at(priorityDefault); }

  int getPriority() const override { return std::prev(values_.end())->first; }
  bool hasValueAt(int priority) const override { return values_.count(priority) != 0; }

  std::string getValueStr() const override { return toText(getValue()); }

  std::string valueText(int priority) const override {
    auto it = values_.find(priority);
    return it == values_.end() ? std::string() : toText(it->second);
  }

  std::map<int, std::string> values() const override {
    std::map<int, std::string> result;
    for (const auto& [priority, value] : values_)
      result.emplace(priority, toText(value));
    return result;
  }

protected:
  TypedParameter(const char* name, const char* description, const T& defaultValue,
                 bool advanced, Configuration* group, const char* tags)
    : ConfigParameter(name, description, advanced, group, tags) {
    values_.emplace(priorityDefault, defaultValue);
  }

  TypedParameter(const char* name, LocKey locDescription, const T& defaultValue,
                 bool advanced, Configuration* group, const char* tags)
    : ConfigParameter(name, locDescription, advanced, group, tags) {
    values_.emplace(priorityDefault, defaultValue);
  }

  TypedParameter(const TypedParameter& other, Configuration* group)
    : ConfigParameter(other, group), values_(other.values_) {}

  virtual std::string toText(const T& value) const = 0;

private:
  std::map<int, T> values_;
};

} // namespace plat
