#include "base/plat/Configuration.h"

#include "base/loc/Catalogue.h"
#include "base/plat/ConfigParameter.h"
#include "base/plat/EnumParameter.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/IntParameter.h"
#include "base/plat/LogSetting.h"
#include "base/plat/LogSrc.h"
#include "base/plat/ParameterAlias.h"
#include "base/plat/ProductInfo.h"
#include "base/plat/TextWrap.h"
#include "base/plat/XmlParamFilter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace plat {

namespace {

constexpr size_t usageWidth = 79;
constexpr int nameColumn = 14;
// "  " + the name column + " - ": where descriptions and their continuation
// lines start.
constexpr size_t descriptionColumn = 2 + nameColumn + 3;
// Aliases may name aliases; a cycle among them must not recurse for ever.
constexpr int maxAliasDepth = 16;

bool isHelpWord(const std::string& arg) {
  for (const char* word : {"-help", "--help", "-h", "/?"}) {
    if (equalsIgnoreCase(arg, word))
      return true;
  }
  return false;
}

bool nameBefore(const ConfigParameter* a, const ConfigParameter* b) {
  int order = compareIgnoreCase(a->getName(), b->getName());
  return order != 0 ? order < 0 : a->getName() < b->getName();
}

std::string escapeXml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
    case '&': out += "&amp;"; break;
    case '<': out += "&lt;"; break;
    case '>': out += "&gt;"; break;
    case '"': out += "&quot;"; break;
    case '\'': out += "&apos;"; break;
    default: out += c;
    }
  }
  return out;
}

std::string joinTags(const std::set<std::string>& tags) {
  std::string out;
  for (const std::string& tag : tags) {
    if (!out.empty())
      out += ',';
    out += tag;
  }
  return out;
}

// One parameter's element of the XML document.
std::string xmlElement(const ConfigParameter& p, bool useLocKeys) {
  bool byKey = useLocKeys && p.getLocDescKey();
  std::string out = format("<%-6s name=\"%s\"\n        %s=\"%s\"\n        advanced=\"%s\"",
                           p.typeName(), escapeXml(p.getName()).c_str(),
                           byKey ? "locDesc" : "description",
                           escapeXml(byKey ? p.getLocDescKey() : p.descriptionText()).c_str(),
                           p.isAdvanced() ? "true" : "false");
  if (!p.tags().empty())
    out += format("\n        flags=\"%s\"", escapeXml(joinTags(p.tags())).c_str());
  auto integer = dynamic_cast<const IntParameter*>(&p);
  if (integer)
    out += format("\n        min=\"%i\"\n        max=\"%i\"", integer->getMin(), integer->getMax());
  out += ">\n";
  for (const auto& [priority, text] : p.values())
    out += format("    <value data=\"%s\" priority=\"%i\"/>\n", escapeXml(text).c_str(), priority);
  if (auto enumeration = dynamic_cast<const EnumParameter*>(&p)) {
    for (const std::string& option : enumeration->options())
      out += format("    <opt data=\"%s\"/>\n", escapeXml(option).c_str());
  }
  out += format("</%s>\n", p.typeName());
  return out;
}

// One parameter's usage entry, without the final newline.
std::string usageEntry(const ConfigParameter& p, bool showDefaults) {
  std::string line = format("  %-*s - %s", nameColumn, p.getName().c_str(),
                            p.descriptionText().c_str());
  line = wrapText(line, usageWidth, descriptionColumn);
  if (!showDefaults || p.isBinary())
    return line;
  std::string value = format("(%s=%s)", loc::text("plat_configuration_help_default").c_str(),
                             p.getValueStr().c_str());
  size_t lastLine = line.size() - (line.rfind('\n') == std::string::npos ? 0 : line.rfind('\n') + 1);
  if (lastLine + value.size() < usageWidth)
    return line + " " + value;
  return line + format("%-*c%s", int(descriptionColumn + 1), '\n', value.c_str());
}

