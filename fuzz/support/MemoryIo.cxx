#include "fuzz/support/MemoryIo.h"

#include "base/io/IoHandler.h"
#include "base/plat/Assert.h"

namespace fuzz {

MemoryLink::~MemoryLink() {
  // Whoever held the connection is gone and has shut it down.
  PLAT_ASSERT(!io_);
}

std::unique_ptr<MemoryIo> MemoryLink::connect() {
  PLAT_ASSERT(!io_);
  std::unique_ptr<MemoryIo> io(new MemoryIo(*this));
  io_ = io.get();
  return io;
}

bool MemoryLink::deliver(std::span<const uint8_t> bytes) {
  retired_.clear();
  if (!io_)
    return false;
  io_->in_.feed(bytes);
  return tellHandler();
}

bool MemoryLink::end() {
  retired_.clear();
  if (!io_)
    return false;
  io_->in_.close();
  return tellHandler();
}

bool MemoryLink::tellHandler() {
  if (io_->handler_)
    io_->handler_->dataAvailable(*io_);
  return io_ != nullptr;
}

void MemoryLink::retire(MemoryIo* io) {
  PLAT_ASSERT(io == io_);
  io_ = nullptr;
  retired_.emplace_back(io);
}

MemoryIo::MemoryIo(MemoryLink& link) : link_(link) {}

MemoryIo::~MemoryIo() = default;

void MemoryIo::setHandler(io::IoHandler* handler, bool) {
  handler_ = handler;
  // As with a descriptor: non-blocking (rewind on block) while a handler
  // is attached.
  in_.setNonBlocking(handler != nullptr);
}

void MemoryIo::shutdown(bool, bool tellHandler) {
  io::IoHandler* handler = handler_;
  handler_ = nullptr;
  if (tellHandler && handler)
    handler->shutdownComplete(*this);
  link_.retire(this);
}

} // namespace fuzz
