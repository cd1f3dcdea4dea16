// The seven web-server calls as they go out (exact paths and queries) and as their answers are
// read. Nothing here touches the network.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "p2p/requests/ForgotPassword.h"
#include "p2p/requests/Login.h"
#include "p2p/requests/Oauth2.h"
#include "p2p/requests/Register.h"
#include "p2p/requests/TicketCreate.h"
#include "p2p/requests/TicketGet.h"
#include "p2p/requests/Verify.h"
#include "support/TestSupport.h"
#include "utils/Sha1.h"

using namespace p2p;

namespace {

template <class Request, class... Args>
std::function<std::string()> pathOf(Args... args) {
  return [=] { return Request(args...).path.str(); };
}

// Login's challenge is random: take it from the path and put it, and the key proof it must
// carry, where "<c>" and "<k>" stand.
std::string fillChallenge(const std::string& expected, const std::string& actual) {
  std::smatch match;
  if (!std::regex_search(actual, match, std::regex("&challenge=([0-9]+)&"))) return expected;
  std::string proof;
  Sha1::getInstance().makeEncodedDigest(match[1].str() + "KEY", proof);
  return std::regex_replace(std::regex_replace(expected, std::regex("<c>"), match[1].str()), std::regex("<k>"), proof);
}

const char* const kEmail = "ann@example.com";

}  // namespace

TEST(RequestPaths, AreExactWithEveryValueEncodedOnce) {
  const std::vector<std::pair<std::function<std::string()>, std::string>> cases = {
      {pathOf<LoginRequest>("abc-123", kEmail, "KEY", "g/1 2", true),
       "Login?uuid=abc-123&name=ann%40example.com&key=KEY&challenge=<c>&chkey=<k>&grid=g%2F1%202"},
      {pathOf<LoginRequest>("a&b=c", "", "KEY", "", false), "Login?uuid=a%26b%3Dc&name=&challenge=<c>&chkey=<k>"},
      {pathOf<Register>("u1", "bob+x@example.com", "k/1"),  // the name goes twice
       "Register?uuid=u1&name=bob%2Bx%40example.com&key=k%2F1&email=bob%2Bx%40example.com&verify=true"},
      {pathOf<VerifyRequest>("me", "peer 1", "p@x.org", "10.0.0.5", "s+g/="),
       "Verify?myuuid=me&uuid=peer%201&name=p%40x.org&ip=10.0.0.5&sig=s%2Bg%2F%3D"},
      {pathOf<ForgotPassword>("a b@c.d"), "ForgotPassword?name=a%20b%40c.d"},
      {pathOf<Oauth2>("u 1"), "Oauth2response?uuid=u%201"},
      {pathOf<TicketCreateRequest>("u", kEmail, "d@e.f", " \t\n ", true),  // blank text is no text
       "TicketCreate?uuid=u&username=ann%40example.com&toUsername=d%40e.f&sendEmail=true&text="},
      {pathOf<TicketCreateRequest>("u", kEmail, "d", " ~~~>>? \n", false),  // trimmed, base64 with + and /
       "TicketCreate?uuid=u&username=ann%40example.com&toUsername=d&sendEmail=true&text=fn5%2BPj4%2F"},
      {pathOf<TicketGetRequest>("u", kEmail, "AB-12/x y"),
       "TicketGet?uuid=u&username=ann%40example.com&name=AB-12%2Fx%20y"},
  };
  for (const auto& [build, expected] : cases) {
    std::string actual = build();
    EXPECT_EQ(fillChallenge(expected, actual), actual);
  }
  // A fresh positive challenge each time, so that an old proof is worth nothing.
  const std::regex login("Login\\?uuid=u&name=n&challenge=([1-9][0-9]*)&chkey=[0-9a-f]{40}");
  std::string a = LoginRequest("u", "n", "k", "", false).path.str(),
              b = LoginRequest("u", "n", "k", "", false).path.str();
  std::smatch first, second;
  ASSERT_TRUE(std::regex_match(a, first, login) && std::regex_match(b, second, login)) << a << " " << b;
  EXPECT_NE(first[1], second[1]);
}

