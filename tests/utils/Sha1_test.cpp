#include "utils/Sha1.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "utils/Base64.h"

namespace {

std::string digest(const std::string& in) {
  std::string out = "previous content is replaced";
  Sha1::getInstance().makeEncodedDigest(in, out);
  return out;
}

std::string userKey(const std::string& user, const std::string& password) {
  std::string out;
  Sha1::getInstance().encodePassword(user, password, out);
  return out;
}

}  // namespace

TEST(Sha1, KnownDigests) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
      {std::string("a\0b", 3), "4a3dec2d1f8245280855c42db0ee4239f917fdb8"},  // a zero byte is digested
      {"17", "0716d9708d321ffb6a00818614779e779925365c"},  // a first byte below 0x10 keeps two digits
  };
  for (const auto& [in, out] : vectors) EXPECT_EQ(out, digest(in)) << in.substr(0, 10);
}

TEST(Sha1, UserKeyLowersOnlyAsciiLettersOfTheUserName) {
  const std::string key = "b22be26dc2adfe503cc9575c88cf199cfaff3cd2";  // alice@example.com / Secret
  EXPECT_EQ(key, userKey("alice@example.com", "Secret"));
  EXPECT_EQ(key, userKey("Alice@EXAMPLE.com", "Secret"));
  EXPECT_EQ("f77d2bdbca0e0f41e2e9520e4da05aa083ec6871", userKey("alice@example.com", "secret"));
  EXPECT_NE(key, userKey("alice@example.com", "Secret "));  // not trimmed
  // "\xC3\x84" (capital A with diaeresis in UTF-8) stays as it is; "LICE" is lowered.
  EXPECT_EQ("7193796cf4f7ccfb2d19174ff3af2505473a2c95", userKey("\xC3\x84LICE", "pw"));
}

TEST(Sha1, EachThreadHasItsOwnContext) {
  const std::string input(100000, 'q'), expected = digest(input);
  std::vector<int> wrong(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) wrong[t] += digest(input) != expected;
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::vector<int>(4, 0), wrong);
}

TEST(Base64, Rfc4648VectorsAndRandomRoundTrips) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},          {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xFF\xEF", "/+8="}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(encoded, base64_encode(plain));
    EXPECT_EQ(encoded, base64_encode(reinterpret_cast<const unsigned char*>(plain.data()), int32_t(plain.size())));
    EXPECT_EQ(plain, base64_decode(encoded));
  }
  std::mt19937 rng(12345);
  std::string data;
  for (size_t n = 0; n < 1000; ++n) {
    const std::string encoded = base64_encode(data);
    ASSERT_EQ((n + 2) / 3 * 4, encoded.size());  // no line breaks
    ASSERT_EQ(data, base64_decode(encoded)) << n;
    data += static_cast<char>(rng());
  }
  // Decoding skips line breaks.
  const std::string encoded = base64_encode(data);
  std::string wrapped;
  for (size_t i = 0; i < encoded.size(); i += 76) wrapped += encoded.substr(i, 76) + "\r\n";
  EXPECT_EQ(data, base64_decode(wrapped));
}

TEST(Base64, DecodingIsLenientAndStopsEarly) {
  EXPECT_EQ("foo", base64_decode("Zm9v=Zm9v"));   // nothing after padding
  EXPECT_EQ("foo", base64_decode("Zm9v Zm9v"));   // a space stops
  EXPECT_EQ("foo", base64_decode("Zm9v-Zm9v"));   // so does a URL-safe mark
  EXPECT_EQ("foob", base64_decode("Zm9vYg"));     // missing padding is fine
  EXPECT_EQ("", base64_decode("Z"));
  // Bytes from 0x80 up are outside the alphabet: stop, never index outside the table.
  for (int c = 0x80; c <= 0xFF; ++c)
    EXPECT_EQ("foo", base64_decode("Zm9v" + std::string(1, static_cast<char>(c)) + "Zm9v"));
}
