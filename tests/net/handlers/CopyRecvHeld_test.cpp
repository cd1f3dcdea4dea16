// The copy receiver and the files already in its receive folder: what a sender can learn of
// them, the one guess it is answered and the bound on guessing, the files this receive made
// itself, links, and the order in which a file reaches the disk.
#include <gtest/gtest.h>

#include "net/handlers/CopyRules.h"
#include "net/handlers/CopyScript.h"

using namespace copytest;
using net::Message;

namespace {

const std::string kFinal = "/recv/photos/a.jpg";
const std::string kTemp = "/recv/photos/.tmp.a.jpg";

}  // namespace

// A sender may name any file of the receive folder. Run against two different secrets of the
// same length, the receiver says exactly the same things: the sender learns sizes and the
// resume point, never a value it could test guesses against. Each attack is several
// connections of one receive, as the receiver's own retries would make them.
TEST(CopyRecv, ASenderLearnsNothingOfTheReceiversFilesButSizesAndTheResumePoint) {
  struct Case {
    std::string what;
    std::string where;  // the secret's name
    int64_t secretSize;
    int32_t mode;  // fingerprint mode asked for; -1: the receiver's own comparison
    std::vector<int64_t> announced;
  };
  const std::vector<int64_t> growing = {8, 16, 24, 32, 40, 48, 56, 64, 72};
  const std::vector<Case> cases = {
      {"nine connections, Xor64", kFinal, 58, 0, growing},
      {"nine connections, Fletcher64", kFinal, 58, 1, growing},
      {"nine connections, SHA-256", kFinal, 58, 2, growing},
      {"a temporary file under one step", kTemp, 58, 0, {58, 64}},
      {"a held copy longer than the file", kTemp, MB10 + 58, 0, {MB10}},
      {"the receiver's comparison, a wrong guess", kFinal, 58, -1, {58, 58, 58}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::vector<int8_t>> said[2];
    for (int run = 0; run < 2; ++run) {
      const std::string secret = pattern(static_cast<size_t>(c.secretSize), 7 + run);
      auto memory = std::make_shared<net::ReceiveMemory>();
      for (int64_t size : c.announced) {
        RecvWorld w("/home/alice/photos", memory);
        w.files.addFile(c.where, secret);
        w.accept();
        net::FileCreate file = announce("photos", "a.jpg", size, 0, std::max(c.mode, 0));
        if (c.mode < 0) file = receiverCompares(file);
        w.send(file);
        if (c.mode < 0) w.send(senderStep(pattern(static_cast<size_t>(size), 99), size, size));
        for (const Frame& f : w.take())
          said[run].push_back(std::vector<int8_t>(f.bytes.begin(), f.bytes.end()));
        EXPECT_TRUE(w.files.content(c.where) == secret) << "nothing written";
        connectionGone(w);
      }
    }
    EXPECT_EQ(said[0], said[1]);
  }
}

// The receiver's comparison answers whether the sender's own guess of the held prefix is right,
// once per connection and file; a sender that ends after the answer without data, three times
// in a row, loses the path for good. Data that comes resets the count.
TEST(CopyRecv, TheReceiversComparisonAnswersOneGuessAndBoundsGuessing) {
  const std::string held = pattern(58, 7);
  auto connect = [&](const std::shared_ptr<net::ReceiveMemory>& memory, const std::string& guess) {
    auto w = std::make_unique<RecvWorld>("/home/alice/photos", memory);
    w->files.addFile(kFinal, held);
    w->accept();
    w->take();
    const net::FileCreate file = receiverCompares(announce("photos", "a.jpg", 100));
    w->send(file);
    std::vector<Frame> out = w->take();
    EXPECT_EQ(figures(out.at(0).as<net::FileAck>()), (std::vector<int64_t>{Message::CONTINUE, 58, 0, 0, 100}))
        << "what is held";
    w->send(senderStep(guess, 58, 58));
    return w;
  };
  auto answerOf = [](RecvWorld& w) {
    const std::vector<Frame> out = w.take();
    return out.empty() ? int64_t{-1} : out.back().as<net::FileAck>().bytesWritten;
  };
  auto memory = std::make_shared<net::ReceiveMemory>();
  std::unique_ptr<RecvWorld> right = connect(memory, held + "tail");
  EXPECT_EQ(answerOf(*right), 58) << "the held prefix is the sender's";
  right->send(net::FileCreate(decide(receiverCompares(announce("photos", "a.jpg", 100)), 58)));
  right->sendData(held + std::string(42, 't'), 58);
  EXPECT_EQ(right->files.content(kFinal), held + std::string(42, 't'));
  EXPECT_EQ(right->ctx.closeReason, "");

  for (int attempt = 1; attempt <= 4; ++attempt) {
    SCOPED_TRACE(attempt);
    std::unique_ptr<RecvWorld> w = connect(memory, pattern(58, 8));
    if (attempt <= 3) {
      EXPECT_EQ(answerOf(*w), 0);
      EXPECT_FALSE(w->ctx.closed);
      continue;  // and the sender goes
    }
    EXPECT_EQ(answerOf(*w), -1) << "no fourth answer";
    EXPECT_TRUE(w->handler->failedForGood());
    EXPECT_NE(w->ctx.closeReason.find("3 times in a row"), std::string::npos) << w->ctx.closeReason;
  }
}

// Of a final-name file, only one this receive completed itself, unchanged since, is compared in
// the plain exchange: a retry after it finds it whole and writes nothing.
TEST(CopyRecv, AFileThisReceiveCompletedIsComparedUnderItsFinalNameNextTime) {
  const std::string source = pattern(3 * CHUNK);
  const net::FileCreate file = announce("photos", "a.jpg", 3 * CHUNK, 0, 2);
  struct Case {
    std::string what;
    bool sameReceive, touched;
    int64_t held;
  };
  for (const Case& c : {Case{"completed by this receive", true, false, 3 * CHUNK},
                        Case{"by another receive", false, false, 0}, Case{"changed since", true, true, 0}}) {
    SCOPED_TRACE(c.what);
    auto memory = std::make_shared<net::ReceiveMemory>();
    RecvWorld first("/home/alice/photos", memory);
    first.accept();
    first.send(file);
    first.send(decide(file, 0));
    first.sendData(source, 0);
    ASSERT_TRUE(first.files.content(kFinal) == source);

    RecvWorld again("/home/alice/photos", c.sameReceive ? memory : nullptr);
    again.files = first.files;
    if (c.touched) again.files.touch(kFinal);
    again.accept();
    again.take();
    again.send(file);
    const std::vector<Frame> out = again.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].as<net::FileAck>().bytesWritten, c.held);
    if (c.held == 0) continue;
    again.files.changed.clear();
    again.send(decide(file, c.held));
    EXPECT_TRUE(again.files.changed.empty()) << "whole already: nothing written";
    EXPECT_EQ(again.ctx.closeReason, "");
  }
}

