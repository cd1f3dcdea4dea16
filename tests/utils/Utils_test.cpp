#include "utils/Utils.h"

#include <gtest/gtest.h>

#include <climits>
#include <set>

#include "support/TestSupport.h"

using testsupport::failureOf;

TEST(Utils, FormatUrlEncodeAndTrim) {
  const std::string big(5000, 'x');
  EXPECT_EQ(Utils::format("[%s|%d]", big.c_str(), 42), "[" + big + "|42]");
  EXPECT_EQ(Utils::format("%d 0x%x %.2f", -7, 31, 2.5), "-7 0x1f 2.50");
  // A wide character with no representation in the "C" locale makes the formatter fail.
  EXPECT_EQ(failureOf([] { Utils::format("%ls", L"\u00e9"); }), "asprintf error");

  const std::pair<std::string, std::string> encoded[] = {
      {"ABCXYZabcxyz0189-_.~", "ABCXYZabcxyz0189-_.~"},
      {"", ""},
      {"a b&c=d/e+f", "a%20b%26c%3Dd%2Fe%2Bf"},
      {std::string("\xE9\0\x7F\xFF%", 5), "%E9%00%7F%FF%25"},
  };
  for (const auto& c : encoded) EXPECT_EQ(Utils::urlEncode(c.first), c.second) << c.first;

  EXPECT_EQ(Utils::trim(" \t\r\n two words \v\f\r\n\t "), "two words");
  EXPECT_EQ(Utils::trim(" \xA0x\xA0 "), "\xA0x\xA0");  // non-ASCII bytes are not blanks
}

TEST(Utils, UrlQuery) {
  using Query = std::map<std::string, std::string>;
  const std::pair<std::string, Query> queries[] = {
      {"code=12&callback=f", {{"code", "12"}, {"callback", "f"}}},
      {"k=1&k=2", {{"k", "1"}}},  // the first wins
      {"flag&a=b", {{"flag", ""}, {"a", "b"}}},
      {"a=b=c", {{"a", "b"}}},
      {"v=x%20y+z", {{"v", "x%20y+z"}}},  // nothing decoded
      {"", {{"", ""}}},
  };
  for (const auto& c : queries) EXPECT_EQ(Utils::urlQuery(c.first), c.second) << c.first;
}

TEST(Utils, RandomNumbersArePositiveAndSpreadOverTheRange) {
  std::set<int32_t> ints;
  std::set<int64_t> longs;
  for (int i = 0; i < 2000; ++i) {
    ints.insert(Utils::randomInt());
    longs.insert(Utils::randomLong());
  }
  EXPECT_TRUE(*ints.begin() >= 1 && *longs.begin() >= 1);
  EXPECT_TRUE(ints.size() > 1990 && longs.size() > 1990);
  EXPECT_TRUE(*ints.rbegin() > INT32_MAX / 2 && *longs.rbegin() > INT64_MAX / 2);
}

// Where the home folder comes from is the platform's; here only the cut to the caller's room.
TEST(Utils, HomeDirIsCutToTheRoomGiven) {
  testsupport::ScopedEnv home("HOME", "/" + std::string(2000, 'h'));
  EXPECT_EQ(Utils::getHomeDir(), "/" + std::string(1022, 'h'));
  char small[6] = "zzzzz";
  _homeDir(small, 3);
  EXPECT_STREQ(small, "/hh");
}
