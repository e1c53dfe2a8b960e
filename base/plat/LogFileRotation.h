#pragma once

// File housekeeping for the "file" log destination.

#include <ctime>
#include <string>

namespace plat {

// Creates every missing directory above `path` (mode 0700). Returns false
// when one could not be created; an existing one is fine.
bool makeParentDirectories(const std::string& path);

// Prepares `path` for a fresh log file: in its directory, removes every
// regular file named "<log name>.<anything>" last modified more than
// `keepDays` days before `now`; then, if the log file exists as a regular file, renames it to
// "<log name>.YYYYMMDDhhmmss" after its modification time in local time
// (with ".1", ".2", ... added when that name is taken). Failures are ignored:
// an old file left behind is no reason to stop logging.
void rotateLogFile(const std::string& path, int keepDays, time_t now);

// The name under which rotateLogFile keeps a log file modified at `mtime`.
std::string rotatedLogName(const std::string& path, time_t mtime);

} // namespace plat
