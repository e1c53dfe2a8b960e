#pragma once

// The "Log" setting and the process-wide logging phases.
//
// The setting is a comma-separated list of "<log>:<target>:<level>"
// elements: a source-name pattern ('*' matches any run of characters, other
// characters match without regard to case), a destination name and a
// decimal level >= 0. Every source matching the pattern is bound to the
// destination with that level; a later element for the same source and
// destination replaces the level. Elements that do not parse, and unknown
// destinations, are reported on standard error and skipped.
//
// Start-up phase: from process start until endStartup. During it, every
// message is formatted and checked against the bindings, and what no
// destination takes is stored (LogDestMem) for replay to the destinations
// bound with the pattern "*". Afterwards sources filter by level before
// formatting and undelivered messages are dropped.

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace plat {

struct LogElement {
  std::string pattern;
  std::string dest;
  int level;
};

// Start-up's preparation, to be called once early in main, before the
// command line is applied: sets KWO_PROFILE_DIR from "$HOME/.kwo" when it is
// unset; makes `defaultSetting` (or "*:stderr:10" when null) the default of
// "Log" and "<appName>.log" the default of "LogFile"; gives the stream
// destinations the application name and the banner (null: none); works out
// the log file path; applies the setting.
void initLogging(const char* appName, const char* defaultSetting = nullptr,
                 const char* banner = nullptr);

// Rebuilds every binding from the override (if set) or the value of "Log",
// replays stored start-up messages to the "*" destinations and recomputes
// every source's level. Loop thread only. Never throws for a bad setting.
void applyLogSetting();
// Uses `text` instead of the "Log" parameter from now on, then applies it.
void setLogSetting(const std::string& text);

// Ends the start-up phase (once; later calls do nothing): replays the stored
// messages with the current setting and discards the rest of the store.
void endStartup();
bool isLogStartup();

// One destination name per line, "  %s\n", sorted (for "-help all").
void listLogDests(std::FILE* out);

// Whether `name` matches the source pattern.
bool matchLogPattern(std::string_view pattern, std::string_view name);
// One element of the setting, or nothing when it does not parse.
std::optional<LogElement> parseLogElement(std::string_view element);
// `text` with each "$NAME" replaced by the environment variable NAME (empty
// when unset); a "$" not followed by a name stays.
std::string expandEnvironment(std::string_view text);
// The log file path for the values of "LogDir" and "LogFile" (expanded
// first): an absolute file name as it is, else directory "/" file.
std::string logFilePath(std::string_view dir, std::string_view file);

// Back to the state at process start: start-up phase, no override, no
// bindings, empty store and queue (tests).
void resetLogStateForTests();

} // namespace plat
