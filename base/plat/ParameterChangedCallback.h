#pragma once

namespace plat {

class ConfigParameter;

// Told after a value of a parameter was set or unset at a priority, also when
// the value in force did not change. Runs synchronously inside the change.
class ParameterChangedCallback {
public:
  virtual ~ParameterChangedCallback() = default;
  virtual void parameterChanged(ConfigParameter& parameter, int priority) = 0;
};

} // namespace plat
