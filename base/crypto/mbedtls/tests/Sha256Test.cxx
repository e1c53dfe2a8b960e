#include "base/crypto/mbedtls/Sha256.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace crypto {
namespace {

// The digest itself is Mbed TLS's; what is ours is feeding it and comparing.

std::string hex(const Sha256::Digest& digest) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : digest)
    text += {digits[byte >> 4], digits[byte & 15]};
  return text;
}

const char* const abcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char* const emptyDigest = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(Sha256Test, PiecesGiveTheOneShotDigestAndFinishStartsANewMessage) {
  EXPECT_EQ(hex(Sha256::digest("abc", 3)), abcDigest);
  std::mt19937 random(20240611);
  for (int round = 0; round < 50; round++) {
    SCOPED_TRACE(round);
    std::vector<uint8_t> message(random() % 600);
    for (uint8_t& byte : message)
      byte = uint8_t(random());
    Sha256 sha;
    for (size_t at = 0, piece; at < message.size(); at += piece) {
      piece = std::min<size_t>(message.size() - at, random() % 130);
      sha.update(message.data() + at, piece);
    }
    EXPECT_EQ(sha.finish(), Sha256::digest(message.data(), message.size()));
  }
  Sha256 sha;
  sha.update("xyz", 3);
  sha.finish();
  sha.update("abc", 3);
  EXPECT_EQ(hex(sha.finish()), abcDigest);
  EXPECT_EQ(hex(sha.finish()), emptyDigest);
}

TEST(Sha256Test, MatchesOnlyTheWholeDigest) {
  Sha256::Digest digest = Sha256::digest("abc", 3);
  std::vector<uint8_t> same(digest.begin(), digest.end());
  EXPECT_TRUE(Sha256::matches(digest, same));
  for (auto [byte, mask] : {std::pair{0, 0x01}, {0, 0x80}, {31, 0x01}, {31, 0x80}}) {
    std::vector<uint8_t> changed = same;
    changed[byte] ^= uint8_t(mask);
    EXPECT_FALSE(Sha256::matches(digest, changed)) << byte << " " << mask;
  }
  std::vector<uint8_t> longer = same;
  longer.push_back(0);
  EXPECT_FALSE(Sha256::matches(digest, {}));
  EXPECT_FALSE(Sha256::matches(digest, std::vector<uint8_t>(same.begin(), same.end() - 1)));
  EXPECT_FALSE(Sha256::matches(digest, longer));
}

} // namespace
} // namespace crypto
