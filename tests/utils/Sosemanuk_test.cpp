#include "utils/Sosemanuk.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Published reference vectors: 160 bytes each, so two whole 80-byte blocks are covered.
const char* kKey1 = "A7C083FEB7";
const char* kIv1 = "00112233445566778899AABBCCDDEEFF";
const char* kStream1 =
    "FE81D2162C9A100D04895C454A77515BBE6A431A935CB90E2221EBB7EF502328"
    "943539492EFF6310C871054C2889CC728F82E86B1AFFF4334B6127A13A155C75"
    "151630BD482EB673FF5DB477FA6C53EBE1A4EC38C23C5400C315455D93A2ACED"
    "9598604727FA340D5F2A8BD757B77833F74BD2BC049313C80616B4A06268AE35"
    "0DB92EEC4FA56C171374A67A80C006D0EAD048CE7B640F17D3D5A62D1F251C21";
const char* kKey2 = "00112233445566778899AABBCCDDEEFF";
const char* kIv2 = "8899AABBCCDDEEFF0011223344556677";
const char* kStream2 =
    "FA61DBEB71178131A77C714BD2EABF4E1394207A25698AA1308F2F063A0F7606"
    "04CF67569BA59A3DFAD7F00145C78D29C5FFE5F964950486424451952C84039D"
    "234D9C37EECBBCA1EBFB0DD16EA1194A6AFC1A460E33E33FE8D55C48977079C6"
    "87810D74FEDDEE1B3986218FB1E1C1765E4DF64D7F6911C19A270C59C74B2446"
    "1717F86CE3B11808FACD4F2E714168DA44CF6360D54DDA2241BCB79401A4EDCC";

Bytes keyOf(uint8_t seed) {
  Bytes k(16);
  for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(seed * 31 + i * 7);
  return k;
}

