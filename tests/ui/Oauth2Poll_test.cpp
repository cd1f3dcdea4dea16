#include "ui/Oauth2Poll.h"

#include <gtest/gtest.h>

namespace {

using Step = Oauth2Poll::Step;

TEST(Oauth2PollTest, OneQuestionAtATimeUntilTheAnswerSaysSomething) {
  Oauth2Poll poll;
  EXPECT_EQ(poll.tick(false), Step::Stop);  // not started
  poll.start();
  ASSERT_EQ(poll.tick(false), Step::Ask);
  poll.asked(5);
  EXPECT_EQ(poll.tick(false), Step::Wait);  // never two in flight
  EXPECT_TRUE(poll.answer(5, "", ""));      // not finished in the browser yet
  ASSERT_EQ(poll.tick(false), Step::Ask);
  poll.asked(6);
  EXPECT_FALSE(poll.answer(5, "late@x.y", ""));  // an old answer counts for nothing
  EXPECT_EQ(poll.tick(false), Step::Wait);
  EXPECT_TRUE(poll.answer(6, "ann@x.y", ""));
  EXPECT_EQ(poll.tick(false), Step::Succeeded);
  EXPECT_EQ(poll.name(), "ann@x.y");
}

TEST(Oauth2PollTest, AfterAFailureACancelOrARestartOnlyTheNewQuestionCounts) {
  Oauth2Poll poll;
  poll.start();
  ASSERT_EQ(poll.tick(false), Step::Ask);
  poll.asked(1);
  EXPECT_TRUE(poll.answer(1, "", "denied"));
  EXPECT_EQ(poll.tick(false), Step::Failed);
  EXPECT_EQ(poll.error(), "denied");

  poll.start();  // a new sign-in forgets the old outcome
  EXPECT_EQ(poll.error(), "");
  ASSERT_EQ(poll.tick(false), Step::Ask);
  poll.asked(2);
  EXPECT_EQ(poll.tick(true), Step::Stop);  // the user pressed Cancel
  poll.stop();
  EXPECT_FALSE(poll.answer(2, "x@y.z", ""));  // answered after the stop: ignored
  EXPECT_EQ(poll.name(), "");
  EXPECT_EQ(poll.questionInFlight(), 0);

  poll.start();
  ASSERT_EQ(poll.tick(false), Step::Ask);
  poll.asked(3);
  poll.stop();
  poll.start();
  EXPECT_EQ(poll.tick(false), Step::Wait);      // 3 is still in flight
  EXPECT_FALSE(poll.answer(3, "old@x.y", ""));  // answers the old sign-in: ignored
  ASSERT_EQ(poll.tick(false), Step::Ask);
  poll.asked(4);
  EXPECT_FALSE(poll.answer(0, "zero@x.y", ""));
  EXPECT_EQ(poll.tick(false), Step::Wait);
}

}  // namespace