// A link under the temporary name would carry the data outside the receive folder: it is
// removed. A link under the final name is no copy of the file, in either exchange; the rename
// replaces the link itself. What the links point to is never touched.
TEST(CopyRecv, LinksAreNeitherComparedNorWrittenThrough) {
  const std::string source = pattern(2 * CHUNK), outside = "/elsewhere/secret", secret = pattern(2 * CHUNK, 5);
  struct Case {
    std::string what, link;
    bool ours;
  };
  for (const Case& c : {Case{"temporary name, plain exchange", kTemp, false},
                        Case{"temporary name, receiver's comparison", kTemp, true},
                        Case{"final name, plain exchange", kFinal, false},
                        Case{"final name, receiver's comparison", kFinal, true}}) {
    SCOPED_TRACE(c.what);
    RecvWorld w;
    w.files.addFile(outside, secret);
    w.files.addDir("/recv/photos");
    w.files.addLink(c.link, outside);
    w.accept();
    w.take();
    net::FileCreate file = announce("photos", "a.jpg", 2 * CHUNK, 0, 2);
    if (c.ours) file = receiverCompares(file);
    w.send(file);
    const std::vector<Frame> out = w.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].as<net::FileAck>().bytesWritten, 0) << "nothing held";
    w.send(decide(file, 0));
    w.sendData(source, 0);
    EXPECT_EQ(w.ctx.closeReason, "");
    EXPECT_TRUE(w.files.content(outside) == secret);
    EXPECT_FALSE(w.files.isLink(kFinal));
    EXPECT_TRUE(w.files.content(kFinal) == source);
  }
}

// The data reaches the disk before the final name, and the rename before the final ack.
TEST(CopyRecv, DataAndRenameReachTheDiskBeforeTheFileIsAcknowledged) {
  RecvWorld w;
  const std::string source = pattern(CHUNK);
  const net::FileCreate file = announce("photos", "a.jpg", CHUNK);
  w.accept();
  w.send(file);
  w.send(decide(file, 0));
  w.take();
  w.ctx.deliverFrame(writeFrame(0, source));
  size_t journalAtAck = 0;
  for (int i = 0; i < 100 && journalAtAck == 0; ++i) {
    w.files.completeOne();
    w.ctx.drain();
    if (!w.take().empty()) journalAtAck = w.files.journal.size();
  }
  EXPECT_EQ(w.files.journal, (std::vector<std::string>{"flush " + kTemp, "rename " + kTemp + " " + kFinal,
                                                       "flushFolder /recv/photos"}));
  EXPECT_EQ(journalAtAck, 3u);
}
