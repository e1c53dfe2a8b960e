#pragma once

// A System V shared-memory segment attached to this process. The agent uses
// one when the X server can attach the same segment by its id (MIT-SHM).
// Segments created here are removed on destruction and recorded by a locked
// marker file named after the id in the per-user runtime directory, so that
// the next agent of the user can remove them if this process dies first.

#include "base/plat/unix/SharedMem.h"
#include "base/plat/unix/SharedMemDir.h"
#include "base/plat/unix/SharedMemMarker.h"

#include <sys/ipc.h>

#include <memory>
#include <string>

namespace plat {

class SharedMemSysV : public SharedMem {
public:
  // Creates and attaches a new private segment of `size` bytes. With `perm`,
  // the segment is then handed to its uid, gid and mode (the X server's
  // owner); without, it stays the creating user's. The first creation in the
  // process removes stale segments first. Throws plat::SystemException (or
  // plat::Exception) after releasing everything acquired so far.
  SharedMemSysV(uint32_t size, const ipc_perm* perm,
                const std::string& runtimeBase = SharedMemDir::defaultBase);

  // Attaches the existing segment `id` named by a received description;
  // creates nothing. Throws plat::Exception "Bad SharedMemSysV id %d" for a
  // negative id and "invalid shared memory size" when the segment is smaller
  // than `size`, plat::SystemException when it cannot be attached.
  static std::unique_ptr<SharedMemSysV> attach(int id, uint32_t size,
                                               Access access = Access::readWrite);

  ~SharedMemSysV() override;

  // Logs "sending <id> size <size>": it is made when the segment is announced.
  std::vector<uint8_t> description() const override;

  int id() const { return id_; }
  // The marker file of a created segment; empty when it has none.
  std::string markerPath() const { return marker_.path(); }

  // Removes the segments of agents of this user that are gone: for every
  // marker of the runtime directory under `runtimeBase` that no live process
  // holds locked and whose segment has no attachments, the segment (when it
  // still exists and this user created it) and the marker are removed.
  // Swallows every error. A process must not run it while it holds System V
  // markers there itself.
  static void cleanStale(const std::string& runtimeBase = SharedMemDir::defaultBase);

private:
  SharedMemSysV(int id, uint32_t size, Access access);

  void create(const ipc_perm* perm, const std::string& runtimeBase);
  void attachAndCheck();
  void markCreated(const std::string& runtimeBase);
  void release() noexcept;

  int id_ = -1;
  Access access_ = Access::readWrite;
  // Set only when this process created the segment.
  int removeId_ = -1;
  SharedMemMarker marker_;
  void* addr_ = nullptr;
};

} // namespace plat
