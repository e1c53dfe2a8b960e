#include "kwo-serve/Secrets.h"

#include "base/plat/Exception.h"

#include <rfb/rfb.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <sys/random.h>
#include <unistd.h>

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

std::string Secrets::vncPasswdFile(const std::string& password,
                                   const std::string& scratchPath) {
  std::string key = password.substr(0, 8);
  unlink(scratchPath.c_str());
  if (rfbEncryptAndStorePasswd(key.data(), const_cast<char*>(scratchPath.c_str())) != 0)
    throw plat::Exception("cannot write " + scratchPath);
  std::ifstream in(scratchPath, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  unlink(scratchPath.c_str());
  return bytes.str();
}

} // namespace kwoserve
