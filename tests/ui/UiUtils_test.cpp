#include "ui/UiUtils.h"

#include <gtest/gtest.h>

#include <climits>

#include "ui/RecvTab.h"

namespace {

TEST(UiUtilsTest, EmailCheckIsUnanchored) {
  const struct {
    const char* text;
    bool valid;
  } cases[] = {
      {"bob@example.com", true},
      {"b.o-b+x@mail.example.co.uk", true},
      {"bob@example", false},       // no dot part after the at sign
      {"bob@", false},
      {"@example.com", false},
      {"", false},
      {"two words", false},
      {"write to bob@example.com please", true},  // other words around it
      {"a_b@c_d.e_f", true},                     // the underscore is a word character
      {"bob@@example.com", false},
  };
  for (const auto& c : cases) EXPECT_EQ(UiUtils::isValidEmail(wxString::FromUTF8(c.text)), c.valid) << c.text;
}

TEST(UiUtilsTest, TextCrossesAsUtf8WhateverTheLocale) {
  const std::string utf8 = "zoë/Прив/файл 😀.txt";
  const wxString text = UiUtils::fromString(utf8);
  EXPECT_EQ(text.length(), 19u);
  EXPECT_EQ(UiUtils::toString(text), utf8);
  EXPECT_EQ(UiUtils::toString(wxString()), "");
}

TEST(UiUtilsTest, SizesInPowersOfAThousand) {
  const struct {
    int64_t n;
    const char* text;
  } cases[] = {
      {0, "0.0  B"},         {1, "1.0  B"},       {999, "999.0  B"},          {1000, "1.0 KB"},
      {1024, "1.0 KB"},      {1500000, "1.5 MB"}, {1000000, "1.0 MB"},        {-5, "-5.0  B"},
      {INT64_MAX, "9.2 EB"}, {999999, "1000.0 KB"}, {int64_t{5} << 40, "5.5 TB"},
  };
  for (const auto& c : cases) EXPECT_EQ(UiUtils::formatSize(c.n), c.text) << c.n;
}

TEST(UiUtilsTest, PercentOfAFile) {
  EXPECT_EQ(UiUtils::formatPercent(0, 0), "100.0");  // an empty file is complete
  EXPECT_EQ(UiUtils::formatPercent(512, 1024), "50.0");
  EXPECT_EQ(UiUtils::formatPercent(0, 1024), "0.0");
  EXPECT_EQ(UiUtils::formatPercent(1, 3), "33.3");
  EXPECT_EQ(UiUtils::formatPercent(INT64_MAX, INT64_MAX), "100.0");
}

TEST(UiUtilsTest, ReceivingListsTheLastNames) {
  EXPECT_EQ(RecvTab::receivingText({"C:\\Users\\bob\\Folder", "/home/bob/file.txt", "plain"}),
            "Receiving\n  Folder\n  file.txt\n  plain");
  EXPECT_EQ(RecvTab::receivingText({}), "Receiving\n  ");
}

}  // namespace