Sosemanuk keyed(const Bytes& key, const Bytes& iv) {
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

TEST(SosemanukVectors, FortyBitKeyThroughFreeFunctions) {
  const Bytes key = fromHex(kKey1), iv = fromHex(kIv1), expected = fromHex(kStream1);
  sosemanuk_key_context kc;
  sosemanuk_run_context rc;
  sosemanuk_schedule(&kc, key.data(), key.size());

  sosemanuk_init(&rc, &kc, iv.data(), iv.size());
  Bytes zeros(160, 0), out(160, 0xAA);
  sosemanuk_encrypt(&rc, zeros.data(), out.data(), out.size());
  EXPECT_EQ(out, expected);

  sosemanuk_init(&rc, &kc, iv.data(), iv.size());
  Bytes raw(160, 0xAA);
  sosemanuk_prng(&rc, raw.data(), 7);
  sosemanuk_prng(&rc, raw.data() + 7, 153);
  EXPECT_EQ(raw, expected);
}

TEST(SosemanukVectors, FullKeyThroughClass) {
  Sosemanuk c = keyed(fromHex(kKey2), fromHex(kIv2));
  EXPECT_EQ(keystream(c, 160), fromHex(kStream2));
}

TEST(SosemanukVectors, NewIvRestartsKeystream) {
  Sosemanuk c = keyed(fromHex(kKey2), fromHex(kIv1));
  keystream(c, 100);
  c.setIv(fromHex(kIv2).data());
  EXPECT_EQ(keystream(c, 160), fromHex(kStream2));
}

TEST(SosemanukVectors, ShortIvIsZeroPaddedAndLongIvCut) {
  const Bytes key = fromHex(kKey2);
  sosemanuk_key_context kc;
  sosemanuk_schedule(&kc, key.data(), key.size());
  auto firstBlock = [&](const Bytes& iv) {
    sosemanuk_run_context rc;
    sosemanuk_init(&rc, &kc, iv.data(), iv.size());
    Bytes out(80);
    sosemanuk_prng(&rc, out.data(), out.size());
    return out;
  };
  Bytes iv16 = fromHex("01020304050607080000000000000000");
  EXPECT_EQ(firstBlock(fromHex("0102030405060708")), firstBlock(iv16));
  Bytes iv20 = iv16;
  iv20.insert(iv20.end(), {0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(firstBlock(iv20), firstBlock(iv16));
}

TEST(SosemanukVectors, KeyLengthOutsideOneToThirtyTwoIsRejected) {
  sosemanuk_key_context kc;
  uint8_t key[33] = {};
  EXPECT_THROW(sosemanuk_schedule(&kc, key, 0), std::invalid_argument);
  EXPECT_THROW(sosemanuk_schedule(&kc, key, 33), std::invalid_argument);
  EXPECT_NO_THROW(sosemanuk_schedule(&kc, key, 32));
}

TEST(SosemanukChunking, OnePlusSeventyNinePlusOneEqualsEightyOne) {
  const Bytes key = keyOf(1), iv = keyOf(2), plain = patterned(81);
  Sosemanuk whole = keyed(key, iv), pieces = keyed(key, iv);
  Bytes a(81), b(81);
  whole.encrypt(a.data(), 0, 81, plain.data(), 0);
  pieces.encrypt(b.data(), 0, 1, plain.data(), 0);
  pieces.encrypt(b.data(), 1, 79, plain.data(), 1);
  pieces.encrypt(b.data(), 80, 1, plain.data(), 80);
  EXPECT_EQ(a, b);
  // Both must also continue identically afterwards.
  EXPECT_EQ(keystream(whole, 50), keystream(pieces, 50));
}

TEST(SosemanukChunking, RandomChunkingsMatchOneCall) {
  const size_t total = 5000;
  const Bytes key = keyOf(3), iv = keyOf(4), plain = patterned(total);
  Sosemanuk reference = keyed(key, iv);
  Bytes expected(total);
  reference.encrypt(expected.data(), 0, static_cast<int32_t>(total), plain.data(), 0);

  std::mt19937 rng(20240611);
  for (int trial = 0; trial < 20; ++trial) {
    Sosemanuk c = keyed(key, iv);
    Bytes out(total, 0);
    size_t done = 0;
    while (done < total) {
      // Mostly small pieces around the 80-byte block size, sometimes empty or large.
      std::uniform_int_distribution<size_t> pick(0, trial % 2 ? 170 : 700);
      const size_t n = std::min(pick(rng), total - done);
      c.encrypt(out.data(), static_cast<int32_t>(done), static_cast<int32_t>(n), plain.data(),
                static_cast<int32_t>(done));
      done += n;
    }
    ASSERT_EQ(out, expected) << "trial " << trial;
  }
}

TEST(SosemanukBuffers, InPlaceEqualsSeparateBuffer) {
  const Bytes key = keyOf(5), iv = keyOf(6), plain = patterned(1415);
  Sosemanuk a = keyed(key, iv), b = keyed(key, iv), c = keyed(key, iv);
  Bytes separate(plain.size());
  a.encrypt(separate.data(), 0, static_cast<int32_t>(plain.size()), plain.data(), 0);

  Bytes whole = plain;
  b.encrypt(whole.data(), 0, static_cast<int32_t>(whole.size()), whole.data(), 0);
  EXPECT_EQ(whole, separate);

  // In place across block boundaries and with a leftover partial block in between.
  Bytes chunked = plain;
  c.encrypt(chunked.data(), 0, 3, chunked.data(), 0);
  c.encrypt(chunked.data(), 3, 1000, chunked.data(), 3);
  c.encrypt(chunked.data(), 1003, 412, chunked.data(), 1003);
  EXPECT_EQ(chunked, separate);
}

TEST(SosemanukBuffers, OffsetsAreHonoured) {
  const Bytes key = keyOf(7), iv = keyOf(8), plain = patterned(200);
  Sosemanuk ref = keyed(key, iv);
  const Bytes ks = keystream(ref, 200);

  // destOffset 24: the bytes before it and after the written range stay as they were.
  Sosemanuk c = keyed(key, iv);
  Bytes dest(24 + 100 + 10, 0xEE), expected(dest);
  c.encrypt(dest.data(), 24, 100, plain.data(), 0);
  for (size_t i = 0; i < 100; ++i) expected[24 + i] = plain[i] ^ ks[i];
  EXPECT_EQ(dest, expected);

  // srcOffset 150: the source is read from there, and the keystream simply continues.
  Bytes dest2(50, 0), expected2(50);
  c.encrypt(dest2.data(), 0, 50, plain.data(), 150);
  for (size_t i = 0; i < 50; ++i) expected2[i] = plain[150 + i] ^ ks[100 + i];
  EXPECT_EQ(dest2, expected2);
}

TEST(SosemanukBuffers, ZeroLengthChangesAndConsumesNothing) {
  const Bytes key = keyOf(9), iv = keyOf(10);
  Sosemanuk a = keyed(key, iv), b = keyed(key, iv);
  keystream(a, 37);
  keystream(b, 37);
  Bytes dest(4, 0x5A), src(4, 0x11);
  b.encrypt(dest.data(), 0, 0, src.data(), 0);
  EXPECT_EQ(dest, Bytes(4, 0x5A));
  EXPECT_EQ(keystream(a, 100), keystream(b, 100));
}

TEST(SosemanukBuffers, NegativeLengthOrOffsetIsRejected) {
  Sosemanuk c = keyed(keyOf(11), keyOf(12));
  uint8_t buf[8] = {};
  EXPECT_THROW(c.encrypt(buf, 0, -1, buf, 0), std::invalid_argument);
  EXPECT_THROW(c.encrypt(buf, -1, 4, buf, 0), std::invalid_argument);
  EXPECT_THROW(c.encrypt(buf, 0, 4, buf, -1), std::invalid_argument);
}

TEST(SosemanukUse, SecondObjectDecrypts) {
  const Bytes key = keyOf(13), iv = keyOf(14), plain = patterned(3000);
  Sosemanuk enc = keyed(key, iv), dec = keyed(key, iv);
  Bytes cipher(plain.size()), back(plain.size());
  enc.encrypt(cipher.data(), 0, static_cast<int32_t>(plain.size()), plain.data(), 0);
  EXPECT_NE(cipher, plain);
  dec.encrypt(back.data(), 0, 1415, cipher.data(), 0);
  dec.encrypt(back.data(), 1415, static_cast<int32_t>(plain.size()) - 1415, cipher.data(), 1415);
  EXPECT_EQ(back, plain);
}

TEST(SosemanukUse, DifferentIvsGiveUnrelatedKeystreams) {
  const Bytes key = keyOf(15);
  Bytes iv1 = keyOf(16), iv2 = iv1;
  iv2[15] ^= 0x01;
  Sosemanuk a = keyed(key, iv1), b = keyed(key, iv2);
  const Bytes ka = keystream(a, 400), kb = keystream(b, 400);
  int equal = 0;
  for (size_t i = 0; i < ka.size(); ++i) equal += ka[i] == kb[i];
  EXPECT_LT(equal, 12);  // about 400/256 expected by chance
}

TEST(SosemanukUse, UnkeyedObjectNeverEmitsPlainText) {
  const Bytes plain = patterned(100);
  Bytes dest(100, 0);

  Sosemanuk zeroed;
  std::memset(static_cast<void*>(&zeroed), 0, sizeof zeroed);
  EXPECT_THROW(zeroed.encrypt(dest.data(), 0, 100, plain.data(), 0), std::runtime_error);
  EXPECT_EQ(dest, Bytes(100, 0));

  Sosemanuk* heap = new Sosemanuk();
  EXPECT_THROW(heap->encrypt(dest.data(), 0, 1, plain.data(), 0), std::runtime_error);
  delete heap;

  // A key alone is not enough: without an IV there is no keystream yet.
  Sosemanuk keyOnly;
  keyOnly.setKey(keyOf(17).data());
  try {
    keyOnly.encrypt(dest.data(), 0, 100, plain.data(), 0);
    ADD_FAILURE() << "expected a throw";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Sosemanuk: key and iv not set");
  }
  EXPECT_EQ(dest, Bytes(100, 0));
}
