#include "ui/UiTickets.h"

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

const int64_t NOW = 1700000000;

class UiTicketsTest : public ::testing::Test {
 protected:
  testsupport::TempDir dir;
  std::string path = dir.file("tickets.json");
};

TEST_F(UiTicketsTest, RoundTripKeepsEveryCharacterAndTheOrderOfFiles) {
  const std::vector<std::string> files = {"C:\\Users\\bob\\a \"quoted\" folder", "/home/zoë/Прив\xC3\xA9t/файл.txt",
                                          "tab\there\nnewline", "/b/../a"};
  UiTickets::add("zoë@example.com", files, "AbC123", path, NOW);
  UiTickets::add("bob@example.com", {}, "EMPTY1", path, NOW + 1);

  const std::string text = testsupport::readFile(path);
  // One compact object per line, members in a fixed order; backslashes and quotes escaped.
  EXPECT_EQ(text.substr(0, text.find('\n')),
            "{\"to\":\"zoë@example.com\",\"code\":\"AbC123\",\"createdAt\":1700000000,\"files\":["
            "\"C:\\\\Users\\\\bob\\\\a \\\"quoted\\\" folder\",\"/home/zoë/Прив\xC3\xA9t/файл.txt\","
            "\"tab\\there\\nnewline\",\"/b/../a\"]}");

  const std::vector<UiTicket> tickets = UiTickets::read(path);
  ASSERT_EQ(tickets.size(), 2u);
  EXPECT_EQ(tickets[0].to, "zoë@example.com");
  EXPECT_EQ(tickets[0].files, files);
  EXPECT_EQ(tickets[0].code, "AbC123");
  EXPECT_EQ(tickets[0].createdAt, NOW);
  EXPECT_TRUE(tickets[1].files.empty());
  EXPECT_EQ(tickets[1].createdAt, NOW + 1);
}

TEST_F(UiTicketsTest, BrokenAndMistypedLinesAreSkippedGoodOnesKeptInOrder) {
  const std::string good1 = UiTickets::line("a@b.cd", {"/x"}, "FIRST1", NOW);
  const std::string good2 = UiTickets::line("c@d.ef", {"/y", "/z"}, "SECOND", NOW);
  const std::vector<std::string> bad = {
      "",
      "not json",
      "{\"to\":\"a@b.cd\",\"code\":\"X\",\"createdAt\":1,\"files\":[\"/x\"]} trailing",
      "[1,2,3]",
      "\"a string\"",
      "{\"code\":\"X\",\"createdAt\":1,\"files\":[]}",                      // no "to"
      "{\"to\":7,\"code\":\"X\",\"createdAt\":1,\"files\":[]}",             // to not a string
      "{\"to\":\"a\",\"code\":null,\"createdAt\":1,\"files\":[]}",          // code not a string
      "{\"to\":\"a\",\"code\":\"X\",\"createdAt\":\"1\",\"files\":[]}",     // date a string
      "{\"to\":\"a\",\"code\":\"X\",\"createdAt\":1.5,\"files\":[]}",       // date not an integer
      "{\"to\":\"a\",\"code\":\"X\",\"createdAt\":1,\"files\":\"/x\"}",     // files not an array
      "{\"to\":\"a\",\"code\":\"X\",\"createdAt\":1,\"files\":[\"/x\",3]}",  // a path not a string
      "{\"to\":\"a\",\"code\":\"X\",\"createdAt\":1e30,\"files\":[]}",      // date out of range
  };
  std::string text = good1 + "\n";
  for (const std::string& line : bad) text += line + "\n";
  text += good2 + "\r\n";  // written on another system
  testsupport::writeFile(path, text);

  const std::vector<UiTicket> tickets = UiTickets::read(path);
  ASSERT_EQ(tickets.size(), 2u);
  EXPECT_EQ(tickets[0].code, "FIRST1");
  EXPECT_EQ(tickets[1].code, "SECOND");
  EXPECT_EQ(tickets[1].files, (std::vector<std::string>{"/y", "/z"}));
  for (const std::string& line : bad) EXPECT_NE(testsupport::failureOf([&] { UiTicket ticket(line); }), "") << line;
}

