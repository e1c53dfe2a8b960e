#include "base/io/Ipc.h"

#include "base/io/Io.h"
#include "base/plat/Assert.h"
#include "base/plat/Exception.h"
#include "base/plat/LogSrc.h"
#include "base/rdr/BlockException.h"
#include "base/rdr/InStream.h"
#include "base/rdr/OutStream.h"

namespace io {

namespace {

plat::LogSrc vlog("Ipc");

} // namespace

Ipc::Ipc(std::string name, Callback& callback, bool synchronous)
  : name_(std::move(name)), callback_(callback), out_(&discard_), synchronous_(synchronous) {}

Ipc::~Ipc() {
  close();
}

void Ipc::accept(std::unique_ptr<Io> connection) {
  const Io* io = io_.get();
  PLAT_ASSERT(!io);
  io_ = std::move(connection);
  in_ = &io_->inStream();
  out_ = &io_->outStream();
  // With a handler the streams turn non-blocking, which makes the input
  // stream rewind to its checkpoint when a read would block.
  if (!synchronous_)
    io_->setHandler(this, true);
}

void Ipc::unbind() {
  in_ = nullptr;
  out_ = &discard_;
}

void Ipc::close() {
  if (!io_)
    return;
  if (flushOnClose_) {
    // Detached first, so that the flush blocks until everything is written.
    io_->setHandler(nullptr);
    try {
      out_->flush();
    } catch (const plat::Exception& e) {
      vlog.info("%s: %s", name_.c_str(), e.describe().c_str());
    }
  }
  unbind();
  // Not detached otherwise: the shutdown forgets the handler itself, and the
  // connection then goes away in a later loop pass rather than inside a
  // callback that it may be running right now.
  Io::shutdown(std::move(io_), false, false);
}

void Ipc::dataAvailable(Io&) {
  try {
    callback_.dataAvailable(*this);
  } catch (const rdr::BlockException&) {
    // Nothing more to read now.
  } catch (const plat::Exception& e) {
    vlog.info("%s: %s", name_.c_str(), e.describe().c_str());
    callback_.ipcError(*this, e);
    closeAfterError();
  }
}

void Ipc::closeAfterError() {
  // The callback may have closed the channel already.
  if (!io_)
    return;
  unbind();
  Io::shutdown(std::move(io_), false, false);
  callback_.ipcClosed(*this);
}

void Ipc::shutdownComplete(Io& io) {
  // The connection shut itself down (a write error, a stalled peer) and
  // destroys itself after this call: give up ownership without deleting.
  if (io_.get() != &io)
    return;
  io_.release();
  unbind();
  callback_.ipcClosed(*this);
}

} // namespace io
