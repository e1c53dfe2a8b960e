#pragma once

// Reader of "SetXServerOwner" (U64 uid, U64 gid): the owner that System V
// segments of the screen buffer are handed to, so that an X server running
// as another user can attach them. Holds one ipc_perm record: uid and gid -1
// (nothing received yet) and mode 0600 until the message arrives; then the
// low 32 bits of the received uid and gid.

#include "base/io/MsgIpc.h"

#include <sys/ipc.h>

namespace svr {

class AgentShmPermGetter : public io::MsgIpc::Reader {
public:
  // Registers itself on `channel` for "SetXServerOwner"; the base class
  // unregisters it on destruction.
  explicit AgentShmPermGetter(io::MsgIpc& channel);

  // The record once an owner has been received (uid not -1), else null.
  const ipc_perm* perm() const;
  // The record as it stands, received or not.
  const ipc_perm& record() const { return perm_; }

  // Restartable: both numbers are read before anything is stored, and a
  // message cut short is read again from its start.
  bool readMsg(const std::string& name, rdr::FramedInStream& in, io::MsgIpc& channel) override;

private:
  ipc_perm perm_{};
};

} // namespace svr