// Lines no program of ours writes, built to exhaust the reader: each is skipped like a broken
// one, and the lines around it are still read.
TEST_F(UiTicketsTest, HostileLinesAreSkippedWithoutHarm) {
  const std::string deep(150000, '[');
  const std::string closed = deep + std::string(150000, ']');
  const std::string tail = "\"code\":\"X\",\"createdAt\":1,\"files\":[";
  const std::vector<std::string> hostile = {
      deep,                                         // unclosed: it overflowed the parser's stack
      closed,                                       // well formed, but not an object
      "{\"to\":\"a\"," + tail + closed + "]}",        // deep inside a member
      "{\"to\":" + closed + "," + tail + "]}",         // deep in place of a string
      UiTickets::line(std::string(UiTickets::MAX_LINE_BYTES, 'a'), {"/x"}, "LONG", NOW),
      UiTickets::line("a", std::vector<std::string>(UiTickets::MAX_FILES + 1, "/x"), "MANY", NOW),
  };
  const std::string good1 = UiTickets::line("a@b.cd", {"/x"}, "FIRST1", NOW);
  const std::string good2 = UiTickets::line("c@d.ef", {"/y"}, "SECOND", NOW);
  std::string text = good1 + "\n";
  for (const std::string& line : hostile) text += line + "\n";
  text += good2 + "\n";
  testsupport::writeFile(path, text);

  const std::vector<UiTicket> tickets = UiTickets::read(path);
  ASSERT_EQ(tickets.size(), 2u);
  EXPECT_EQ(tickets[0].code, "FIRST1");
  EXPECT_EQ(tickets[1].code, "SECOND");
  for (const std::string& line : hostile)
    EXPECT_NE(testsupport::failureOf([&] { UiTicket ticket(line); }), "") << line.substr(0, 80);

  // The bound itself is still an offer.
  const std::vector<std::string> most(UiTickets::MAX_FILES, "/x");
  EXPECT_EQ(UiTicket(UiTickets::line("a", most, "MOST", NOW)).files, most);
}

TEST_F(UiTicketsTest, AppendAfterACutLastLineKeepsTheNewOfferReadable) {
  const std::string whole = UiTickets::line("a@b.cd", {"/x"}, "WHOLE1", NOW);
  testsupport::writeFile(path, whole + "\n" + whole.substr(0, 20));  // a crash mid-line
  UiTickets::add("c@d.ef", {"/y"}, "AFTER1", path, NOW);
  UiTickets::add("c@d.ef", {"/y"}, "AFTER1", path, NOW + 5);  // the same offer twice: two lines

  const std::vector<UiTicket> tickets = UiTickets::read(path);
  ASSERT_EQ(tickets.size(), 3u);
  EXPECT_EQ(tickets[0].code, "WHOLE1");
  EXPECT_EQ(tickets[1].code, "AFTER1");
  EXPECT_EQ(tickets[2].createdAt, NOW + 5);
  const std::string text = testsupport::readFile(path);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);
}

TEST_F(UiTicketsTest, MissingOrUnwritableFile) {
  EXPECT_TRUE(UiTickets::read(dir.file("none.json")).empty());
  EXPECT_EQ(testsupport::failureOf([&] { UiTickets::add("a@b.cd", {"/x"}, "C", dir.file("missing/tickets.json"), NOW); }),
            "can't write to tickets.json");
  EXPECT_FALSE(testsupport::fileExists(dir.file("missing/tickets.json")));
}

TEST_F(UiTicketsTest, ExpiresAfterSevenDaysAndReadsDatesBeyond32Bits) {
  UiTickets::add("a@b.cd", {"/x"}, "OLD", path, NOW - 604801);
  UiTickets::add("a@b.cd", {"/x"}, "EDGE", path, NOW - 604800);
  UiTickets::add("a@b.cd", {"/x"}, "FAR", path, int64_t{1} << 40);
  const std::vector<UiTicket> tickets = UiTickets::read(path);
  ASSERT_EQ(tickets.size(), 3u);
  EXPECT_TRUE(tickets[0].isExpired(NOW));
  EXPECT_FALSE(tickets[1].isExpired(NOW));
  EXPECT_EQ(tickets[2].createdAt, int64_t{1} << 40);
  EXPECT_FALSE(tickets[2].isExpired(NOW));

  // A hostile date cannot overflow the age.
  UiTicket far(UiTickets::line("a@b.cd", {}, "MIN", INT64_MIN));
  EXPECT_TRUE(far.isExpired(NOW));
  // Written now by the real clock: not expired.
  UiTickets::add("a@b.cd", {"/x"}, "CLOCK", path, static_cast<int64_t>(time(nullptr)));
  EXPECT_FALSE(UiTickets::read(path).back().isExpired());
}

}  // namespace