TEST(RequestArguments, EmptyOrBadOnesAreRefused) {
  const std::vector<std::pair<std::function<std::string()>, std::string>> cases = {
      {pathOf<LoginRequest>("", "n", "k", "", false), "uuid is empty"},
      {pathOf<LoginRequest>("u", "n", "", "", true), "userkey is empty"},  // asked to send a key it lacks
      {pathOf<ForgotPassword>(""), "username is empty"},
      {pathOf<TicketCreateRequest>("u", "a", "", "t", true), "toUsername is empty"},
      {pathOf<TicketGetRequest>("u", "a", ""), "code is empty"},
      {pathOf<TicketGetRequest>("u", "a", "AB12\n"), "code has control characters"},
      {pathOf<TicketGetRequest>("u", "a", "AB\x7f"), "code has control characters"},
  };
  for (const auto& [build, message] : cases) EXPECT_EQ(message, testsupport::failureOf([&] { build(); }));
}

TEST(RequestAnswers, DecimalAnswersReadLikeStoll) {
  LoginRequest login("u", "n", "k", "", false);
  for (const auto& [body, value] : std::vector<std::pair<std::string, long long>>{
           {"  42", 42}, {"42abc", 42}, {"-7\n", -7}, {"9223372036854775807", INT64_MAX}})
    EXPECT_EQ(value, login.parseResponse(body)) << body;
  for (const char* bad : {"", "abc", " \n", "9223372036854775808"})
    EXPECT_THROW(login.parseResponse(bad), std::exception) << bad;
  EXPECT_TRUE(VerifyRequest("m", "p", "n", "", "").parseResponse("false"));  // only its status counts
}

TEST(RequestAnswers, JsonAnswersReadTheirMembers) {
  const std::string body = R"({"userName":"ann@x.org","computerName":"box","uuid":"u-1","ip":"1.2.3.4",
                               "internalIp":"10.0.0.2","port":4183,"extra":[1,2]})";
  TicketGetResponse t = TicketGetRequest("u", "a", "c").parseResponse(body);
  EXPECT_EQ("ann@x.org box u-1 1.2.3.4 10.0.0.2 4183", t.userName + " " + t.computerName + " " + t.uuid + " " + t.ip +
                                                           " " + t.internalIp + " " + std::to_string(t.port));
  // Beyond 2^53: read as an integer, not through a double.
  EXPECT_EQ(-9007199254740993LL,
            Oauth2("u").parseResponse(R"({"name":"","key":"","challenge":-9007199254740993})").challenge);
}

TEST(RequestAnswers, MalformedJsonAnswersAreRefused) {
  const auto ticketGet = [](const std::string& body) { TicketGetRequest("u", "a", "c").parseResponse(body); };
  const auto oauth2 = [](const std::string& body) { Oauth2("u").parseResponse(body); };
  const std::string ticket = R"({"userName":"a","computerName":"b","uuid":"c","ip":"d")";
  const std::vector<std::pair<std::function<void(const std::string&)>, std::string>> cases = {
      {ticketGet, ticket + R"(,"port":4183})"},  // no internalIp
      {ticketGet, ticket + R"(,"internalIp":"e","port":"4183"})"},
      {ticketGet, ticket + R"(,"internalIp":"e","port":70000})"},
      {ticketGet, ticket + R"(,"internalIp":"e","port":4183.5})"},
      {oauth2, R"({"name":"a","key":"k","challenge":"12"})"},
      {oauth2, R"({"name":"a","key":"k","challenge":1.5})"},
      {oauth2, R"({"name":"a","key":"k","challenge":9223372036854775808})"},
      {[](const std::string& body) { TicketCreateRequest("u", "a", "b", "", true).parseResponse(body); },
       R"({"name":5})"},
  };
  for (const auto& [parse, body] : cases) EXPECT_THROW(parse(body), std::exception) << body;
}
