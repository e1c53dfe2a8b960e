#pragma once

// Process set-up shared by the fuzz targets.

#include <string>
#include <string_view>

namespace fuzz {

// Ends the start-up phase of logging (so that nothing piles up in the
// start-up store) and pins the log setting to `setting`, whatever the "Log"
// parameter is set to later: a fuzz input that sets "Log" or "LogFile" must
// not make the target write files. An empty setting logs nothing.
void pinLogSetting(const std::string& setting);

// Every parameter of the global group and its children back to its default,
// without telling anyone: each input starts from the same configuration.
void resetAllParameters();

// A private directory, made once per process (mkdtemp under TMPDIR or
// /tmp) and removed with its files when the process exits.
const std::string& privateDir();

// A failed check of a fuzz target: prints what was expected (and the
// detail) on standard error and aborts, which the fuzzer reports.
void require(bool condition, const char* what, std::string_view detail = {});

// Writes `bytes` to `path` (created or truncated); aborts when it cannot.
void writeFile(const std::string& path, std::string_view bytes);

} // namespace fuzz
