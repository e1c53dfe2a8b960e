// The command line: the input, cut at NUL bytes into arguments, through
// plat::Configuration::parseCommandLine on the global group, which holds
// parameters of every kind (fuzz/support/FuzzParameters.h) besides those of
// the linked code. The help handler does not end the process: it renders
// what "-help", "-help all" and "-help xml" print.
//
// Checks: a failure is only ever the "BadCmdLineArg" exception (or
// "BadUtf8", which text parameters throw for text that is not UTF-8); the XML
// document is well-formed whatever the values are; and every value that an
// argument set reads back as text that sets the same value again.

#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/Exception.h"
#include "fuzz/support/FuzzEnv.h"
#include "fuzz/support/FuzzParameters.h"

#include <pugixml.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> arguments(const uint8_t* data, size_t size) {
  std::vector<std::string> args;
  std::string current;
  for (size_t i = 0; i < size; i++) {
    if (data[i] == 0) {
      args.push_back(std::move(current));
      current.clear();
    } else {
      current += char(data[i]);
    }
  }
  if (!current.empty() || args.empty())
    args.push_back(std::move(current));
  return args;
}

void help(int mode) {
  const plat::Configuration& global = plat::Configuration::global();
  if (mode != plat::Configuration::helpXml) {
    (void)global.usageText(mode == plat::Configuration::helpAll, true);
    return;
  }
  std::string xml = plat::Configuration::writeXml(global, true, false, nullptr);
  pugi::xml_document doc;
  pugi::xml_parse_result parsed = doc.load_buffer(xml.data(), xml.size());
  fuzz::require(bool(parsed), "the parameter document is well-formed:", parsed.description());
}

// The text of every command-line value must set that same value again.
void checkValueTexts(const plat::Configuration& group) {
  const int line = plat::ConfigParameter::priorityCommandLine;
  for (plat::ConfigParameter* param = group.head(); param; param = param->next()) {
    if (!param->hasValueAt(line) || param->isBinary())
      continue;
    std::string text = param->valueText(line);
    fuzz::require(param->setParam(text.c_str(), line + 1), "a value's text is accepted:",
          param->getName() + "=" + text);
    fuzz::require(param->valueText(line + 1) == text, "a value's text sets the same value:",
          param->getName() + "=" + text + " -> " + param->valueText(line + 1));
  }
  for (const plat::Configuration* child : group.children())
    checkValueTexts(*child);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::declareFuzzParameters();
  fuzz::pinLogSetting("");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  plat::Configuration& global = plat::Configuration::global();
  try {
    global.parseCommandLine(arguments(data, size), help);
  } catch (const plat::Exception& e) {
    fuzz::require(std::strcmp(e.type(), "BadCmdLineArg") == 0 || std::strcmp(e.type(), "BadUtf8") == 0,
          "only bad arguments fail:", e.type());
  }
  checkValueTexts(global);
  fuzz::resetAllParameters();
  return 0;
}
