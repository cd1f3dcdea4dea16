// The copy sender against a scripted receiver: refusals, the fingerprint comparison and where
// it resumes, the chunks, a source that changes under it, the acks it must not take for final.
#include <gtest/gtest.h>

#include "net/handlers/CopyScript.h"
#include "net/messages/CopyPause.h"
#include "support/TestSupport.h"

using namespace copytest;
using net::Message;
using State = net::CopyRequestHandler::State;

namespace {

const std::string kOffered = "/home/alice/a.txt";

// The receiver's fingerprint ack of the first `length` bytes of `held`.
net::FileAck fingerprintAck(const std::string& held, int64_t length, int32_t mode, int64_t size) {
  net::FileAck a;
  a.status = Message::CONTINUE;
  a.fingerprint = fingerprintOf(held.substr(0, static_cast<size_t>(length)), mode);
  a.fingerprintLength = length;
  a.bytesWritten = std::min<int64_t>(static_cast<int64_t>(held.size()), size);
  a.totalSize = size;
  a.appendMode = 1;
  a.fingerprintMode = mode;
  return a;
}

// The file data of the FILE_WRITE frames among `frames`, checked to follow on from `from`.
std::string dataOf(const std::vector<Frame>& frames, int64_t from) {
  std::string data;
  for (const Frame& f : frames) {
    if (f.opcode() != Message::FILE_WRITE) continue;
    const auto& w = f.as<net::FileWrite>();
    EXPECT_EQ(w.offset, from + static_cast<int64_t>(data.size()));
    data.append(reinterpret_cast<const char*>(w.data), static_cast<size_t>(w.length));
  }
  return data;
}

// A sender of `size` bytes of `source` whose receiver holds nothing: the decision is out and
// the first chunk is being read.
void startSending(SendWorld& w, const std::string& source) {
  w.files.addFile(kOffered, source);
  w.start();
  w.take();
  w.ctx.deliver(fingerprintAck("", 0, 2, static_cast<int64_t>(source.size())));
  w.ctx.drain();
  ASSERT_EQ(w.files.pending(), 1u);
}

}  // namespace

TEST(CopySend, RefusalsTellTheReceiverWhyBeforeAnyFile) {
  struct Case {
    std::string what;
    std::function<void(SendWorld&)> setUp;
    int32_t status;
    std::string reason;
    int verifies;  // the web server is asked only about a request for an offer that exists
  };
  const std::vector<Case> cases = {
      {"unknown code", [](SendWorld& w) { w.request.ticket = "OTHER"; }, Message::NOT_FOUND, "Ticket not found", 0},
      {"path not offered", [](SendWorld& w) { w.request.fromPath = "/etc"; }, Message::NOT_FOUND, "Ticket not found",
       0},
      {"no user name", [](SendWorld& w) { w.request.myUserName = ""; }, Message::NOT_FOUND, "Ticket not found", 0},
      {"not vouched for", [](SendWorld& w) { w.verifyStatus = 403; }, Message::NOT_FOUND, "Ticket not found", 1},
      {"web server away", [](SendWorld& w) { w.verifyStatus = 503; }, Message::TIMEOUT,
       "web server failed: Authentication error", 1},
      {"path gone", [](SendWorld&) {}, Message::NOT_FOUND, "no such file or directory", 1},
      {"unreadable",
       [](SendWorld& w) {
         w.files.addFile(kOffered, "x");
         w.files.fault = [](FakeFiles::Op, const std::string&) { return UV_EACCES; };
       },
       Message::PERMISSION_DENIED_READ, "permission denied", 1},
      {"only empty folders", [](SendWorld& w) { w.files.addDir(kOffered), w.files.addDir(kOffered + "/sub"); },
       Message::END, "No Files Found", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SendWorld w(kOffered);
    c.setUp(w);
    w.start();
    const std::vector<Frame> out = w.take();
    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0].opcode(), Message::COPY_RESPONSE);
    EXPECT_EQ(out[0].as<net::CopyResponse>().status, c.status);
    EXPECT_EQ(out[0].as<net::CopyResponse>().reason, c.reason);
    EXPECT_EQ(w.ctx.closeReason, c.reason);
    EXPECT_EQ(w.ctx.verifies, c.verifies);
  }
}

