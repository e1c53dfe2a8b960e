#include "base/plat/LogSetting.h"

#include "base/plat/BoolParameter.h"
#include "base/plat/CaseInsensitive.h"
#include "base/plat/Format.h"
#include "base/plat/IntParameter.h"
#include "base/plat/LogDestFile.h"
#include "base/plat/LogDestIpc.h"
#include "base/plat/LogDestMem.h"
#include "base/plat/LogSrc.h"
#include "base/plat/ParameterChangedCallback.h"
#include "base/plat/StringParameter.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <errno.h>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace plat {

namespace {

constexpr const char* fallbackSetting = "*:stderr:10";

StringParameter logParam("Log", LocKey("plat_param_log"), fallbackSetting);
StringParameter logDirParam("LogDir", LocKey("plat_param_logdir"),
                            geteuid() == 0 ? "/var/log" : "$KWO_PROFILE_DIR");
StringParameter logFileParam("LogFile", LocKey("plat_param_logfile"),
                             format("%s.log", program_invocation_short_name).c_str());
IntParameter logKeepDaysParam("LogKeepDays", LocKey("plat_param_log_keep_days"), 30, 0, INT_MAX);
BoolParameter compactLogParam("CompactLog",
                              "Whether to produce more compact logging lines for readability.  "
                              "Also produces times in local timezone instead of UTC",
                              false, true);

// Constant-initialised: sources ask for it from static initialisation on.
constinit std::atomic<bool> startupOver{false};

// Changed on the loop thread only.
std::optional<std::string> settingOverride;
// The "*" elements of the setting last applied, kept for the replay at the
// end of start-up: destination name and level.
std::vector<std::pair<std::string, int>> replayTargets;

bool isNameChar(char c, bool first) {
  return c == '_' || std::isalpha((unsigned char)c) || (!first && std::isdigit((unsigned char)c));
}

std::vector<std::string_view> splitElements(std::string_view setting) {
  std::vector<std::string_view> elements;
  while (true) {
    size_t comma = setting.find(',');
    elements.push_back(setting.substr(0, comma));
    if (comma == std::string_view::npos)
      return elements;
    setting.remove_prefix(comma + 1);
  }
}

std::optional<int> parseLevel(std::string_view text) {
  if (text.empty())
    return std::nullopt;
  long long value = 0;
  for (char c : text) {
    if (!std::isdigit((unsigned char)c))
      return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > INT_MAX)
      return std::nullopt;
  }
  return int(value);
}

void ensureBuiltinDests() {
  LogDestFile::stderrDest();
  LogDestFile::fileDest();
  LogDestIpc::instance();
}

std::string currentSetting() {
  return settingOverride ? *settingOverride : logParam.getValue();
}

struct BoundElement {
  std::string pattern;
  LogDest* dest;
  int level;
};

// Parses the setting, reporting bad elements on standard error.
std::vector<BoundElement> resolveSetting(const std::string& setting) {
  std::vector<BoundElement> bound;
  for (std::string_view text : splitElements(setting)) {
    if (text.empty())
      continue;
    std::optional<LogElement> element = parseLogElement(text);
    if (!element) {
      std::string copy(text);
      std::fprintf(stderr, "Failed to parse log param element: '%s'\n", copy.c_str());
      continue;
    }
    LogDest* dest = LogDest::find(element->dest);
    if (!dest) {
      std::fprintf(stderr, "No LogDest found: '%s'\n", element->dest.c_str());
      continue;
    }
    bound.push_back({element->pattern, dest, element->level});
  }
  return bound;
}

void replayStored(const std::vector<std::pair<std::string, int>>& targets) {
  LogDestMem& store = LogDestMem::instance();
  int highest = -1;
  for (const auto& [name, level] : targets) {
    LogDest* dest = LogDest::find(name);
    if (!dest || !dest->isActive())
      continue;
    store.replay(*dest, level);
    highest = std::max(highest, level);
  }
  if (highest >= 0)
    store.discardUpTo(highest);
}

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"))
    return home;
  std::vector<char> buffer(16384);
  passwd entry;
  passwd* result = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result)
    return result->pw_dir;
  return "";
}

void updateFilePath() {
  LogDestFile& file = LogDestFile::fileDest();
  file.setDefaultPath(logFilePath(logDirParam.getDefault(), logFileParam.getDefault()));
  file.setPath(logFilePath(logDirParam.getValue(), logFileParam.getValue()));
}

void updateStreamOptions() {
  for (LogDestFile* dest : {&LogDestFile::stderrDest(), &LogDestFile::fileDest()}) {
    dest->setCompact(compactLogParam);
    dest->setKeepDays(logKeepDaysParam);
  }
}

class LogParamWatcher : public ParameterChangedCallback {
public:
  LogParamWatcher() {
    for (ConfigParameter* param : params())
      param->addCallback(this);
  }
  ~LogParamWatcher() override {
    for (ConfigParameter* param : params())
      param->removeCallback(this);
  }

