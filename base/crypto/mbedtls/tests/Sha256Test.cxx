#include "base/crypto/mbedtls/Sha256.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace crypto {
namespace {

std::string hex(const Sha256::Digest& digest) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : digest) {
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

struct Vector {
  const char* name;
  std::string message;
  const char* digest;
};

// The published FIPS 180-2 examples and the digest of the empty message.
std::vector<Vector> knownVectors() {
  return {
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"million a", std::string(1000000, 'a'),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
}

TEST(Sha256Test, KnownVectorsInOnePiece) {
  for (const Vector& v : knownVectors()) {
    SCOPED_TRACE(v.name);
    EXPECT_EQ(hex(Sha256::digest(v.message.data(), v.message.size())), v.digest);
  }
}

TEST(Sha256Test, MillionAInUnevenPiecesMatchesTheKnownDigest) {
  Sha256 sha;
  std::string chunk(999, 'a');
  size_t fed = 0;
  while (fed + chunk.size() <= 1000000) {
    sha.update(chunk.data(), chunk.size());
    fed += chunk.size();
  }
  std::string rest(1000000 - fed, 'a');
  sha.update(rest.data(), rest.size());
  EXPECT_EQ(hex(sha.finish()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Test, RandomSplitsGiveTheOneShotDigest) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 50; round++) {
    SCOPED_TRACE(round);
    std::vector<uint8_t> message(random() % 600);
    for (uint8_t& byte : message)
      byte = uint8_t(random());
    Sha256 sha;
    size_t at = 0;
    while (at < message.size()) {
      size_t piece = std::min<size_t>(message.size() - at, random() % 130);
      sha.update(message.data() + at, piece);
      at += piece;
    }
    EXPECT_EQ(sha.finish(), Sha256::digest(message.data(), message.size()));
  }
}

TEST(Sha256Test, FinishStartsANewMessage) {
  Sha256 sha;
  sha.update("xyz", 3);
  sha.finish();
  sha.update("abc", 3);
  EXPECT_EQ(hex(sha.finish()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex(sha.finish()), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(Sha256Test, MatchesOnlyTheWholeDigest) {
  Sha256::Digest digest = Sha256::digest("abc", 3);
  std::vector<uint8_t> same(digest.begin(), digest.end());
  EXPECT_TRUE(Sha256::matches(digest, same));

  struct Flip {
    const char* name;
    size_t byte;
    uint8_t mask;
  };
  for (const Flip& flip : {Flip{"first byte low bit", 0, 0x01}, Flip{"first byte high bit", 0, 0x80},
                           Flip{"last byte low bit", 31, 0x01}, Flip{"last byte high bit", 31, 0x80}}) {
    SCOPED_TRACE(flip.name);
    std::vector<uint8_t> changed = same;
    changed[flip.byte] ^= flip.mask;
    EXPECT_FALSE(Sha256::matches(digest, changed));
  }
}

TEST(Sha256Test, MatchesRejectsOtherLengths) {
  Sha256::Digest digest = Sha256::digest("abc", 3);
  std::vector<uint8_t> full(digest.begin(), digest.end());
  std::vector<uint8_t> longer = full;
  longer.push_back(0);
  for (const auto& [name, expected] :
       {std::pair<const char*, std::vector<uint8_t>>{"empty", {}},
        {"prefix", std::vector<uint8_t>(full.begin(), full.end() - 1)},
        {"one byte more", longer}}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(Sha256::matches(digest, expected));
  }
}

} // namespace
} // namespace crypto