// Lists the log-source names and the log destinations for "-help all".
void printLogListing(std::FILE* out) {
  std::fprintf(out, "\n%s\n", loc::text("plat_configuration_log_names_title").c_str());
  LogSrc::listSources(int(usageWidth), out);
  std::fprintf(out, "\n%s\n", loc::text("plat_configuration_log_dests_title").c_str());
  listLogDests(out);
}

} // namespace

Configuration::Configuration(const char* name, const char* titleKey, Configuration* parent,
                             bool logChanges)
  : name_(name ? name : ""), titleKey_(titleKey ? titleKey : ""), parent_(parent),
    logChanges_(logChanges) {
  if (parent_)
    parent_->children_.push_back(this);
}

Configuration::~Configuration() {
  for (ConfigParameter* p = head_; p;) {
    ConfigParameter* next = p->next_;
    p->group_ = nullptr;
    p->next_ = nullptr;
    p = next;
  }
  for (auto& [name, alias] : aliases_)
    alias->group_ = nullptr;
  for (Configuration* child : children_)
    child->parent_ = nullptr;
  if (parent_)
    parent_->removeChild(this);
}

Configuration& Configuration::global() {
  // Created on first use: parameters in other translation units join it
  // during static initialisation, in an order nobody controls.
  static Configuration instance("Global", "plat_configuration_global_params", nullptr, true);
  return instance;
}

void Configuration::addParam(ConfigParameter* parameter) {
  parameter->group_ = this;
  parameter->next_ = head_;
  head_ = parameter;
}

void Configuration::removeParam(ConfigParameter* parameter) {
  for (ConfigParameter** link = &head_; *link; link = &(*link)->next_) {
    if (*link == parameter) {
      *link = parameter->next_;
      break;
    }
  }
  parameter->group_ = nullptr;
  parameter->next_ = nullptr;
}

void Configuration::addAlias(ParameterAlias* alias) {
  aliases_.insert_or_assign(alias->getName(), alias);
}

void Configuration::removeAlias(ParameterAlias* alias) {
  auto it = aliases_.find(alias->getName());
  if (it != aliases_.end() && it->second == alias)
    aliases_.erase(it);
}

void Configuration::removeChild(Configuration* child) {
  children_.erase(std::remove(children_.begin(), children_.end(), child), children_.end());
}

ConfigParameter* Configuration::findParam(std::string_view name, bool searchChildren) const {
  for (ConfigParameter* p = head_; p; p = p->next_) {
    if (equalsIgnoreCase(p->getName(), name))
      return p;
  }
  if (!searchChildren)
    return nullptr;
  for (const Configuration* child : children_) {
    if (ConfigParameter* p = child->findParam(name, true))
      return p;
  }
  return nullptr;
}

ParameterAlias* Configuration::findAlias(std::string_view name) const {
  auto it = aliases_.find(name);
  return it == aliases_.end() ? nullptr : it->second;
}

bool Configuration::setParam(std::string_view name, const char* text, int priority) {
  return setParamExpanding(name, text, priority, 0);
}

bool Configuration::setParamExpanding(std::string_view name, const char* text, int priority,
                                      int depth) {
  if (depth > maxAliasDepth)
    return false;
  if (ParameterAlias* alias = findAlias(name)) {
    bool accepted = false;
    for (const std::string& target : alias->targets())
      accepted = setParamExpanding(target, text, priority, depth + 1) || accepted;
    return accepted;
  }
  ConfigParameter* parameter = findParam(name, true);
  return parameter && parameter->setParam(text, priority);
}

bool Configuration::parseArg(const char* text, int priority) {
  if (!text)
    return false;
  std::string_view arg(text);
  bool dashed = !arg.empty() && arg[0] == '-';
  if (arg.substr(0, 2) == "--")
    arg.remove_prefix(2);
  else if (dashed)
    arg.remove_prefix(1);
  size_t equals = arg.find('=');
  if (equals != std::string_view::npos)
    return setParam(arg.substr(0, equals), std::string(arg.substr(equals + 1)).c_str(), priority);
  return dashed && setParam(arg, nullptr, priority);
}

