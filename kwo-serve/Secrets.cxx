#include "kwo-serve/Secrets.h"

#include "base/plat/Exception.h"

#include <cerrno>
#include <sys/random.h>

namespace kwoserve {

std::vector<uint8_t> Secrets::randomBytes(size_t count) {
  std::vector<uint8_t> bytes(count);
  size_t got = 0;
  while (got < count) {
    ssize_t n = getrandom(bytes.data() + got, count - got, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0)
      throw plat::SystemException("getrandom", errno);
    got += size_t(n);
  }
  return bytes;
}

std::string Secrets::randomPassword() {
  // 56 symbols: 8 of them carry about 46 bits.
  static constexpr char symbols[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  constexpr size_t count = sizeof(symbols) - 1;
  std::string password;
  while (password.size() < 8) {
    for (uint8_t byte : randomBytes(16)) {
      // Bytes above the last whole multiple are dropped, so that every
      // symbol is equally likely.
      if (byte < 256 / count * count && password.size() < 8)
        password += symbols[byte % count];
    }
  }
  return password;
}

} // namespace kwoserve
