#include "base/plat/unix/SharedMem.h"

#include <atomic>

namespace plat {

namespace {

std::atomic<uint64_t> lastSerial{0};

} // namespace

SharedMem::SharedMem() : serial_(++lastSerial) {}

SharedMem::~SharedMem() = default;

void SharedMem::appendU8(std::vector<uint8_t>& out, uint8_t value) {
  out.push_back(value);
}

void SharedMem::appendU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(uint8_t(value >> shift));
}

void SharedMem::appendU64(std::vector<uint8_t>& out, uint64_t value) {
  for (int shift = 56; shift >= 0; shift -= 8)
    out.push_back(uint8_t(value >> shift));
}

void SharedMem::appendString(std::vector<uint8_t>& out, std::string_view text) {
  appendU32(out, uint32_t(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

} // namespace plat
