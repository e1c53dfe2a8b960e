#pragma once

// A marker file that stands for one shared-memory segment: while the segment
// lives, its creator holds a lockf lock on the file. Another agent of the same
// user that finds a marker unlocked knows that its creator is gone and that
// the segment is stale.
//
// Record locks belong to the process, not to the descriptor: a forked child
// does not hold its parent's locks, a lock test by the holder itself reports
// "free", and closing any descriptor of the file in the holding process drops
// the lock. So a process never probes its own live markers.

#include "base/plat/ScopedFd.h"

#include <string>

namespace plat {

class SharedMemMarker {
public:
  SharedMemMarker() = default;
  ~SharedMemMarker() { release(); }
  SharedMemMarker(const SharedMemMarker&) = delete;
  SharedMemMarker& operator=(const SharedMemMarker&) = delete;

  // Opens (creating if needed, never following a link) the file at `path`
  // with mode 0600 and locks it without waiting, then empties it. Returns
  // false, holding nothing, when another process holds the lock. Failures
  // throw plat::SystemException "open(<path>)", "fchmod", "lockf" or
  // "ftruncate"; a file created by this call is removed again first.
  bool acquire(const std::string& path);

  // Deletes the file, but only while its name still refers to the locked
  // file (one put there meanwhile under that name is left alone), then
  // drops the lock. Does nothing when nothing is held. Never throws.
  void release() noexcept;

  bool held() const { return bool(fd_); }
  const std::string& path() const { return path_; }

  enum class Probe { held, free, notAFile };
  // Tests the lock of entry `name` of the directory `dirFd`, opened read-only
  // without following links. Throws plat::SystemException when the entry
  // cannot be opened or tested.
  static Probe probe(int dirFd, const char* name);

private:
  ScopedFd fd_;
  std::string path_;
};

} // namespace plat
