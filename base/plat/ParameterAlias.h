#pragma once

// A name that stands for one or more parameter names of its group. Setting
// the alias sets every target to the same text at the same priority; a
// target that is itself an alias is expanded again.

#include <string>
#include <vector>

namespace plat {

class Configuration;

class ParameterAlias {
public:
  // Targets as a comma-separated list of names.
  ParameterAlias(const char* name, const char* targets, Configuration* group = nullptr);
  ParameterAlias(const char* name, std::vector<std::string> targets,
                 Configuration* group = nullptr);
  ~ParameterAlias();
  ParameterAlias(const ParameterAlias&) = delete;
  ParameterAlias& operator=(const ParameterAlias&) = delete;

  const std::string& getName() const { return name_; }
  const std::vector<std::string>& targets() const { return targets_; }

private:
  friend class Configuration;

  std::string name_;
  std::vector<std::string> targets_;
  Configuration* group_;
};

} // namespace plat
