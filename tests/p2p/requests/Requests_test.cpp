// The seven web-server calls as they go out (exact paths and queries) and as their answers are
// read. Nothing here touches the network.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "p2p/requests/ForgotPassword.h"
#include "p2p/requests/Login.h"
#include "p2p/requests/Oauth2.h"
#include "p2p/requests/Register.h"
#include "p2p/requests/TicketCreate.h"
#include "p2p/requests/TicketGet.h"
#include "p2p/requests/Verify.h"
#include "utils/Sha1.h"

using namespace p2p;

namespace {

struct PathCase {
  const char* name;
  std::function<std::string()> build;  // constructs the request and returns its path
  std::string expected;                // "<c>" and "<k>" stand for Login's challenge and its key
};

template <class Request, class... Args>
std::function<std::string()> pathOf(Args... args) {
  return [=] { return Request(args...).path.str(); };
}

// Login's challenge is random: take it from the path and compute the key proof it must carry.
std::string fillChallenge(const std::string& expected, const std::string& actual, const std::string& userkey) {
  std::smatch match;
  if (!std::regex_search(actual, match, std::regex("&challenge=([0-9]+)&"))) return expected;
  std::string challenge = match[1];
  std::string proof;
  Sha1::getInstance().makeEncodedDigest(challenge + userkey, proof);
  std::string filled = std::regex_replace(expected, std::regex("<c>"), challenge);
  return std::regex_replace(filled, std::regex("<k>"), proof);
}

const char* const kEmail = "ann@example.com";

}  // namespace

TEST(RequestPaths, AreExactWithEveryValueEncodedOnce) {
  const std::vector<PathCase> cases = {
      {"login without key or grid", pathOf<LoginRequest>("abc-123", kEmail, "KEY", "", false),
       "Login?uuid=abc-123&name=ann%40example.com&challenge=<c>&chkey=<k>"},
      {"login with key and grid", pathOf<LoginRequest>("abc-123", kEmail, "KEY", "g/1 2", true),
       "Login?uuid=abc-123&name=ann%40example.com&key=KEY&challenge=<c>&chkey=<k>&grid=g%2F1%202"},
      {"login with empty name", pathOf<LoginRequest>("abc-123", "", "KEY", "", false),
       "Login?uuid=abc-123&name=&challenge=<c>&chkey=<k>"},
      {"login uuid encoded", pathOf<LoginRequest>("a&b=c", "x", "KEY", "", false),
       "Login?uuid=a%26b%3Dc&name=x&challenge=<c>&chkey=<k>"},
      {"register sends the name twice", pathOf<Register>("u1", "bob+x@example.com", "k/1"),
       "Register?uuid=u1&name=bob%2Bx%40example.com&key=k%2F1&email=bob%2Bx%40example.com&verify=true"},
      {"verify", pathOf<VerifyRequest>("me", "peer 1", "p@x.org", "10.0.0.5", "s+g/="),
       "Verify?myuuid=me&uuid=peer%201&name=p%40x.org&ip=10.0.0.5&sig=s%2Bg%2F%3D"},
      {"verify with empty ip and signature", pathOf<VerifyRequest>("me", "peer", "p", "", ""),
       "Verify?myuuid=me&uuid=peer&name=p&ip=&sig="},
      {"forgot password", pathOf<ForgotPassword>("a b@c.d"), "ForgotPassword?name=a%20b%40c.d"},
      {"oauth2", pathOf<Oauth2>("u 1"), "Oauth2response?uuid=u%201"},
      {"ticket without text", pathOf<TicketCreateRequest>("u", kEmail, "d@e.f", "", true),
       "TicketCreate?uuid=u&username=ann%40example.com&toUsername=d%40e.f&sendEmail=true&text="},
      {"ticket with blank text", pathOf<TicketCreateRequest>("u", kEmail, "d@e.f", " \t\n ", true),
       "TicketCreate?uuid=u&username=ann%40example.com&toUsername=d%40e.f&sendEmail=true&text="},
      {"ticket text trimmed", pathOf<TicketCreateRequest>("u", kEmail, "d@e.f", " hi there \n", true),
       "TicketCreate?uuid=u&username=ann%40example.com&toUsername=d%40e.f&sendEmail=true&text=aGkgdGhlcmU%3D"},
      {"ticket text with + and / in base64", pathOf<TicketCreateRequest>("u", kEmail, "d", "~~~>>?", false),
       "TicketCreate?uuid=u&username=ann%40example.com&toUsername=d&sendEmail=true&text=fn5%2BPj4%2F"},
      {"ticket get", pathOf<TicketGetRequest>("u", kEmail, "AB-12/x y"),
       "TicketGet?uuid=u&username=ann%40example.com&name=AB-12%2Fx%20y"},
  };
  for (const PathCase& c : cases) {
    std::string actual = c.build();
    EXPECT_EQ(fillChallenge(c.expected, actual, "KEY"), actual) << c.name;
  }
}