void Configuration::parseCommandLine(int argc, const char* const* argv, const HelpHandler& help) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; i++)
    args.emplace_back(argv[i] ? argv[i] : "");
  parseCommandLine(args, help);
}

void Configuration::parseCommandLine(const std::vector<std::string>& args,
                                     const HelpHandler& help) {
  const int priority = ConfigParameter::priorityCommandLine;
  size_t i = 0;
  while (i < args.size()) {
    if (parseArg(args[i].c_str(), priority)) {
      i++;
      continue;
    }
    if (args[i][0] == '-' && i + 1 < args.size() &&
        setParam(std::string_view(args[i]).substr(1), args[i + 1].c_str(), priority)) {
      i += 2;
      continue;
    }
    break;
  }
  if (i == args.size())
    return;
  if (help && isHelpWord(args[i])) {
    int mode = helpBasic;
    if (i + 1 < args.size() && equalsIgnoreCase(args[i + 1], "all"))
      mode = helpAll;
    else if (i + 1 < args.size() && equalsIgnoreCase(args[i + 1], "xml"))
      mode = helpXml;
    help(mode);
  }
  std::string message = loc::substitute(loc::text("plat_bad_argument"), args[i]);
  if (help)
    message += "  " + loc::text("plat_run_with_help");
  throw Exception(message, "BadCmdLineArg");
}

void Configuration::usageHandler(int mode) {
  if (mode == helpXml) {
    std::fputs(writeXml(global(), false, false, nullptr).c_str(), stdout);
    std::fflush(stdout);
  } else {
    global().printUsage(stderr, mode == helpAll, true);
  }
  std::exit(1);
}

std::string Configuration::headerText() const {
  if (const char* key = getTitleKey())
    return loc::text(key) + ":\n";
  return name_ + " Parameters:\n";
}

std::string Configuration::usageText(bool all, bool showDefaults) const {
  std::vector<const ConfigParameter*> listed;
  for (const ConfigParameter* p = head_; p; p = p->next_) {
    if (p->getName().starts_with('_'))
      continue;
    if (!all && (p->isAdvanced() || p->isBinary()))
      continue;
    listed.push_back(p);
  }
  std::sort(listed.begin(), listed.end(), nameBefore);
  std::string out = headerText();
  for (const ConfigParameter* p : listed)
    out += usageEntry(*p, showDefaults) + "\n";
  for (const Configuration* child : children_)
    out += child->usageText(all, showDefaults);
  return out;
}

void Configuration::printUsage(std::FILE* out, bool all, bool showDefaults) const {
  std::fprintf(out, "%s\n\n", ProductInfo::text().c_str());
  std::fprintf(out, "%s\n\n",
               wrapText(loc::text("plat_configuration_param_usage"), usageWidth).c_str());
  std::fputs(usageText(all, showDefaults).c_str(), out);
  if (all)
    printLogListing(out);
  std::fflush(out);
}

void Configuration::collect(std::vector<const ConfigParameter*>& out) const {
  for (const ConfigParameter* p = head_; p; p = p->next_)
    out.push_back(p);
  for (const Configuration* child : children_)
    child->collect(out);
}

std::string Configuration::writeXml(const Configuration& group, bool includeUnderscore,
                                    bool useLocKeys, const XmlParamFilter* filter) {
  std::vector<const ConfigParameter*> all;
  group.collect(all);
  std::vector<const ConfigParameter*> listed;
  for (const ConfigParameter* p : all) {
    if (!includeUnderscore && p->getName().starts_with('_'))
      continue;
    if (filter && !filter->accept(p->getName().c_str(), p->typeName(), p->isAdvanced()))
      continue;
    listed.push_back(p);
  }
  std::sort(listed.begin(), listed.end(), nameBefore);
  std::string out = "<?xml version=\"1.0\"?>\n<config>\n";
  for (const ConfigParameter* p : listed)
    out += xmlElement(*p, useLocKeys);
  out += "</config>\n";
  return out;
}

} // namespace plat
