#include "base/plat/unix/SharedMemPosix.h"

#include "base/plat/Assert.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <random>

namespace plat {

namespace {

LogSrc vlog("SharedMemPosix");

const char* const appComponent = "kwo";

// Stale objects are looked for once per process, before its first creation,
// when it cannot yet hold markers of its own.
bool staleCleaned = false;

// Names tried before a creation gives up on "File exists".
constexpr int createAttempts = 8;

size_t pageSize() {
  long size = sysconf(_SC_PAGESIZE);
  return size > 0 ? size_t(size) : 4096;
}

} // namespace

SharedMemPosix::SharedMemPosix(uint32_t size, const std::string& runtimeBase)
  : name_(format("/%s-%ld-%lld", appComponent, long(getpid()), (long long)serial())) {
  setData(nullptr, size);
  try {
    create(runtimeBase);
  } catch (...) {
    release();
    throw;
  }
}

SharedMemPosix::SharedMemPosix(std::string name, uint32_t size, bool isFile, uint64_t position,
                               Access access)
  : name_(std::move(name)), isFile_(isFile), access_(access), position_(position) {
  setData(nullptr, size);
  try {
    openObject(false);
    checkObjectSize();
    map();
  } catch (...) {
    release();
    throw;
  }
}

std::unique_ptr<SharedMemPosix> SharedMemPosix::receive(const std::string& name, uint32_t size,
                                                        bool isFile, uint64_t position,
                                                        Access access) {
  vlog.info("Receive %s size %#x pos %#llx isFile %d", name.c_str(), size,
            (unsigned long long)position, isFile ? 1 : 0);
  return std::unique_ptr<SharedMemPosix>(
      new SharedMemPosix(name, size, isFile, position, access));
}

std::unique_ptr<SharedMemPosix> SharedMemPosix::openFile(const std::string& path, uint32_t size,
                                                         uint64_t position) {
  vlog.info("Open file %s size %#x pos %#llx", path.c_str(), size, (unsigned long long)position);
  return std::unique_ptr<SharedMemPosix>(
      new SharedMemPosix(path, size, true, position, Access::readWrite));
}

SharedMemPosix::~SharedMemPosix() {
  release();
}

void SharedMemPosix::create(const std::string& runtimeBase) {
  if (!staleCleaned) {
    staleCleaned = true;
    cleanStale(runtimeBase);
  }
  vlog.info("Create %s size %#x", name_.c_str(), size());
  openObject(true);
  if (ftruncate(fd_.get(), off_t(size())) < 0)
    throw SystemException(format("ftruncate(%u) failed", size()), errno);
  map();
  lockMarker(runtimeBase);
}

void SharedMemPosix::openObject(bool create) {
  PLAT_ASSERT(!isFile_ || !create);
  const int mode = access_ == Access::readOnly ? O_RDONLY : O_RDWR;
  if (isFile_)
    fd_.reset(open(name_.c_str(), mode | O_SYNC | O_CLOEXEC));
  else if (create)
    createObject();
  else
    fd_.reset(shm_open(name_.c_str(), mode, 0));
  if (!fd_)
    throw SystemException("open/shm_open failed", errno);
  if (create)
    unlinkName_ = name_;
}

void SharedMemPosix::createObject() {
  // Names made of the pid and the serial can be foreseen: another local
  // user may have planted one. The exclusive create refuses it, and a name
  // nobody can foresee takes its place.
  const std::string planned = name_;
  std::random_device random;
  for (int attempt = 1;; attempt++) {
    fd_.reset(shm_open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
    if (fd_ || errno != EEXIST || attempt == createAttempts)
      return;
    std::string taken = name_;
    name_ = format("%s-%08x%08x", planned.c_str(), unsigned(random()), unsigned(random()));
    vlog.status("Shared memory %s exists already; trying %s", taken.c_str(), name_.c_str());
  }
}

void SharedMemPosix::checkObjectSize() const {
  // Touching a mapped page beyond the end of the object raises SIGBUS, so a
  // description naming more than the object holds is refused up front.
  struct stat st;
  if (fstat(fd_.get(), &st) < 0)
    throw SystemException("fstat", errno);
  uint64_t objectSize = st.st_size < 0 ? 0 : uint64_t(st.st_size);
  if (position_ > objectSize || objectSize - position_ < size())
    throw Exception("invalid shared memory size");
}

void SharedMemPosix::map() {
  pageOffset_ = size_t(position_ % pageSize());
  uint64_t start = position_ - pageOffset_;
  if (start > uint64_t(std::numeric_limits<off_t>::max()))
    throw Exception("invalid shared memory position");
  if (size() > std::numeric_limits<size_t>::max() - pageOffset_)
    throw Exception("invalid shared memory size");
  size_t length = size() + pageOffset_;
  const int protection = access_ == Access::readOnly ? PROT_READ : PROT_READ | PROT_WRITE;
  void* mapping = mmap(nullptr, length, protection, MAP_SHARED, fd_.get(), off_t(start));
  if (mapping == MAP_FAILED)
    throw SystemException("mmap failed", errno);
  mapping_ = mapping;
  mappingLength_ = length;
  setData(static_cast<uint8_t*>(mapping) + pageOffset_, size());
  vlog.debug("Map %s = %p", name_.c_str(), static_cast<void*>(data()));
}

void SharedMemPosix::lockMarker(const std::string& runtimeBase) {
  std::optional<std::string> dir =
    SharedMemDir::markerDirOrNone(runtimeBase, SharedMemDir::kindPosix, vlog);
  // The name's leading "/" separates it from the directory. A lock held by
  // another process, or no directory to hold markers, leaves the object
  // without a marker: it is still removed by this process's destructor, only
  // not by a later clean-up.
  if (dir)
    marker_.acquire(*dir + name_);
}

void SharedMemPosix::release() noexcept {
  if (mapping_) {
    vlog.debug("Unmap %s %p", name_.c_str(), mapping_);
    if (munmap(mapping_, mappingLength_) < 0)
      vlog.error("%s", SystemException("munmap", errno).str());
    mapping_ = nullptr;
    mappingLength_ = 0;
    setData(nullptr, size());
  }
  if (unlinkName_) {
    shm_unlink(unlinkName_->c_str());
    unlinkName_.reset();
  }
  marker_.release();
  fd_.reset();
}

std::vector<uint8_t> SharedMemPosix::description() const {
  std::vector<uint8_t> out;
  appendU8(out, typePosix);
  appendU32(out, size());
  appendString(out, name_);
  appendU8(out, isFile_ ? 1 : 0);
  appendU64(out, position_);
  return out;
}

void SharedMemPosix::cleanStale(const std::string& runtimeBase) {
  auto clean = [](int dirFd, const std::string& entry) {
    if (SharedMemMarker::probe(dirFd, entry.c_str()) != SharedMemMarker::Probe::free)
      return;
    vlog.status("Cleaning old shared memory %s", entry.c_str());
    shm_unlink(("/" + entry).c_str());
    unlinkat(dirFd, entry.c_str(), 0);
  };
  SharedMemDir::forEachMarker(runtimeBase, SharedMemDir::kindPosix, clean);
}

} // namespace plat
