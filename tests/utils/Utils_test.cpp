#include "utils/Utils.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <regex>
#include <set>
#include <stdexcept>

#include "support/TestSupport.h"

using Query = std::map<std::string, std::string>;
using Pieces = std::vector<std::string>;

TEST(UtilsFormat, FormatsShortEmptyAndLongResults) {
  EXPECT_EQ("Code AB", Utils::format("Code %s", "AB"));
  EXPECT_EQ("-7 0x1f 2.50", Utils::format("%d 0x%x %.2f", -7, 31, 2.5));
  EXPECT_EQ("", Utils::format("%s", ""));

  const std::string big(5000, 'x');
  const std::string text = Utils::format("[%s|%d]", big.c_str(), 42);
  EXPECT_EQ("[" + big + "|42]", text);
}

TEST(UtilsFormat, FormatterFailureThrows) {
  // A wide character with no representation in the "C" locale makes the formatter fail.
  try {
    Utils::format("%ls", L"\u00e9");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("asprintf error", e.what());
  }
}

TEST(UtilsUrlEncode, KeepsUnreservedAndEscapesEveryOtherByte) {
  const std::string unreserved = "ABCXYZabcxyz0189-_.~";
  EXPECT_EQ(unreserved, Utils::urlEncode(unreserved));
  EXPECT_EQ("", Utils::urlEncode(""));
  EXPECT_EQ("a%20b%26c%3Dd%2Fe%2Bf", Utils::urlEncode("a b&c=d/e+f"));
  EXPECT_EQ("%E9%00%7F%FF%25", Utils::urlEncode(std::string("\xE9\0\x7F\xFF%", 5)));
}

TEST(UtilsSplit, KeepsLeadingAndInnerEmptyPiecesDropsTrailing) {
  EXPECT_EQ((Pieces{"a", "", "b"}), Utils::split("a&&b", "&"));
  EXPECT_EQ((Pieces{"", "a"}), Utils::split("&a", "&"));
  EXPECT_EQ((Pieces{"a"}), Utils::split("a&", "&"));
  EXPECT_EQ((Pieces{""}), Utils::split("", "&"));
  EXPECT_EQ((Pieces{"abc"}), Utils::split("abc", "&"));
  EXPECT_EQ((Pieces{"a", "b", "c"}), Utils::split("a , b,c", "\\s*,\\s*"));  // a pattern, not a literal
  EXPECT_THROW(Utils::split("a", "("), std::regex_error);
}

TEST(UtilsUrlQuery, PairsFirstKeyWinsNothingDecoded) {
  EXPECT_EQ((Query{{"code", "12"}, {"callback", "f"}}), Utils::urlQuery("code=12&callback=f"));
  EXPECT_EQ((Query{{"k", "1"}}), Utils::urlQuery("k=1&k=2"));
  EXPECT_EQ((Query{{"flag", ""}, {"a", "b"}}), Utils::urlQuery("flag&a=b"));
  EXPECT_EQ((Query{{"a", "b"}}), Utils::urlQuery("a=b=c"));
  EXPECT_EQ((Query{{"v", "x%20y+z"}}), Utils::urlQuery("v=x%20y+z"));
  EXPECT_EQ((Query{{"", ""}}), Utils::urlQuery(""));
}

TEST(UtilsTrim, RemovesPosixWhiteSpaceOnly) {
  EXPECT_EQ("two words", Utils::trim(" \t\r\n two words \v\f\r\n\t "));
  EXPECT_EQ("", Utils::trim("    "));
  EXPECT_EQ("", Utils::trim(""));
  EXPECT_EQ("x", Utils::trim("x"));
  EXPECT_EQ("\xA0x\xA0", Utils::trim(" \xA0x\xA0 "));  // non-ASCII bytes are not blanks
}

TEST(UtilsJoin, DelimiterOnlyBetweenElements) {
  const std::vector<std::string> three = {"a", "b", "c"};
  EXPECT_EQ("a, b, c", Utils::join(three.begin(), three.end(), ", "));
  EXPECT_EQ("a", Utils::join(three.begin(), three.begin() + 1, ", "));
  EXPECT_EQ("", Utils::join(three.begin(), three.begin(), ", "));
}

TEST(UtilsRandom, StaysInPositiveRangeAndVaries) {
  std::set<int32_t> ints;
  std::set<int64_t> longs;
  for (int i = 0; i < 10000; ++i) {
    const int32_t n = Utils::randomInt();
    const int64_t l = Utils::randomLong();
    ASSERT_GE(n, 1);
    ASSERT_GE(l, 1);
    ints.insert(n);
    longs.insert(l);
  }
  EXPECT_GT(ints.size(), 9900u);
  EXPECT_GT(longs.size(), 9990u);
  // Spread over the whole range, not just small numbers.
  EXPECT_GT(*ints.rbegin(), INT32_MAX / 2);
  EXPECT_GT(*longs.rbegin(), INT64_MAX / 2);
}

TEST(UtilsHomeDir, FromHomeElsePasswordDatabase) {
  {
    testsupport::ScopedEnv home("HOME", "/srv/some home");
    EXPECT_EQ("/srv/some home", Utils::getHomeDir());
  }
  {
    testsupport::ScopedEnv home("HOME", "/" + std::string(2000, 'h'));
    EXPECT_EQ("/" + std::string(1022, 'h'), Utils::getHomeDir());

    char small[6] = "zzzzz";
    _homeDir(small, 3);
    EXPECT_STREQ("/hh", small);
  }
  {
    testsupport::ScopedEnv noHome("HOME");
    const passwd* entry = getpwuid(getuid());
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(entry->pw_dir, Utils::getHomeDir());
  }
}
