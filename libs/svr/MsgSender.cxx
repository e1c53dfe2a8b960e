#include "libs/svr/MsgSender.h"

#include "base/io/MsgIpc.h"
#include "base/plat/Exception.h"
#include "base/plat/LogSrc.h"
#include "base/rdr/FramedOutStream.h"

namespace svr {

bool MsgSender::send(io::MsgIpc& channel, const char* name,
                     const std::function<void(rdr::OutStream&)>& payload, plat::LogSrc& log) {
  rdr::FramedOutStream* out = nullptr;
  try {
    out = &channel.writeMsg(name);
    if (payload)
      payload(*out);
    out->endMsg(true);
    return true;
  } catch (const plat::Exception& e) {
    log.status("%s", e.describe().c_str());
  }
  try {
    if (out && out->inMsg())
      out->abandonMsg();
  } catch (const plat::Exception& e) {
    log.status("%s", e.describe().c_str());
  }
  return false;
}

} // namespace svr