TEST(RequestPaths, LoginChallengeIsFreshAndPositive) {
  std::regex shape("Login\\?uuid=u&name=n&challenge=([1-9][0-9]*)&chkey=[0-9a-f]{40}");
  std::smatch first, second;
  std::string a = LoginRequest("u", "n", "k", "", false).path.str();
  std::string b = LoginRequest("u", "n", "k", "", false).path.str();
  ASSERT_TRUE(std::regex_match(a, first, shape)) << a;
  ASSERT_TRUE(std::regex_match(b, second, shape)) << b;
  EXPECT_NE(first[1], second[1]);
}

TEST(RequestArguments, FirstEmptyOrBadOneIsRefused) {
  const std::vector<std::pair<std::function<std::string()>, std::string>> cases = {
      {pathOf<LoginRequest>("", "", "", "", false), "uuid is empty"},
      {pathOf<LoginRequest>("u", "n", "", "", true), "userkey is empty"},
      {pathOf<Register>("", "", ""), "uuid is empty"},
      {pathOf<Register>("u", "", ""), "username is empty"},
      {pathOf<Register>("u", "n", ""), "userkey is empty"},
      {pathOf<VerifyRequest>("", "", "", "", ""), "myUuid is empty"},
      {pathOf<VerifyRequest>("m", "", "", "", ""), "peerUuid is empty"},
      {pathOf<VerifyRequest>("m", "p", "", "", ""), "peerUserName is empty"},
      {pathOf<ForgotPassword>(""), "username is empty"},
      {pathOf<Oauth2>(""), "uuid is empty"},
      {pathOf<TicketCreateRequest>("", "", "", "t", true), "uuid is empty"},
      {pathOf<TicketCreateRequest>("u", "", "", "t", true), "username is empty"},
      {pathOf<TicketCreateRequest>("u", "a", "", "t", true), "toUsername is empty"},
      {pathOf<TicketGetRequest>("", "", ""), "uuid is empty"},
      {pathOf<TicketGetRequest>("u", "", ""), "username is empty"},
      {pathOf<TicketGetRequest>("u", "a", ""), "code is empty"},
      {pathOf<TicketGetRequest>("u", "a", "AB12\n"), "code has control characters"},
      {pathOf<TicketGetRequest>("u", "a", "AB\x7f"), "code has control characters"},
      {pathOf<TicketGetRequest>("u", "a", "\t"), "code has control characters"},
  };
  for (const auto& [build, message] : cases) {
    try {
      std::string path = build();
      ADD_FAILURE() << "built " << path << ", expected: " << message;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(message, e.what());
    }
  }
}

TEST(RequestAnswers, DecimalAnswersReadLikeStoll) {
  LoginRequest login("u", "n", "k", "", false);
  Register reg("u", "n", "k");
  EXPECT_EQ(12345, login.parseResponse("12345"));
  EXPECT_EQ(42, login.parseResponse("  42"));
  EXPECT_EQ(42, reg.parseResponse("42abc"));
  EXPECT_EQ(-7, reg.parseResponse("-7\n"));
  EXPECT_EQ(INT64_MAX, login.parseResponse("9223372036854775807"));
  for (const char* bad : {"", "abc", " \n", "9223372036854775808"}) {
    EXPECT_THROW(login.parseResponse(bad), std::exception) << bad;
    EXPECT_THROW(reg.parseResponse(bad), std::exception) << bad;
  }
}