// A new file: announced for comparison in the mode the receiver knows, then sent whole in
// 61416-byte chunks; the progress reaches the size only with the receiver's final ack.
TEST(CopySend, FileGoesOutInChunksAndCountsAsDoneOnlyWithTheFinalAck) {
  const std::string source = pattern(CHUNK + 1);
  for (int32_t print : {0, 2}) {
    SCOPED_TRACE(print);
    SendWorld w(kOffered, print);
    w.files.addFile(kOffered, source);
    w.start();
    std::vector<Frame> out = w.take();
    ASSERT_EQ(out.size(), 2u);
    const auto& response = out[0].as<net::CopyResponse>();
    EXPECT_EQ(std::make_tuple(response.status, response.totalFiles, response.totalBytes),
              std::make_tuple(Message::CONTINUE, 1, int64_t{CHUNK + 1}));
    const auto& announced = out[1].as<net::FileCreate>();
    EXPECT_EQ(std::make_tuple(announced.sync, announced.path, announced.fileName),
              std::make_tuple(1, std::string(), std::string("a.txt")));
    EXPECT_EQ(announced.fingerprintMode, print == 2 ? 2 : 1) << "the strong mode only for a receiver that knows it";

    w.send(fingerprintAck("", 0, announced.fingerprintMode, CHUNK + 1));
    out = w.take();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].as<net::FileCreate>().sync, 0);
    EXPECT_EQ(out[0].as<net::FileCreate>().append, 0);
    EXPECT_EQ(out[1].as<net::FileWrite>().length, CHUNK);
    EXPECT_TRUE(dataOf(out, 0) == source);
    EXPECT_LT(w.ctx.progress.back().getOffset(), CHUNK + 1);

    w.send(ackOf(Message::END, CHUNK + 1));
    out = w.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].as<net::FileAck>().status, Message::END);
    EXPECT_TRUE(w.ctx.closed);
    EXPECT_EQ(w.ctx.closeReason, "");
    EXPECT_EQ(w.ctx.progress.back().getOffset(), CHUNK + 1);
  }
}

// The receiver holds 25,000,000 bytes of a 30,000,000-byte file: acks at 10, 20 and 25 MB. The
// sender resumes after the last step that matches, in either mode. Fletcher64 is blind to a
// byte whose lower neighbour in its word has the top bit set; SHA-256 is not.
TEST(CopySend, ResumesAfterTheLastMatchingFingerprintStep) {
  std::string source = pattern(30000000);
  source[MB10 + 6] = static_cast<char>(0x80);
  struct Case {
    int32_t mode;
    int64_t badByte;  // -1: none
    int64_t resume;
  };
  for (const Case& c : {Case{1, -1, 25000000}, Case{1, MB10 + 8, MB10}, Case{1, 2 * MB10 + 4, 2 * MB10}, Case{1, 4, 0},
                        Case{1, MB10 + 7, 25000000} /* unseen */, Case{2, -1, 25000000}, Case{2, MB10 + 7, MB10},
                        Case{2, 2 * MB10 + 3, 2 * MB10}, Case{2, 5, 0}}) {
    SCOPED_TRACE(std::to_string(c.mode) + " " + std::to_string(c.badByte));
    SendWorld w(kOffered, c.mode == 2 ? 2 : 0);
    w.files.addFile(kOffered, source);
    w.start();
    w.take();
    std::string held = source.substr(0, 25000000);
    if (c.badByte >= 0) held[static_cast<size_t>(c.badByte)] ^= 0x40;
    for (int64_t step : {MB10, 2 * MB10, int64_t{25000000}})
      w.ctx.deliver(fingerprintAck(held, step, c.mode, 30000000));
    w.settle();
    const std::vector<Frame> out = w.take();
    ASSERT_GT(out.size(), 1u);
    const auto& decision = out[0].as<net::FileCreate>();
    EXPECT_EQ(std::make_tuple(decision.sync, decision.append, decision.appendLength),
              std::make_tuple(0, c.resume > 0 ? 1 : 0, c.resume));
    EXPECT_EQ(out[1].as<net::FileWrite>().offset, c.resume);
    EXPECT_FALSE(w.ctx.closed) << "the fingerprint acks after the decision change nothing";
  }
}

// A whole copy that differs early: its last fingerprint ack carries bytesWritten = size, but
// is no final ack; only the receiver's real one completes the file.
TEST(CopySend, StaleFingerprintAckIsNotTakenForTheFinalAck) {
  const std::string source = pattern(15000000);
  SendWorld w("/home/alice/dir");
  w.files.addFile("/home/alice/dir/a", source);
  w.files.addFile("/home/alice/dir/b", "second");
  w.start();
  std::string held = source;
  held[3] ^= 1;
  w.send(fingerprintAck(held, MB10, 2, 15000000));
  EXPECT_TRUE(dataOf(w.take(), 0) == source);
  w.send(fingerprintAck(held, 15000000, 2, 15000000));
  EXPECT_EQ(w.handler->getState(), State::Sending);
  w.send(ackOf(Message::CONTINUE, 15000000));
  const std::vector<Frame> next = w.take();
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(next[0].as<net::FileCreate>().fileName, "b") << "the next file, compared with its own size";
  EXPECT_EQ(next[0].as<net::FileCreate>().path, "dir");
}

