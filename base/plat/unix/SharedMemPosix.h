#pragma once

// A POSIX shared-memory object (or an ordinary file) mapped into this
// process. Objects created here are named "/kwo-<pid>-<serial>" (with a
// random suffix when that name is taken), unlinked
// again on destruction, and recorded by a locked marker file in the per-user
// runtime directory so that the next agent of the user can remove them if
// this process dies first.
//
// The data need not start on a page boundary: `position` is the byte offset
// of the data inside the object; the mapping starts at the page boundary at
// or below it and data() points `pageOffset` bytes into the mapping.

#include "base/plat/ScopedFd.h"
#include "base/plat/unix/SharedMem.h"
#include "base/plat/unix/SharedMemDir.h"
#include "base/plat/unix/SharedMemMarker.h"

#include <memory>
#include <optional>
#include <string>

namespace plat {

class SharedMemPosix : public SharedMem {
public:
  // Creates, sizes and maps a new object of `size` bytes. `runtimeBase` is
  // where the runtime directory lives; one that cannot be trusted leaves the
  // object without a marker (logged once). The first creation in the process
  // removes stale objects first. A name that another process has taken first
  // is replaced by one with a random suffix, "/kwo-<pid>-<serial>-<hex>".
  // Throws plat::SystemException after releasing everything acquired so
  // far.
  explicit SharedMemPosix(uint32_t size,
                          const std::string& runtimeBase = SharedMemDir::defaultBase);

  // Opens and maps an existing object (or, with `isFile`, an ordinary file)
  // named by a received description; creates nothing. Throws
  // plat::SystemException when it cannot be opened or mapped, plat::Exception
  // "invalid shared memory size" when it is shorter than position + size.
  static std::unique_ptr<SharedMemPosix> receive(const std::string& name, uint32_t size,
                                                 bool isFile, uint64_t position,
                                                 Access access = Access::readWrite);
  // Maps `size` bytes at `position` of the ordinary file at `path`.
  static std::unique_ptr<SharedMemPosix> openFile(const std::string& path, uint32_t size,
                                                  uint64_t position);

  ~SharedMemPosix() override;

  std::vector<uint8_t> description() const override;

  const std::string& name() const { return name_; }
  bool isFile() const { return isFile_; }
  uint64_t position() const { return position_; }
  // The marker file of a created object; empty when it has none.
  std::string markerPath() const { return marker_.path(); }

  // Removes the objects of agents of this user that are gone: every marker
  // of the runtime directory under `runtimeBase` that no live process holds
  // locked is deleted with its object. Swallows every error. A process must
  // not run it while it holds POSIX markers there itself (record locks do
  // not conflict within a process, see SharedMemMarker).
  static void cleanStale(const std::string& runtimeBase = SharedMemDir::defaultBase);

private:
  SharedMemPosix(std::string name, uint32_t size, bool isFile, uint64_t position, Access access);

  void create(const std::string& runtimeBase);
  void openObject(bool create);
  void createObject();
  void checkObjectSize() const;
  void map();
  void lockMarker(const std::string& runtimeBase);
  void release() noexcept;

  std::string name_;
  bool isFile_ = false;
  Access access_ = Access::readWrite;
  uint64_t position_ = 0;
  size_t pageOffset_ = 0;
  ScopedFd fd_;
  SharedMemMarker marker_;
  std::optional<std::string> unlinkName_;
  void* mapping_ = nullptr;
  size_t mappingLength_ = 0;
};

} // namespace plat
