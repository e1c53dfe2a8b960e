#include "kwo-serve/XCookieFile.h"

#include "kwo-serve/Secrets.h"


namespace kwoserve {

namespace {

// Xauthority's "any address" family.
constexpr uint16_t familyWild = 0xffff;
constexpr size_t cookieSize = 16;

void appendCounted(std::string& out, const std::string& field) {
  out += char(field.size() >> 8);
  out += char(field.size() & 0xff);
  out += field;
}

} // namespace

std::string XCookieFile::entry(uint16_t family, const std::string& address,
                               const std::string& number, const std::string& name,
                               const std::string& data) {
  std::string out;
  out += char(family >> 8);
  out += char(family & 0xff);
  for (const std::string* field : {&address, &number, &name, &data})
    appendCounted(out, *field);
  return out;
}

namespace {

std::string freshEntry() {
  std::vector<uint8_t> cookie = Secrets::randomBytes(cookieSize);
  return XCookieFile::entry(familyWild, "", "", "MIT-MAGIC-COOKIE-1",
                            std::string(cookie.begin(), cookie.end()));
}

} // namespace

XCookieFile::XCookieFile(const std::string& path) : file_(path, freshEntry()) {}

} // namespace kwoserve