  void parameterChanged(ConfigParameter& param, int) override {
    if (&param == &logParam)
      applyLogSetting();
    else if (&param == &logDirParam || &param == &logFileParam)
      updateFilePath();
    else
      updateStreamOptions();
  }

private:
  static std::vector<ConfigParameter*> params() {
    return {&logParam, &logDirParam, &logFileParam, &logKeepDaysParam, &compactLogParam};
  }
};

LogParamWatcher watcher;

} // namespace

bool isLogStartup() {
  return !startupOver.load(std::memory_order_relaxed);
}

bool matchLogPattern(std::string_view pattern, std::string_view name) {
  // Greedy matching with one backtrack point: the last '*' seen.
  size_t p = 0, n = 0;
  size_t starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() &&
               std::tolower((unsigned char)pattern[p]) == std::tolower((unsigned char)name[n])) {
      p++;
      n++;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*')
    p++;
  return p == pattern.size();
}

std::optional<LogElement> parseLogElement(std::string_view element) {
  size_t first = element.find(':');
  if (first == std::string_view::npos)
    return std::nullopt;
  size_t second = element.find(':', first + 1);
  if (second == std::string_view::npos)
    return std::nullopt;
  std::optional<int> level = parseLevel(element.substr(second + 1));
  if (!level)
    return std::nullopt;
  return LogElement{std::string(element.substr(0, first)),
                    std::string(element.substr(first + 1, second - first - 1)), *level};
}

std::string expandEnvironment(std::string_view text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '$' || i + 1 >= text.size() || !isNameChar(text[i + 1], true)) {
      out += text[i++];
      continue;
    }
    size_t end = i + 1;
    while (end < text.size() && isNameChar(text[end], false))
      end++;
    std::string name(text.substr(i + 1, end - i - 1));
    if (const char* value = std::getenv(name.c_str()))
      out += value;
    i = end;
  }
  return out;
}

std::string logFilePath(std::string_view dir, std::string_view file) {
  std::string expandedFile = expandEnvironment(file);
  if (!expandedFile.empty() && expandedFile[0] == '/')
    return expandedFile;
  std::string path = expandEnvironment(dir);
  if (path.empty() || path.back() != '/')
    path += '/';
  return path + expandedFile;
}

void applyLogSetting() {
  ensureBuiltinDests();
  std::vector<BoundElement> elements = resolveSetting(currentSetting());
  LogSrc::replaceBindings([&elements](LogSrc& src, LogSrc::Bindings& bindings) {
    for (const BoundElement& element : elements) {
      if (matchLogPattern(element.pattern, src.name()))
        bindings[element.dest] = element.level;
    }
  });
  replayTargets.clear();
  for (const BoundElement& element : elements) {
    if (element.pattern == "*")
      replayTargets.emplace_back(element.dest->name(), element.level);
  }
  replayStored(replayTargets);
  LogSrc::updateAllLevels();
}

void setLogSetting(const std::string& text) {
  settingOverride = text;
  applyLogSetting();
}

void endStartup() {
  if (startupOver.exchange(true))
    return;
  replayStored(replayTargets);
  LogDestMem::instance().clear();
}

void listLogDests(std::FILE* out) {
  ensureBuiltinDests();
  std::vector<std::string> names;
  for (LogDest* dest : LogDest::all())
    names.emplace_back(dest->name());
  std::sort(names.begin(), names.end(), LessIgnoreCase());
  for (const std::string& name : names)
    std::fprintf(out, "  %s\n", name.c_str());
}

void initLogging(const char* appName, const char* defaultSetting, const char* banner) {
  if (!std::getenv("KWO_PROFILE_DIR")) {
    std::string profileDir = homeDirectory() + "/.kwo";
    setenv("KWO_PROFILE_DIR", profileDir.c_str(), 1);
  }
  for (LogDestFile* dest : {&LogDestFile::stderrDest(), &LogDestFile::fileDest()}) {
    dest->setAppName(appName);
    dest->setBanner(banner ? banner : "");
  }
  updateStreamOptions();
  logFileParam.set(format("%s.log", appName), ConfigParameter::priorityDefault);
  updateFilePath();
  // A changed default reaches the watcher, which applies it; an unchanged
  // one must be applied here, once, so that errors are reported once.
  std::string setting = defaultSetting ? defaultSetting : fallbackSetting;
  if (logParam.getDefault() == setting)
    applyLogSetting();
  else
    logParam.set(setting, ConfigParameter::priorityDefault);
}

void resetLogStateForTests() {
  startupOver.store(false);
  settingOverride.reset();
  replayTargets.clear();
  LogSrc::replaceBindings([](LogSrc&, LogSrc::Bindings&) {});
  LogSrc::updateAllLevels();
  LogDestMem::instance().clear();
  LogDestIpc::instance().reset();
}

} // namespace plat
