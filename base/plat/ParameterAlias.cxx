#include "base/plat/ParameterAlias.h"

#include "base/plat/Configuration.h"
#include "base/plat/SplitList.h"

namespace plat {

ParameterAlias::ParameterAlias(const char* name, const char* targets, Configuration* group)
  : ParameterAlias(name, splitList(targets), group) {}

ParameterAlias::ParameterAlias(const char* name, std::vector<std::string> targets,
                               Configuration* group)
  : name_(name ? name : ""), targets_(std::move(targets)),
    group_(group ? group : &Configuration::global()) {
  group_->addAlias(this);
}

ParameterAlias::~ParameterAlias() {
  if (group_)
    group_->removeAlias(this);
}

} // namespace plat