TEST(CopySend, ASourceThatChangesIsNeverReportedComplete) {
  const std::string source = pattern(3 * CHUNK);
  struct Case {
    std::string what;
    std::function<void(SendWorld&)> change;  // while the first chunk is read
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"short reads are no end", [](SendWorld& w) { w.files.shortReads = 1000; }, ""},
      {"shrinks", [](SendWorld& w) { w.files.resize(kOffered, CHUNK); }, "file changed"},
      {"grows", [](SendWorld& w) { w.files.resize(kOffered, 4 * CHUNK); }, "file changed"},
      {"rewritten", [](SendWorld& w) { w.files.touch(kOffered); }, "file changed"},
      {"vanishes", [](SendWorld& w) { w.files.fault = [](FakeFiles::Op, const std::string&) { return UV_ENOENT; }; },
       "no such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SendWorld w(kOffered);
    startSending(w, source);
    c.change(w);
    w.settle();
    const std::vector<Frame> out = w.take();
    if (c.reason.empty()) {
      EXPECT_TRUE(dataOf(out, 0) == source);
      EXPECT_FALSE(w.ctx.closed);
      continue;
    }
    EXPECT_LT(dataOf(out, 0).size(), source.size()) << "the last chunk is held back";
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back().as<net::FileAck>().reason, c.reason);
    EXPECT_NE(out.back().as<net::FileAck>().status, Message::CONTINUE);
    EXPECT_EQ(w.ctx.closeReason, c.reason);
    w.send(ackOf(Message::END, 3 * CHUNK));
    EXPECT_NE(w.ctx.progress.back().getOffset(), 3 * CHUNK);
  }
}

TEST(CopySend, FingerprintAcksOutOfBoundsAreRefused) {
  for (const auto& [length, bytesWritten] : std::vector<std::pair<int64_t, int64_t>>{
           {MB10 + 1, MB10 + 1}, {30000001, 30000001}, {MB10, MB10 - 1}, {-1, 5}}) {
    SCOPED_TRACE(length);
    SendWorld w(kOffered);
    w.files.addSparse(kOffered, 30000000);
    w.start();
    w.take();
    net::FileAck ack = fingerprintAck("", 0, 2, 30000000);
    ack.fingerprintLength = length;
    ack.bytesWritten = bytesWritten;
    w.send(ack);
    const std::vector<Frame> out = w.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].as<net::FileAck>().status, Message::UNEXPECTED_ERROR);
    EXPECT_EQ(w.ctx.closeReason, "sync: wrong fingerprintLength");
  }
}

// The receiver's pause ends the copy in any phase; during a read the answer waits for it. And
// the connection can go while a chunk is read into its send buffer: the buffer stays until the
// read is done (the sanitizer build would see it freed otherwise).
TEST(CopySend, PauseIsAnsweredInKindWhateverIsInFlightAndTheConnectionCanGo) {
  const std::string source = pattern(3 * CHUNK);
  SendWorld verifying(kOffered);
  verifying.verifyStatus = 0;
  verifying.start();
  verifying.send(net::CopyPause());
  const std::vector<Frame> out = verifying.take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].as<net::CopyResponse>().status, Message::PAUSED);
  EXPECT_EQ(verifying.ctx.closeReason, "Paused");

  for (const bool gone : {false, true})
    for (const bool comparing : {true, false}) {
      SCOPED_TRACE(comparing);
      SendWorld w(kOffered);
      if (comparing) {
        w.files.addFile(kOffered, source);
        w.start();
        net::FileAck first = fingerprintAck(source, CHUNK, 2, 3 * CHUNK);
        first.bytesWritten = 2 * CHUNK;  // more to compare
        w.send(first);
      } else {
        startSending(w, source);
      }
      if (gone) {
        connectionGone(w);
        continue;
      }
      w.take();
      w.ctx.deliver(net::CopyPause());
      w.settle();
      const std::vector<Frame> out = w.take();
      ASSERT_FALSE(out.empty());
      EXPECT_EQ(out.back().as<net::FileAck>().status, Message::PAUSED);
      EXPECT_EQ(out.back().as<net::FileAck>().reason, "Paused");
      EXPECT_EQ(w.ctx.closeReason, "Paused");
      EXPECT_EQ(w.files.pending(), 0u);
    }
}

