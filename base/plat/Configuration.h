#pragma once

// A named group of parameters, with child groups and aliases. The global
// group ("Global") is created on first use, so that parameters with static
// storage in any translation unit can join it during static
// initialisation; it logs every set and unset and lives until the process
// ends. Names are compared case-insensitively everywhere.
//
// Groups do not own their parameters, aliases or children: each of those
// joins when constructed and leaves when destroyed. A group destroyed first
// leaves its members detached.

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/plat/CaseInsensitive.h"

namespace plat {

class ConfigParameter;
class ParameterAlias;
class XmlParamFilter;

class Configuration {
public:
  // Modes given to a help handler.
  static constexpr int helpBasic = 0;  // "-help"
  static constexpr int helpAll = 1;    // "-help all"
  static constexpr int helpXml = 2;    // "-help xml"
  using HelpHandler = std::function<void(int mode)>;

  // A group; with a parent it becomes the parent's last child. The title key
  // (may be null) names the catalogue text of the group's usage header.
  explicit Configuration(const char* name, const char* titleKey = nullptr,
                         Configuration* parent = nullptr, bool logChanges = false);
  ~Configuration();
  Configuration(const Configuration&) = delete;
  Configuration& operator=(const Configuration&) = delete;

  static Configuration& global();

  const std::string& getName() const { return name_; }
  const char* getTitleKey() const { return titleKey_.empty() ? nullptr : titleKey_.c_str(); }
  bool logsChanges() const { return logChanges_; }
  void setLogChanges(bool on) { logChanges_ = on; }
  // The parameters of this group alone, newest first (follow next()).
  ConfigParameter* head() const { return head_; }
  const std::vector<Configuration*>& children() const { return children_; }

  // The parameter with that name in this group or, when searching children,
  // in the first child (depth first) that has one; null when none.
  ConfigParameter* findParam(std::string_view name, bool searchChildren = true) const;
  ParameterAlias* findAlias(std::string_view name) const;

  // Sets a parameter (or every target of an alias of this group) from text.
  // False when nothing matched or nothing accepted the text.
  bool setParam(std::string_view name, const char* text, int priority);

  // One argument: "--name=value", "-name=value", "name=value", "--name" or
  // "-name" (no text: booleans become true, other kinds refuse).
  bool parseArg(const char* text, int priority);

  // Applies every argument at priority 10, also as "-name value" pairs.
  // Stops at the first argument that no form accepts; a help word there
  // ("-help", "--help", "-h", "/?") calls the handler when one is given.
  // Any argument left then throws Exception of kind "BadCmdLineArg".
  void parseCommandLine(const std::vector<std::string>& args, const HelpHandler& help);
  void parseCommandLine(int argc, const char* const* argv, const HelpHandler& help);

  // The program's own help handler: prints the usage of the global group to
  // standard error, or for helpXml its XML document to standard output, and
  // ends the process with status 1.
  [[noreturn]] static void usageHandler(int mode);

  // The parameter lines of this group and its children, each group under its
  // header. Advanced and binary parameters only when all are asked for.
  std::string usageText(bool all, bool showDefaults) const;
  // The complete usage: product text, the forms of arguments, the parameter
  // lines and, with all, the log names and destinations.
  void printUsage(std::FILE* out, bool all, bool showDefaults = true) const;

  // The XML document describing the parameters of the group and its children.
  // The filter may be null (accept everything).
  static std::string writeXml(const Configuration& group, bool includeUnderscore,
                              bool useLocKeys, const XmlParamFilter* filter);

private:
  friend class ConfigParameter;
  friend class ParameterAlias;

  void addParam(ConfigParameter* parameter);
  void removeParam(ConfigParameter* parameter);
  void addAlias(ParameterAlias* alias);
  void removeAlias(ParameterAlias* alias);
  void removeChild(Configuration* child);
  bool setParamExpanding(std::string_view name, const char* text, int priority, int depth);
  std::string headerText() const;
  void collect(std::vector<const ConfigParameter*>& out) const;

  std::string name_;
  std::string titleKey_;
  Configuration* parent_;
  ConfigParameter* head_ = nullptr;
  std::vector<Configuration*> children_;
  std::map<std::string, ParameterAlias*, LessIgnoreCase> aliases_;
  bool logChanges_;
};

} // namespace plat
