#include "utils/Sosemanuk.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Published reference vectors: 160 bytes each, so two whole 80-byte blocks are covered.
const Bytes kKey1 = fromHex("A7C083FEB7"), kIv1 = fromHex("00112233445566778899AABBCCDDEEFF");
const Bytes kStream1 = fromHex(
    "FE81D2162C9A100D04895C454A77515BBE6A431A935CB90E2221EBB7EF502328"
    "943539492EFF6310C871054C2889CC728F82E86B1AFFF4334B6127A13A155C75"
    "151630BD482EB673FF5DB477FA6C53EBE1A4EC38C23C5400C315455D93A2ACED"
    "9598604727FA340D5F2A8BD757B77833F74BD2BC049313C80616B4A06268AE35"
    "0DB92EEC4FA56C171374A67A80C006D0EAD048CE7B640F17D3D5A62D1F251C21");
const Bytes kKey2 = fromHex("00112233445566778899AABBCCDDEEFF");
const Bytes kIv2 = fromHex("8899AABBCCDDEEFF0011223344556677");
const Bytes kStream2 = fromHex(
    "FA61DBEB71178131A77C714BD2EABF4E1394207A25698AA1308F2F063A0F7606"
    "04CF67569BA59A3DFAD7F00145C78D29C5FFE5F964950486424451952C84039D"
    "234D9C37EECBBCA1EBFB0DD16EA1194A6AFC1A460E33E33FE8D55C48977079C6"
    "87810D74FEDDEE1B3986218FB1E1C1765E4DF64D7F6911C19A270C59C74B2446"
    "1717F86CE3B11808FACD4F2E714168DA44CF6360D54DDA2241BCB79401A4EDCC");

Sosemanuk keyed(const Bytes& key = kKey2, const Bytes& iv = kIv1) {
  Sosemanuk c;
  c.setKey(key.data());
  c.setIv(iv.data());
  return c;
}

Bytes keystream(Sosemanuk& c, size_t n) {
  Bytes zeros(n, 0), out(n, 0);
  c.encrypt(out.data(), 0, static_cast<int32_t>(n), zeros.data(), 0);
  return out;
}

Bytes patterned(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 13 + 5);
  return b;
}

}  // namespace

TEST(Sosemanuk, PublishedVectors) {
  // The 40-bit key goes through the free functions, the keystream read in two odd pieces.
  sosemanuk_key_context kc;
  sosemanuk_run_context rc;
  sosemanuk_schedule(&kc, kKey1.data(), kKey1.size());
  sosemanuk_init(&rc, &kc, kIv1.data(), kIv1.size());
  Bytes zeros(160, 0), out(160, 0xAA);
  sosemanuk_encrypt(&rc, zeros.data(), out.data(), 7);
  sosemanuk_prng(&rc, out.data() + 7, 153);
  EXPECT_EQ(out, kStream1);

  // A new IV on a used object restarts the keystream at its first byte.
  Sosemanuk c = keyed(kKey2, kIv1);
  keystream(c, 100);
  c.setIv(kIv2.data());
  EXPECT_EQ(keystream(c, 160), kStream2);

  uint8_t key[33] = {};
  EXPECT_THROW(sosemanuk_schedule(&kc, key, 0), std::invalid_argument);
  EXPECT_THROW(sosemanuk_schedule(&kc, key, 33), std::invalid_argument);
}

// Any chunking (empty pieces, pieces around one 80-byte block, random ones), in place or
// between offsets, gives the same bytes as one call; the bytes around the written range stay.
TEST(Sosemanuk, ChunkingInPlaceAndOffsetsDoNotChangeTheResult) {
  const size_t total = 5000;
  const Bytes plain = patterned(total);
  Sosemanuk reference = keyed();
  const Bytes ks = keystream(reference, total);
  Bytes expected(total);
  for (size_t i = 0; i < total; ++i) expected[i] = plain[i] ^ ks[i];

  std::mt19937 rng(20240611);
  for (int trial = 0; trial < 12; ++trial) {
    Sosemanuk c = keyed();
    Bytes out = trial % 3 ? Bytes(total, 0) : plain;  // every third in place
    const size_t fixed[] = {1, 79, 1, 0, 80, 160, 3};
    size_t done = 0, step = 0;
    while (done < total) {
      const size_t n = std::min(trial == 0 && step < 7 ? fixed[step++] : rng() % (trial % 2 ? 171 : 701), total - done);
      const int32_t at = static_cast<int32_t>(done);
      c.encrypt(out.data(), at, static_cast<int32_t>(n), trial % 3 ? plain.data() : out.data(), at);
      done += n;
    }
    ASSERT_EQ(out, expected) << "trial " << trial;
  }

  Sosemanuk c = keyed();
  Bytes dest(24 + 100 + 10, 0xEE), around(dest);
  c.encrypt(dest.data(), 24, 100, plain.data(), 150);
  for (size_t i = 0; i < 100; ++i) around[24 + i] = plain[150 + i] ^ ks[i];
  EXPECT_EQ(dest, around);

  uint8_t buf[8] = {};
  EXPECT_THROW(c.encrypt(buf, 0, -1, buf, 0), std::invalid_argument);
  EXPECT_THROW(c.encrypt(buf, -1, 4, buf, 0), std::invalid_argument);
  EXPECT_THROW(c.encrypt(buf, 0, 4, buf, -1), std::invalid_argument);
}

// Owners zero-fill the object; without both a key and an IV there is no keystream, and nothing
// is written.
TEST(Sosemanuk, UnkeyedObjectNeverEmitsPlainText) {
  const Bytes plain = patterned(100);
  Bytes dest(100, 0);
  Sosemanuk zeroed, keyOnly, ivOnly;
  std::memset(static_cast<void*>(&zeroed), 0, sizeof zeroed);
  keyOnly.setKey(kKey2.data());
  EXPECT_EQ(testsupport::failureOf([&] { ivOnly.setIv(kIv2.data()); }), "Sosemanuk: key and iv not set");
  for (Sosemanuk* c : {&zeroed, &keyOnly, &ivOnly})
    EXPECT_EQ(testsupport::failureOf([&] { c->encrypt(dest.data(), 0, 100, plain.data(), 0); }),
              "Sosemanuk: key and iv not set");
  EXPECT_EQ(dest, Bytes(100, 0));
}