// A receiver that compares by itself says what it holds; this side sends SHA-256 fingerprints
// of that prefix, step by step, and resumes where the receiver answers. Nothing held needs no
// answer. An answer beyond what this side has sent fingerprints for is refused.
TEST(CopySend, TheReceiversOwnComparisonGetsFingerprintsOfWhatItHolds) {
  const std::string source = pattern(25000000);
  auto heldAck = [](int64_t held, int64_t fingerprintLength = 0) {
    net::FileAck a;
    a.status = Message::CONTINUE;
    a.bytesWritten = held;
    a.fingerprintLength = fingerprintLength;
    return a;
  };
  struct Case {
    std::string what;
    int64_t held;
    std::vector<int64_t> steps;  // the fingerprints sent
    int64_t answer;              // -1: none
    std::string failure;
  };
  const std::vector<Case> cases = {
      {"nothing held", 0, {}, -1, ""},
      {"all of it matches", 25000000, {MB10, 2 * MB10, 25000000}, 25000000, ""},
      {"the second step differs", 25000000, {MB10, 2 * MB10, 25000000}, MB10, ""},
      {"more than the file", 25000001, {}, -1, "sync: wrong held length"},
      {"an answer beyond what is held", 25000000, {MB10, 2 * MB10, 25000000}, 25000001, "sync: wrong resume point"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SendWorld w(kOffered, 6);
    w.files.addFile(kOffered, source);
    w.start();
    std::vector<Frame> out = w.take();
    const auto& announced = out.back().as<net::FileCreate>();
    EXPECT_EQ(std::make_pair(announced.sync, announced.fingerprintMode), std::make_pair(2, 2));
    std::vector<Frame> seen;
    auto collect = [&] {
      for (Frame& f : w.take()) seen.push_back(std::move(f));
    };
    w.ctx.deliver(heldAck(c.held));
    w.settle();
    collect();
    if (c.answer >= 0) w.ctx.deliver(heldAck(c.answer, c.answer));
    w.settle();
    collect();
    if (!c.failure.empty()) {
      EXPECT_EQ(w.ctx.closeReason, c.failure);
      continue;
    }
    ASSERT_GT(seen.size(), c.steps.size());
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const auto& step = seen[i].as<net::FileAck>();
      EXPECT_EQ(step.fingerprintLength, c.steps[i]);
      EXPECT_EQ(step.fingerprint, fingerprintOf(source.substr(0, static_cast<size_t>(c.steps[i])), 2));
      EXPECT_EQ(step.bytesWritten, c.held);
    }
    const int64_t resume = std::max<int64_t>(c.answer, 0);
    const auto& decision = seen[c.steps.size()].as<net::FileCreate>();
    EXPECT_EQ(std::make_tuple(decision.sync, decision.appendLength), std::make_tuple(0, resume));
    EXPECT_TRUE(dataOf(seen, resume) == source.substr(static_cast<size_t>(resume)));
  }
}

// A receiver that says nothing while this side waits for it ends the copy, on this side too;
// this side's own reads are no silence of the receiver.
TEST(CopySend, AReceiverThatGoesQuietStallsTheSender) {
  SendWorld w(kOffered, 6);
  w.files.addFile(kOffered, pattern(3 * CHUNK));
  w.start();
  w.take();
  w.clock += net::CopyRequestHandler::STALL_MS;
  testsupport::runUntil(w.loop, [] { return false; }, 1100);
  EXPECT_FALSE(w.ctx.closed);
  w.ctx.deliver(net::FileAck(fingerprintAck("", 0, 2, 3 * CHUNK)));  // nothing held: the data starts
  w.ctx.drain();
  ASSERT_EQ(w.files.pending(), 1u) << "a chunk is being read";
  w.clock += 10 * net::CopyRequestHandler::STALL_MS;
  testsupport::runUntil(w.loop, [] { return false; }, 1100);
  EXPECT_FALSE(w.ctx.closed) << "our own read is in flight";
  w.settle();
  w.clock += net::CopyRequestHandler::STALL_MS + 1;
  testsupport::runUntil(w.loop, [&] { return w.ctx.closed; }, 5000);
  EXPECT_EQ(w.ctx.closeReason, "transfer stalled");
  w.settle();
  const std::vector<Frame> out = w.take();
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back().as<net::FileAck>().status, Message::TIMEOUT);
}
