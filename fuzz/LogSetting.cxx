// The "Log" setting: "<pattern>:<destination>:<level>" elements separated by
// commas. The input's first line is the setting; each further line is a log
// source name matched against the setting's patterns.
//
// Checks: an element that parses, written back from its parts, parses to
// the same parts; pattern matching agrees with a plain table-driven matcher;
// expanding the environment leaves a text without "$" as it is, and a
// relative log file name lands inside its directory; and
// applying the whole setting (pinned in place of the parameter, so that the
// parameter itself never matters) neither crashes nor writes anything: the
// "file" destination is pointed into a private directory and nothing is
// logged while it is bound, and "stderr" is sent to /dev/null.

#include "base/plat/LogDestFile.h"
#include "base/plat/LogSetting.h"
#include "fuzz/support/FuzzEnv.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <optional>
#include <string_view>
#include <vector>

namespace {

// Table of "pattern[i..] matches name[j..]", filled from the ends.
bool referenceMatch(std::string_view pattern, std::string_view name) {
  const size_t p = pattern.size(), n = name.size();
  std::vector<std::vector<bool>> match(p + 1, std::vector<bool>(n + 1, false));
  match[p][n] = true;
  for (size_t i = p; i-- > 0;) {
    for (size_t j = n + 1; j-- > 0;) {
      if (pattern[i] == '*')
        match[i][j] = match[i + 1][j] || (j < n && match[i][j + 1]);
      else
        match[i][j] = j < n &&
                      std::tolower((unsigned char)pattern[i]) ==
                          std::tolower((unsigned char)name[j]) &&
                      match[i + 1][j + 1];
    }
  }
  return match[0][0];
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  while (true) {
    size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos)
      return parts;
    text.remove_prefix(at + 1);
  }
}

void checkElement(std::string_view text, const std::vector<std::string_view>& names) {
  std::optional<plat::LogElement> element = plat::parseLogElement(text);
  if (!element)
    return;
  fuzz::require(element->level >= 0, "levels are not negative", text);
  fuzz::require(element->pattern.find(':') == std::string::npos, "patterns end at the first colon", text);
  std::string rebuilt =
      element->pattern + ":" + element->dest + ":" + std::to_string(element->level);
  std::optional<plat::LogElement> again = plat::parseLogElement(rebuilt);
  fuzz::require(again && again->pattern == element->pattern && again->dest == element->dest &&
            again->level == element->level,
        "an element written back parses the same", rebuilt);
  for (std::string_view name : names)
    fuzz::require(plat::matchLogPattern(element->pattern, name) == referenceMatch(element->pattern, name),
          "pattern matching agrees with the reference", element->pattern);
}

void checkExpansion(std::string_view text) {
  std::string expanded = plat::expandEnvironment(text);
  // FUZZ_SET is set (to a text without "$"); FUZZ_UNSET is not.
  if (text.find('$') == std::string_view::npos)
    fuzz::require(expanded == text, "a text without '$' stays as it is", text);
  std::string path = plat::logFilePath(text, "kwo.log");
  fuzz::require(path.size() >= 8 && path.compare(path.size() - 8, 8, "/kwo.log") == 0,
        "a relative log file lands inside the directory", path);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("FUZZ_SET", "/var/fuzz", 1);
  unsetenv("FUZZ_UNSET");
  fuzz::pinLogSetting("");
  plat::LogDestFile::fileDest().setDefaultPath(fuzz::privateDir() + "/default.log");
  plat::LogDestFile::fileDest().setPath(fuzz::privateDir() + "/fuzz.log");
  if (std::FILE* devNull = std::fopen("/dev/null", "w"))
    plat::LogDestFile::stderrDest().setStream(devNull, true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> lines = split(input, '\n');
  std::string_view setting = lines.front();
  std::vector<std::string_view> names(lines.begin() + 1, lines.end());
  for (std::string_view element : split(setting, ','))
    checkElement(element, names);
  checkExpansion(setting);
  plat::setLogSetting(std::string(setting));
  // Unbound again before anything could be logged.
  plat::setLogSetting("");
  return 0;
}
