#pragma once

// The per-user runtime directory "<base>/.kwo-<euid>" and the marker
// directories "shm/Posix" and "shm/SysV" below it, where each agent records
// the shared-memory segments it has created.
//
// The base (/tmp in production) is writable by every user, so a directory
// found there is trusted only when it is a real directory (checked without
// following symbolic links), owned by the effective user and closed to group
// and others. Otherwise another user could point the agent's marker files
// and stale clean-ups at places of their choosing.

#include "base/plat/ScopedFd.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace plat {

class LogSrc;

class SharedMemDir {
public:
  static constexpr const char* defaultBase = "/tmp";
  static constexpr const char* kindPosix = "Posix";
  static constexpr const char* kindSysV = "SysV";

  // "<base>/.kwo-<euid>".
  static std::string runtimePath(const std::string& base);
  // "<base>/.kwo-<euid>/shm/<kind>".
  static std::string markerPath(const std::string& base, const char* kind);

  // Creates whatever is missing of the runtime directory and the marker
  // directory of `kind` (mode 0700) and checks every level. Returns the
  // marker directory's path. Throws plat::Exception naming the path and the
  // reason when a level cannot be trusted, plat::SystemException when mkdir
  // fails.
  static std::string makeMarkerDir(const std::string& base, const char* kind);

  // makeMarkerDir for a segment about to be created: a directory that
  // cannot be made or trusted (another user may have taken its name first)
  // gives none instead of an exception, after logging why to `log` at level
  // 0, once per directory. The segment then goes without a marker, which
  // only costs the stale clean-up a later agent would do for it.
  static std::optional<std::string> markerDirOrNone(const std::string& base, const char* kind,
                                                    LogSrc& log);

  // Opens the marker directory of `kind` for listing after checking every
  // level. An empty result means that a level does not exist (nothing to
  // list); an untrusted level throws as above.
  static ScopedFd openMarkerDir(const std::string& base, const char* kind);

  // Opens `path` as a trusted directory or throws plat::Exception
  // "Refusing unsafe directory <path>: <reason>". A missing directory throws
  // plat::SystemException "lstat(<path>)" with ENOENT.
  static ScopedFd openChecked(const std::string& path);

  // Calls visit(dirFd, name) for each entry of the marker directory of
  // `kind`, when it exists and can be trusted. Every error, of the listing
  // or of one visit, is swallowed: this serves the stale clean-ups, which
  // must never stop a creation.
  using MarkerVisit = std::function<void(int dirFd, const std::string& name)>;
  static void forEachMarker(const std::string& base, const char* kind,
                            const MarkerVisit& visit) noexcept;

  // The names in the directory open as `dirFd`, without "." and "..".
  // Throws plat::SystemException when it cannot be read.
  static std::vector<std::string> entries(int dirFd);
};

} // namespace plat
