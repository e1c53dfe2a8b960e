#pragma once

// A shared-memory segment that can be described to another process, which
// then maps the same bytes. The agent creates segments for its screen buffer
// and sends their descriptions to the server; the server opens them from the
// description (see SharedMemFactory).
//
// Wire form of a description (big-endian; a string is a U32 length and the
// bytes):
//   POSIX:    U8 0, U32 size, string name, U8 isFile, U64 position
//   System V: U8 1, U32 size, U32 segment id
//
// Every segment object made in the process takes the next serial (1, 2, ...),
// which tells the server whether an announced buffer lives in a new segment.
//
// The kinds build their description as bytes (also what tests compare),
// which the agent sends as they are.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace plat {

class SharedMem {
public:
  enum Type : uint8_t { typePosix = 0, typeSysV = 1 };
  // How a received segment is mapped. A reader that must never change the
  // pixels maps them read-only, so that a stray write is a crash rather
  // than a silent corruption of the creator's data.
  enum class Access { readWrite, readOnly };
  // The longest POSIX name or file path a reader accepts.
  static constexpr size_t maxNameLength = 1024;

  virtual ~SharedMem();
  SharedMem(const SharedMem&) = delete;
  SharedMem& operator=(const SharedMem&) = delete;

  // The first usable byte and the usable size; valid for the object's life.
  // Writing through data() of a read-only mapping raises SIGSEGV.
  uint8_t* data() const { return data_; }
  uint32_t size() const { return size_; }
  uint64_t serial() const { return serial_; }

  // The description above, as bytes.
  virtual std::vector<uint8_t> description() const = 0;

protected:
  // Takes the next serial.
  SharedMem();

  // Big-endian wire encoding of the description's fields.
  static void appendU8(std::vector<uint8_t>& out, uint8_t value);
  static void appendU32(std::vector<uint8_t>& out, uint32_t value);
  static void appendU64(std::vector<uint8_t>& out, uint64_t value);
  // A U32 length, then the bytes.
  static void appendString(std::vector<uint8_t>& out, std::string_view text);

  void setData(uint8_t* data, uint32_t size) {
    data_ = data;
    size_ = size;
  }

private:
  uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
  uint64_t serial_;
};

} // namespace plat