TEST(RequestAnswers, StatusOnlyAnswersIgnoreTheBody) {
  VerifyRequest verify("m", "p", "n", "", "");
  ForgotPassword forgot("n");
  EXPECT_TRUE(verify.parseResponse(""));
  EXPECT_TRUE(verify.parseResponse("false"));
  EXPECT_TRUE(forgot.parseResponse("whatever"));
  // Only ForgotPassword's answer goes unread, so only it may succeed without a 200.
  EXPECT_TRUE(verify.answerUsed());
  EXPECT_FALSE(forgot.answerUsed());
}

TEST(RequestAnswers, JsonAnswersReadTheirMembers) {
  TicketGetResponse ticket = TicketGetRequest("u", "a", "c").parseResponse(
      R"({"userName":"ann@x.org","computerName":"box","uuid":"u-1","ip":"1.2.3.4",
          "internalIp":"10.0.0.2","port":4183,"extra":[1,2]})");
  EXPECT_EQ("ann@x.org", ticket.userName);
  EXPECT_EQ("box", ticket.computerName);
  EXPECT_EQ("u-1", ticket.uuid);
  EXPECT_EQ("1.2.3.4", ticket.ip);
  EXPECT_EQ("10.0.0.2", ticket.internalIp);
  EXPECT_EQ(4183, ticket.port);

  Oauth2Response account = Oauth2("u").parseResponse(R"({"name":"","key":"","challenge":-9007199254740993})");
  EXPECT_EQ("", account.name);
  EXPECT_EQ(-9007199254740993LL, account.challenge);
  account = Oauth2("u").parseResponse(R"({"name":"a@b.c","key":"k1","challenge":9223372036854775807})");
  EXPECT_EQ("a@b.c", account.name);
  EXPECT_EQ("k1", account.key);
  EXPECT_EQ(INT64_MAX, account.challenge);

  EXPECT_EQ("AB12", TicketCreateRequest("u", "a", "b", "", true).parseResponse(R"({"name":"AB12"})"));
}

TEST(RequestAnswers, MalformedJsonAnswersAreRefused) {
  const std::string ticketBase = R"("userName":"a","computerName":"b","uuid":"c","ip":"d")";
  TicketGetRequest ticketGet("u", "a", "c");
  for (const std::string& bad : {
           std::string("{") + ticketBase + R"(,"internalIp":"e","port":"4183"})",  // port as text
           std::string("{") + ticketBase + R"(,"port":4183})",                     // no internalIp
           std::string("{") + ticketBase + R"(,"internalIp":"e","port":70000})",   // not a port
           std::string("{") + ticketBase + R"(,"internalIp":"e","port":-1})",
           std::string("{") + ticketBase + R"(,"internalIp":"e","port":4183.5})",
           std::string("{") + ticketBase + R"(,"internalIp":7,"port":4183})",
           std::string("[1]"), std::string(""), std::string("{} trailing"), std::string("{/*c*/}"),
       }) {
    EXPECT_THROW(ticketGet.parseResponse(bad), std::exception) << bad;
  }
  Oauth2 oauth("u");
  for (const char* bad : {R"({"name":"a","key":"k","challenge":"12"})", R"({"name":"a","key":"k"})",
                          R"({"name":"a","key":"k","challenge":1.5})",
                          R"({"name":"a","key":"k","challenge":9223372036854775808})", "null"}) {
    EXPECT_THROW(oauth.parseResponse(bad), std::exception) << bad;
  }
  TicketCreateRequest create("u", "a", "b", "", true);
  for (const char* bad : {R"({"name":5})", R"({"code":"AB"})", R"("AB")"}) {
    EXPECT_THROW(create.parseResponse(bad), std::exception) << bad;
  }
}
