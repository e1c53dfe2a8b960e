#include "libs/agenthost/HashChallenge.h"

#include "base/plat/Exception.h"

#include <cerrno>
#include <sys/random.h>

namespace agenthost {

HashChallenge::HashChallenge() {
  size_t got = 0;
  while (got < bytes_.size()) {
    ssize_t n = getrandom(bytes_.data() + got, bytes_.size() - got, 0);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      throw plat::SystemException("getrandom", errno);
    }
    got += size_t(n);
  }
  crypto::Sha256::Digest digest = crypto::Sha256::digest(bytes_.data(), bytes_.size());
  hashHex_ = hex(digest.data(), digest.size());
}

std::string HashChallenge::hex(const uint8_t* data, size_t length) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * length);
  for (size_t i = 0; i < length; i++) {
    text.push_back(digits[data[i] >> 4]);
    text.push_back(digits[data[i] & 15]);
  }
  return text;
}

} // namespace agenthost
