#pragma once

// A connection held in memory, for driving a message channel without a
// socket or a loop: the test feeds bytes through a MemoryLink and delivers
// them to whatever handler the channel attached; everything the channel
// writes is discarded.
//
// As with a descriptor connection run by a loop, a connection that is shut
// down stays in existence until later (here: until the link's next delivery
// or the link's end), so a channel that shuts it down from inside a callback
// of the connection is not pulled out from under itself. The link must
// outlive whoever holds its connection.

#include "base/io/Io.h"
#include "base/rdr/NullOutStream.h"
#include "fuzz/support/ChunkedInStream.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace fuzz {

class MemoryIo;

class MemoryLink {
public:
  MemoryLink() = default;
  ~MemoryLink();
  MemoryLink(const MemoryLink&) = delete;
  MemoryLink& operator=(const MemoryLink&) = delete;

  // A new connection over this link (one at a time).
  std::unique_ptr<MemoryIo> connect();

  // Feeds bytes and tells the handler; false once the connection is gone.
  bool deliver(std::span<const uint8_t> bytes);
  // Ends the input and tells the handler; false once the connection is gone.
  bool end();
  bool connected() const { return io_ != nullptr; }

private:
  friend class MemoryIo;
  bool tellHandler();
  void retire(MemoryIo* io);

  MemoryIo* io_ = nullptr;
  std::vector<std::unique_ptr<MemoryIo>> retired_;
};

class MemoryIo : public io::Io {
public:
  ~MemoryIo() override;

  rdr::InStream& inStream() override { return in_; }
  rdr::OutStream& outStream() override { return out_; }
  void setHandler(io::IoHandler* handler, bool wantRead = true) override;
  void shutdown(bool flush, bool tellHandler) override;
  void requestRead() override {}
  int beginHalfClose() override { return 0; }
  const std::string& name() override { return name_; }

private:
  friend class MemoryLink;
  explicit MemoryIo(MemoryLink& link);

  MemoryLink& link_;
  ChunkedInStream in_;
  rdr::NullOutStream out_;
  io::IoHandler* handler_ = nullptr;
  std::string name_ = "memory";
};

} // namespace fuzz
