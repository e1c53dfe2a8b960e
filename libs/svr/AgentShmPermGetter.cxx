#include "libs/svr/AgentShmPermGetter.h"

#include "base/plat/LogSrc.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/FramedInStream.h"
#include "libs/agentmsg/ToAgentMsgs.h"

namespace svr {

namespace {

plat::LogSrc vlog("AgentShmPermGetter");

} // namespace

AgentShmPermGetter::AgentShmPermGetter(io::MsgIpc& channel) {
  perm_.uid = uid_t(-1);
  perm_.gid = gid_t(-1);
  perm_.mode = 0600;
  channel.registerReader(agentmsg::SetXServerOwner::name, *this);
}

const ipc_perm* AgentShmPermGetter::perm() const {
  return perm_.uid == uid_t(-1) ? nullptr : &perm_;
}

bool AgentShmPermGetter::readMsg(const std::string& name, rdr::FramedInStream& in,
                                 io::MsgIpc& channel) {
  agentmsg::SetXServerOwner msg;
  try {
    msg = agentmsg::readFixed<agentmsg::SetXServerOwner>(in);
  } catch (const rdr::BlockException&) {
    return false;
  }
  perm_.uid = uid_t(uint32_t(msg.uid));
  perm_.gid = gid_t(uint32_t(msg.gid));
  vlog.info("X server owner uid %u gid %u", unsigned(perm_.uid), unsigned(perm_.gid));
  return true;
}

} // namespace svr
