#include "base/crypto/mbedtls/Sha256.h"

#include "base/plat/Exception.h"

#include <mbedtls/sha256.h>
#include <mbedtls/version.h>

namespace crypto {

namespace {

// Mbed TLS 3 dropped the "_ret" suffix of the 2.x names.
#if MBEDTLS_VERSION_MAJOR >= 3
int shaStart(mbedtls_sha256_context* ctx) { return mbedtls_sha256_starts(ctx, 0); }
int shaUpdate(mbedtls_sha256_context* ctx, const unsigned char* data, size_t length) {
  return mbedtls_sha256_update(ctx, data, length);
}
int shaFinish(mbedtls_sha256_context* ctx, unsigned char* out) { return mbedtls_sha256_finish(ctx, out); }
#else
int shaStart(mbedtls_sha256_context* ctx) { return mbedtls_sha256_starts_ret(ctx, 0); }
int shaUpdate(mbedtls_sha256_context* ctx, const unsigned char* data, size_t length) {
  return mbedtls_sha256_update_ret(ctx, data, length);
}
int shaFinish(mbedtls_sha256_context* ctx, unsigned char* out) {
  return mbedtls_sha256_finish_ret(ctx, out);
}
#endif

// Software SHA-256 cannot fail; a non-zero result means a broken library
// (or a hardware back end gone wrong), never a bad input.
void check(int result, const char* call) {
  if (result != 0)
    throw plat::Exception(call, "Sha256");
}

} // namespace

struct Sha256::Context {
  Context() { mbedtls_sha256_init(&ctx); }
  ~Context() { mbedtls_sha256_free(&ctx); }
  mbedtls_sha256_context ctx;
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
  start();
}

Sha256::~Sha256() = default;

void Sha256::start() {
  check(shaStart(&context_->ctx), "mbedtls_sha256_starts");
}

void Sha256::update(const void* data, size_t length) {
  if (length == 0)
    return;
  check(shaUpdate(&context_->ctx, static_cast<const unsigned char*>(data), length),
        "mbedtls_sha256_update");
}

Sha256::Digest Sha256::finish() {
  Digest result;
  check(shaFinish(&context_->ctx, result.data()), "mbedtls_sha256_finish");
  start();
  return result;
}

Sha256::Digest Sha256::digest(const void* data, size_t length) {
  Sha256 sha;
  sha.update(data, length);
  return sha.finish();
}

bool Sha256::matches(const Digest& digest, std::span<const uint8_t> expected) {
  if (expected.size() != digest.size())
    return false;
  // Differences are gathered, never acted on, until every byte was seen.
  uint8_t difference = 0;
  for (size_t i = 0; i < digest.size(); i++)
    difference |= uint8_t(digest[i] ^ expected[i]);
  return difference == 0;
}

} // namespace crypto
