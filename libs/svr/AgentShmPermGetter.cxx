#include "libs/svr/AgentShmPermGetter.h"

#include "base/plat/LogSrc.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/FramedInStream.h"

namespace svr {

namespace {

plat::LogSrc vlog("AgentShmPermGetter");

} // namespace

AgentShmPermGetter::AgentShmPermGetter(io::MsgIpc& channel) {
  perm_.uid = uid_t(-1);
  perm_.gid = gid_t(-1);
  perm_.mode = 0600;
  channel.registerReader(std::string(msgName), *this);
}

const ipc_perm* AgentShmPermGetter::perm() const {
  return perm_.uid == uid_t(-1) ? nullptr : &perm_;
}

bool AgentShmPermGetter::readMsg(const std::string& name, rdr::FramedInStream& in,
                                 io::MsgIpc& channel) {
  uint64_t uid, gid;
  try {
    uid = in.readU64();
    gid = in.readU64();
  } catch (const rdr::BlockException&) {
    return false;
  }
  perm_.uid = uid_t(uint32_t(uid));
  perm_.gid = gid_t(uint32_t(gid));
  vlog.info("X server owner uid %u gid %u", unsigned(perm_.uid), unsigned(perm_.gid));
  return true;
}

} // namespace svr
