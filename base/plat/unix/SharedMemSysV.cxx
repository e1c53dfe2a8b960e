#include "base/plat/unix/SharedMemSysV.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"

#include <fcntl.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>

namespace plat {

namespace {

LogSrc vlog("SharedMemSysV");

// Stale segments are looked for once per process, before its first
// creation, when it cannot yet hold markers of its own.
bool staleCleaned = false;

// The segment id a marker's name stands for: decimal digits only, within int.
std::optional<int> parseId(const std::string& name) {
  if (name.empty())
    return std::nullopt;
  long long value = 0;
  for (char c : name) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > INT_MAX)
      return std::nullopt;
  }
  return int(value);
}

// Cleans the marker `entry` of the directory `dirFd`, whose lock nobody holds.
void cleanMarker(int dirFd, const std::string& entry, int id) {
  shmid_ds ds;
  bool exists = shmctl(id, IPC_STAT, &ds) == 0;
  int err = errno;
  if (exists && ds.shm_nattch > 0)
    return;
  // EINVAL and EIDRM: the segment is gone. EACCES: it exists but this user
  // may not even look at it, so it is not one this user created.
  bool foreign = exists ? ds.shm_perm.cuid != geteuid() : err == EACCES;
  if (!exists && !foreign && err != EINVAL && err != EIDRM)
    return;
  vlog.status("Cleaning old shared memory %d", id);
  // Ids are reused: the id of a dead agent's segment may now name another
  // program's segment, which an agent running as root could remove. Only
  // segments this user created are removed; the marker is stale either way.
  if (foreign)
    vlog.status("Shared memory %d was created by another user; left in place", id);
  else if (exists)
    shmctl(id, IPC_RMID, nullptr);
  unlinkat(dirFd, entry.c_str(), 0);
}

} // namespace

SharedMemSysV::SharedMemSysV(uint32_t size, const ipc_perm* perm, const std::string& runtimeBase) {
  setData(nullptr, size);
  try {
    create(perm, runtimeBase);
  } catch (...) {
    release();
    throw;
  }
}

SharedMemSysV::SharedMemSysV(int id, uint32_t size, Access access) : id_(id), access_(access) {
  setData(nullptr, size);
  try {
    attachAndCheck();
  } catch (...) {
    release();
    throw;
  }
}

std::unique_ptr<SharedMemSysV> SharedMemSysV::attach(int id, uint32_t size, Access access) {
  if (id < 0)
    throw Exception(format("Bad SharedMemSysV id %d", id));
  vlog.info("Receive %d size %#x", id, size);
  return std::unique_ptr<SharedMemSysV>(new SharedMemSysV(id, size, access));
}

SharedMemSysV::~SharedMemSysV() {
  release();
}

void SharedMemSysV::create(const ipc_perm* perm, const std::string& runtimeBase) {
  if (!staleCleaned) {
    staleCleaned = true;
    cleanStale(runtimeBase);
  }
  int id = shmget(IPC_PRIVATE, size(), IPC_CREAT | 0600);
  if (id < 0)
    throw SystemException(format("shmget(%u) failed", size()), errno);
  vlog.info("Create %d size %#x", id, size());
  id_ = id;
  removeId_ = id;
  markCreated(runtimeBase);
  attachAndCheck();
  if (!perm)
    return;
  shmid_ds ds{};
  ds.shm_perm = *perm;
  if (shmctl(id_, IPC_SET, &ds) < 0)
    throw SystemException("shmctl(IPC_SET)", errno);
}

void SharedMemSysV::markCreated(const std::string& runtimeBase) {
  std::optional<std::string> dir =
    SharedMemDir::markerDirOrNone(runtimeBase, SharedMemDir::kindSysV, vlog);
  // The lock keeps another agent's clean-up away in the moment between
  // creation and attachment, when the segment has no attachments yet.
  if (dir)
    marker_.acquire(*dir + format("/%d", id_));
}

void SharedMemSysV::attachAndCheck() {
  void* addr = shmat(id_, nullptr, access_ == Access::readOnly ? SHM_RDONLY : 0);
  if (addr == reinterpret_cast<void*>(-1))
    throw SystemException("shmat failed", errno);
  addr_ = addr;
  vlog.debug("Attached %d = %p", id_, addr_);
  shmid_ds ds;
  if (shmctl(id_, IPC_STAT, &ds) < 0)
    throw SystemException("shmctl(IPC_STAT)", errno);
  if (ds.shm_segsz < size())
    throw Exception("invalid shared memory size");
  setData(static_cast<uint8_t*>(addr_), size());
}

void SharedMemSysV::release() noexcept {
  marker_.release();
  if (addr_) {
    vlog.debug("Detaching %p", addr_);
    shmdt(addr_);
    addr_ = nullptr;
    setData(nullptr, size());
  }
  if (removeId_ != -1) {
    vlog.info("Removing %d", removeId_);
    shmctl(removeId_, IPC_RMID, nullptr);
    removeId_ = -1;
  }
}

std::vector<uint8_t> SharedMemSysV::description() const {
  vlog.debug("sending %d size %#x", id_, size());
  std::vector<uint8_t> out;
  appendU8(out, typeSysV);
  appendU32(out, size());
  appendU32(out, uint32_t(id_));
  return out;
}

void SharedMemSysV::cleanStale(const std::string& runtimeBase) {
  auto clean = [](int dirFd, const std::string& entry) {
    std::optional<int> id = parseId(entry);
    if (id && SharedMemMarker::probe(dirFd, entry.c_str()) == SharedMemMarker::Probe::free)
      cleanMarker(dirFd, entry, *id);
  };
  SharedMemDir::forEachMarker(runtimeBase, SharedMemDir::kindSysV, clean);
}

} // namespace plat
