// Reading a shared-memory description (see plat::SharedMem for the wire
// form) with plat::SharedMemFactory, which opens what it names.
//
// Opening is where the interesting checks are (sizes against the object,
// positions, page offsets), so the harness lets it happen, but only on
// objects it made itself:
// - the process first moves into its own System V IPC namespace and its own
//   mount namespace with a fresh tmpfs on /dev/shm (as root directly, else
//   inside a user namespace; when neither works it refuses to run), so that
//   segment ids and POSIX names can reach nothing but what it creates there;
// - ordinary files (the "isFile" flag) could name any path, so a
//   description naming a file is read here first, field for field as the
//   factory reads it, and passed on only when the path lies inside that
//   private /dev/shm; any ".." refuses it.
// Seeds name the harness's objects: POSIX "/kwo-fuzz-segment" (also as the
// file "/dev/shm/kwo-fuzz-segment") and System V id 0, the first id of a
// fresh namespace.
//
// Checks: what opens has the size asked for, its first and last byte can be
// read (a mapping past the object's end would fault), and its description is
// exactly the bytes that were read.

#include "base/plat/Exception.h"
#include "base/plat/unix/SharedMemFactory.h"
#include "base/rdr/MemInStream.h"
#include "fuzz/support/FuzzEnv.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* privateShmDir = "/dev/shm/";
constexpr const char* segmentName = "/kwo-fuzz-segment";
// Not a multiple of the page size, so that the last page is partly past the
// end of the object.
constexpr size_t objectSize = 3 * 4096 + 123;

[[noreturn]] void refuse(const char* step) {
  std::fprintf(stderr, "SharedMemDescription: %s failed (%s); refusing to run outside a private "
                       "IPC and mount namespace\n",
               step, std::strerror(errno));
  std::exit(1);
}


void writeProcFile(const char* path, const std::string& text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0)
    refuse(path);
  bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
  close(fd);
  if (!ok)
    refuse(path);
}

void enterPrivateNamespaces() {
  if (unshare(CLONE_NEWIPC | CLONE_NEWNS) != 0) {
    if (errno != EPERM)
      refuse("unshare");
    // Without privilege: the same namespaces, owned by a user namespace in
    // which this process is root.
    uid_t uid = geteuid();
    gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWIPC | CLONE_NEWNS) != 0)
      refuse("unshare(CLONE_NEWUSER)");
    writeProcFile("/proc/self/setgroups", "deny");
    writeProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    writeProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  }
  // Nothing mounted here may reach the rest of the system.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    refuse("mount(MS_PRIVATE)");
  if (mount("kwo-fuzz", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "size=1m") != 0)
    refuse("mount(tmpfs)");
}

void makeObjects() {
  int fd = shm_open(segmentName, O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0 || ftruncate(fd, off_t(objectSize)) != 0)
    refuse("shm_open");
  close(fd);
  int id = shmget(IPC_PRIVATE, objectSize, IPC_CREAT | 0600);
  if (id < 0)
    refuse("shmget");
  if (id != 0)
    std::fprintf(stderr, "SharedMemDescription: the System V segment has id %d, not 0\n", id);
}

// True when the description may go to the factory: anything but a file
// outside the private /dev/shm. Reads the fields in the factory's order.
bool allowed(const uint8_t* data, size_t size) {
  rdr::MemInStream in(data, size);
  try {
    if (in.readU8() != plat::SharedMem::typePosix)
      return true;
    in.readU32();
    std::string name = in.readString(plat::SharedMem::maxNameLength);
    if (name.find("..") != std::string::npos)
      return false;
    if (in.readU8() == 0)
      return true;
    return name.rfind(privateShmDir, 0) == 0;
  } catch (const plat::Exception&) {
    // Too short to name anything: the factory stops at the same place.
    return true;
  }
}

// The bytes a description of what `data` names would have: the isFile
// flag is written back as 0 or 1, whatever byte said it.
std::vector<uint8_t> expectedDescription(const uint8_t* data, size_t length) {
  std::vector<uint8_t> expected(data, data + length);
  if (length > 9 && expected[0] == plat::SharedMem::typePosix) {
    size_t nameLength = size_t(data[5]) << 24 | size_t(data[6]) << 16 | size_t(data[7]) << 8 | data[8];
    size_t flag = 9 + nameLength;
    if (flag < length)
      expected[flag] = expected[flag] != 0;
  }
  return expected;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::pinLogSetting("");
  enterPrivateNamespaces();
  makeObjects();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!allowed(data, size))
    return 0;
  rdr::MemInStream in(data, size);
  std::unique_ptr<plat::SharedMem> shm;
  try {
    shm = plat::SharedMemFactory::read(in);
  } catch (const plat::Exception&) {
    return 0;
  }
  fuzz::require(shm != nullptr, "a description that was read opens something");
  fuzz::require(shm->description() == expectedDescription(data, in.pos()),
        "the opened segment describes itself with the bytes read");
  if (shm->size() == 0)
    return 0;
  volatile const uint8_t* bytes = shm->data();
  fuzz::require(bytes != nullptr, "a mapped segment has data");
  (void)bytes[0];
  (void)bytes[shm->size() - 1];
  return 0;
}
