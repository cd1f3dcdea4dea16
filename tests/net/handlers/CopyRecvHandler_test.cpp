// The copy receiver against a scripted sender: what it writes where, the fingerprints it
// proves its copy with, the rhythm of its acks, and every hostile frame it must refuse.
#include <gtest/gtest.h>

#include <functional>

#include "net/handlers/CopyRules.h"
#include "net/handlers/CopyScript.h"
#include "support/TestSupport.h"

using namespace copytest;
using net::CopyRecvHandler;
using net::Message;
using State = net::CopyRecvHandler::State;

namespace {

const std::string kFinal = "/recv/photos/a.jpg";
const std::string kTemp = "/recv/photos/.tmp.a.jpg";

}  // namespace

// Two files: a new one, written under its temporary name in pieces, with acks in their rhythm,
// then one whose final name holds a stale copy: not shown to the sender, untouched until the
// whole file replaces it.
TEST(CopyRecv, FilesAreWrittenUnderTheTemporaryNameWithAcksInTheirRhythm) {
  RecvWorld w;
  const int64_t piece = net::DISK_PIECE, size = 3 * piece + CHUNK;
  const std::string first = pattern(static_cast<size_t>(size)), second = pattern(3 * CHUNK, 2);
  const std::string stale = second.substr(0, 2 * CHUNK) + "stale", kSecond = "/recv/photos/b.jpg";
  w.settle();
  std::vector<Frame> out = w.take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].as<net::CopyRequest>().fromPath, "/home/alice/photos");
  EXPECT_EQ(out[0].as<net::CopyRequest>().print, 14) << "SHA-256, the receiver's comparison, the pipeline";
  w.accept(2, size + 3 * CHUNK);
  const net::FileCreate file = announce("photos", "a.jpg", size, 1);
  w.send(file);
  out = w.take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(figures(out[0].as<net::FileAck>()), (std::vector<int64_t>{Message::CONTINUE, 0, 0, 0, size}));
  w.send(decide(file, 0));
  auto acked = [&] {  // bytesWritten of each ack since the last call
    std::vector<int64_t> written;
    for (const Frame& f : w.take()) written.push_back(f.as<net::FileAck>().bytesWritten);
    return written;
  };
  w.sendData(first, 0, piece - 1);
  EXPECT_TRUE(acked().empty()) << "no piece whole yet: nothing written";
  EXPECT_EQ(w.files.sizeOf(kTemp), 0);
  w.sendData(first, piece - 1, piece);
  EXPECT_EQ(acked(), std::vector<int64_t>{piece}) << "the first write that leaves the file incomplete";
  EXPECT_FALSE(w.files.has(kFinal)) << "no final name before the file is whole";
  EXPECT_LT(w.lastProgress().getOffset(), size);
  w.clock += 2000;
  w.sendData(first, piece, 2 * piece);
  EXPECT_TRUE(acked().empty()) << "2000 ms since the last one: not yet";
  w.clock += 1;
  w.sendData(first, 2 * piece, 3 * piece);
  EXPECT_EQ(acked(), std::vector<int64_t>{3 * piece});
  w.clock += 5000;
  w.sendData(first, 3 * piece);
  out = w.take();
  ASSERT_EQ(out.size(), 1u) << "the last piece completes the file: only the final ack";
  EXPECT_EQ(figures(out[0].as<net::FileAck>()), (std::vector<int64_t>{Message::CONTINUE, size, 0, size, size}))
      << "final, and more files follow";
  EXPECT_TRUE(w.files.content(kFinal) == first);
  EXPECT_FALSE(w.files.has(kTemp));

  w.files.addFile(kSecond, stale);
  const net::FileCreate held = announce("photos", "b.jpg", 3 * CHUNK);
  w.send(held);
  out = w.take();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(figures(out[0].as<net::FileAck>()), (std::vector<int64_t>{Message::CONTINUE, 0, 0, 0, 3 * CHUNK}))
      << "a final-name file this receive did not make is not held";
  w.send(decide(held, 0));
  w.sendData(second, 0, 2 * CHUNK);
  EXPECT_TRUE(w.files.content(kSecond) == stale) << "untouched while the rest comes";
  w.take();
  w.sendData(second, 2 * CHUNK);
  out = w.take();
  ASSERT_EQ(out.size(), 1u) << "data of one chunk gets only the final ack";
  EXPECT_EQ(figures(out[0].as<net::FileAck>()),
            (std::vector<int64_t>{Message::END, 3 * CHUNK, 0, 3 * CHUNK, 3 * CHUNK}));
  EXPECT_TRUE(w.files.content(kSecond) == second);
  EXPECT_FALSE(w.files.has("/recv/photos/.tmp.b.jpg"));
  EXPECT_EQ(w.ctx.closeReason, "");
  EXPECT_TRUE(w.ctx.closed);
  EXPECT_EQ(w.lastProgress().getState(), "Recv");
  EXPECT_EQ(w.lastProgress().getOffset(), 3 * CHUNK);
  for (const std::string& p : w.files.changed) EXPECT_EQ(p.rfind("/recv/photos", 0), 0u) << p;
}

// The receiver proves what it holds in whole steps, in the mode the sender asks for, and resumes
// where the sender says; a temporary file longer than the source is not held.
TEST(CopyRecv, FingerprintStepsInTheModeAskedThenResumeAtTheSendersPoint) {
  const std::string source = pattern(30000000);
  struct Case {
    int32_t mode;
    int64_t held;
    std::vector<int64_t> steps;
    int64_t resume;
  };
  for (const Case& c : {Case{1, 25000000, {MB10, 2 * MB10}, MB10}, Case{2, 25000000, {MB10, 2 * MB10}, MB10},
                        Case{0, 40000000, {0}, 0}}) {
    SCOPED_TRACE(c.mode);
    RecvWorld w;
    std::string held = source.substr(0, static_cast<size_t>(std::min<int64_t>(c.held, 30000000)));
    held.resize(static_cast<size_t>(c.held), 'x');
    held[MB10 + 5] ^= 1;  // one bad byte in the second step
    w.files.addFile(kTemp, held);
    w.accept(1, 30000000);
    w.take();
    const net::FileCreate file = announce("photos", "a.jpg", 30000000, 0, c.mode);
    w.send(file);
    const std::vector<Frame> acks = w.take();
    ASSERT_EQ(acks.size(), c.steps.size());
    for (size_t i = 0; i < acks.size(); ++i) {
      const auto& ack = acks[i].as<net::FileAck>();
      const int64_t fingerprint = fingerprintOf(held.substr(0, static_cast<size_t>(c.steps[i])), c.mode);
      EXPECT_EQ(figures(ack), (std::vector<int64_t>{Message::CONTINUE, c.steps.back(), fingerprint, c.steps[i], 30000000}))
          << "bytesWritten is the end of the last whole step";
      EXPECT_EQ(ack.fingerprintMode, c.mode);
    }
    w.send(decide(file, c.resume));  // the sender found the second step different
    EXPECT_EQ(w.files.sizeOf(kTemp), c.resume) << "cut at the resume point";
    w.sendData(source, c.resume);
    EXPECT_TRUE(w.files.content(kFinal) == source);
    EXPECT_FALSE(w.files.has(kTemp));
  }
}

TEST(CopyRecv, HeldCopyThatShrinksEndsAtTheShortRead) {
  RecvWorld w;
  const std::string held = pattern(25000000);
  w.files.addFile(kTemp, held);
  w.accept(1, 30000000);
  w.take();
  w.ctx.deliver(announce("photos", "a.jpg", 30000000));
  for (w.ctx.drain(); w.take().empty(); w.ctx.drain()) w.files.completeOne();  // up to the first ack
  w.files.resize(kTemp, 15000000);
  w.settle();
  const std::vector<Frame> acks = w.take();
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(figures(acks[0].as<net::FileAck>()),
            (std::vector<int64_t>{Message::CONTINUE, MB10, fingerprintOf(held.substr(0, MB10), 1), MB10, 30000000}))
      << "the copy ends with the last whole step: no more acks";
  EXPECT_EQ(w.handler->getState(), State::AwaitingData);
  w.send(decide(announce("photos", "a.jpg", 30000000), MB10));
  EXPECT_EQ(w.handler->getState(), State::Receiving);
}

TEST(CopyRecv, HostileNamesAreRefusedForGoodAndNothingIsWritten) {
  struct Case {
    std::string requested, path, name;
    bool allowed = false;
  };
  const std::vector<Case> cases = {
      {"/a/photos", "photos", ".."},      {"/a/photos", "photos/..", "x"},      {"/a/photos", "photos/../..", "x"},
      {"/a/photos", "/etc", "passwd"},    {"/a/photos", "photos\\..\\..", "x"}, {"/a/photos", "photos", "a\\b"},
      {"/a/photos", "photos", "a/b"},     {"/a/photos", "photos", "a\nb"},     {"/a/photos", "photos", ".tmp.a"},
      {"/a/photos", "photos/.tmp.d", "a"}, {"/a/photos", "other", "a"},         {"/a/file.txt", "", "other.txt"},
      {"/a/photos/", "photos/", "x"},     {"/a/photos", "photos//x", "a"},      {"/a/photos", "photos", ""},
      {"/a/photos", "photos", "."},       {"/a/photos", ".", "a"},
      {"/a/photos", "photos", std::string(251, 'n')},  {"/a/photos", "photos", std::string("a\0b", 3)},
      {"/a/photos", "", "photos", true},    // a single file named as the requested path
      {"/a/photos/", "photos", "x", true},  // the requested path is named without its trailing "/"
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.requested + " | " + c.path + " | " + c.name);
    RecvWorld w(c.requested);
    w.accept();
    w.send(announce(c.path, c.name, 3));
    EXPECT_EQ(w.ctx.closed, !c.allowed);
    if (c.allowed) continue;
    EXPECT_NE(w.ctx.closeReason, "");
    EXPECT_TRUE(w.handler->failedForGood());
    EXPECT_TRUE(w.files.changed.empty());
  }
}

// Every way a copy ends early: the sender's refusals and our own checks of its numbers are final,
// trouble that may pass is retried, and no failure reads as success.
TEST(CopyRecv, FailuresAreFinalOrRetriedAndNoneReadsAsSuccess) {
  const net::FileCreate file = announce("photos", "a.jpg", 1000);
  auto answer = [](int32_t status, const std::string& reason) {
    net::CopyResponse r;
    r.status = status;
    r.reason = reason;
    return r;
  };
  auto announced = [&](RecvWorld& w) { w.accept(1, 1000), w.send(file); };
  auto deciding = [&](RecvWorld& w) { announced(w), w.send(decide(file, 0)); };
  struct Case {
    std::string what;
    std::function<void(RecvWorld&)> play;
    bool final;
    std::string reason;  // part of the close reason
  };
  const std::vector<Case> cases = {
      {"not found", [&](RecvWorld& w) { w.send(answer(Message::NOT_FOUND, "Ticket not found")); }, true,
       "Ticket not found"},
      {"no files", [&](RecvWorld& w) { w.send(answer(Message::END, "No Files Found")); }, true, "No Files Found"},
      {"unreadable", [&](RecvWorld& w) { w.send(answer(Message::PERMISSION_DENIED_READ, "")); }, true,
       "refused by the sender (status " + std::to_string(Message::PERMISSION_DENIED_READ) + ")"},
      {"sender's error", [&](RecvWorld& w) { w.send(answer(Message::UNEXPECTED_ERROR, "io")); }, false, "io"},
      {"OK is no answer", [&](RecvWorld& w) { w.send(answer(Message::OK, "")); }, false,
       "refused by the sender (status 0)"},
      {"sender stopped", [&](RecvWorld& w) { announced(w), w.send(ackOf(Message::FILE_READ_ERROR)); }, false,
       "sender stopped (status 5)"},
      {"negative totals", [&](RecvWorld& w) { w.send(copyContinue(-1, 5)); }, true, "negative size in COPY_RESPONSE"},
      {"negative size", [&](RecvWorld& w) { w.accept(1, 1000), w.send(announce("photos", "a.jpg", -1)); }, true,
       "negative number in FILE_CREATE"},
      {"negative remaining files", [&](RecvWorld& w) { w.accept(1, 1000), w.send(announce("photos", "a.jpg", 1, -1)); },
       true, "negative number in FILE_CREATE"},
      {"sync 0 without sync 1", [&](RecvWorld& w) { w.accept(1, 1000), w.send(decide(file, 0)); }, true,
       "sync 0 without sync 1"},
      {"resume beyond what is held", [&](RecvWorld& w) { announced(w), w.send(decide(file, 10)); }, true,
       "resume point beyond what is held"},
      {"negative resume point", [&](RecvWorld& w) { announced(w), w.send(decide(file, -5)); }, true,
       "negative resume point"},
      {"decision for another file",
       [&](RecvWorld& w) { announced(w), w.send(decide(announce("photos", "b", 1000), 0)); }, true,
       "sync 0 for another file"},
      {"zero-length write", [&](RecvWorld& w) { deciding(w), w.sendData("", 0, 1); }, true, "empty FILE_WRITE"},
      {"wrong offset", [&](RecvWorld& w) { deciding(w), w.sendData("xx", 1); }, true, "wrong offset"},
      {"write past the size", [&](RecvWorld& w) { deciding(w), w.sendData(pattern(1002), 0); }, true,
       "past the file's size"},
      {"a file where the folder goes", [&](RecvWorld& w) { w.files.addFile("/recv/photos", "file"), announced(w); },
       true, "not a directory"},
      {"a folder where the file goes",
       [&](RecvWorld& w) { w.files.addDir("/recv/photos"), w.files.addDir(kFinal), announced(w); }, true,
       "a folder stands where the file goes"},
      {"disk full",
       [&](RecvWorld& w) {
         w.files.fault = [](FakeFiles::Op op, const std::string&) {
           return op == FakeFiles::Op::Write ? UV_ENOSPC : 0;
         };
         deciding(w), w.sendData(pattern(1000), 0);
       },
       false, "no space left on device: " + kFinal},
      {"a receive folder nobody may write in",
       [&](RecvWorld& w) {
         w.files.fault = [](FakeFiles::Op op, const std::string&) { return op == FakeFiles::Op::Mkdirs ? UV_EACCES : 0; };
         deciding(w);
       },
       true, "permission denied: " + kFinal},
      {"a read-only file system",
       [&](RecvWorld& w) {
         w.files.fault = [](FakeFiles::Op op, const std::string&) { return op == FakeFiles::Op::Open ? UV_EROFS : 0; };
         deciding(w);
       },
       true, "read-only file system"},
      {"the same file announced twice",
       [&](RecvWorld& w) {
         const net::FileCreate first = announce("photos", "b.jpg", 0, 1);
         w.accept(2, 0), w.send(first), w.send(decide(first, 0)), w.send(first);
       },
       true, "the same file announced twice"},
      {"a resume point before the comparison is answered",
       [&](RecvWorld& w) {
         w.files.addFile(kTemp, "held");
         const net::FileCreate ours = receiverCompares(file);
         w.accept(1, 1000), w.send(ours), w.send(decide(ours, 0));
       },
       true, "before the comparison was answered"},
      {"a resume point other than the one answered",
       [&](RecvWorld& w) {
         const net::FileCreate ours = receiverCompares(file);
         w.accept(1, 1000), w.send(ours), w.send(decide(ours, 4));
       },
       true, "other than the one answered"},
      {"more files announced than the pipeline holds",
       [&](RecvWorld& w) {
         w.accept(200, 0);
         for (int i = 0; i <= static_cast<int>(net::PIPELINE_FILES); ++i)
           w.send(receiverCompares(announce("photos", "f" + std::to_string(i), 0, 199 - i)));
       },
       true, "more files announced than the pipeline holds"},
      {"resume points out of the order of the files",
       [&](RecvWorld& w) {
         const net::FileCreate a = receiverCompares(announce("photos", "a.jpg", 10, 1)),
                               b = receiverCompares(announce("photos", "b.jpg", 10, 0));
         w.accept(2, 20), w.send(a), w.send(b), w.send(decide(b, 0));
       },
       true, "sync 0 for another file"},
      {"the next resume point before the data of the file before",
       [&](RecvWorld& w) {
         const net::FileCreate a = receiverCompares(announce("photos", "a.jpg", 10, 1)),
                               b = receiverCompares(announce("photos", "b.jpg", 10, 0));
         w.accept(2, 20), w.send(a), w.send(b), w.send(decide(a, 0)), w.send(decide(b, 0));
       },
       true, "before the data of the file before it"},
      {"data for a file not yet announced",
       [&](RecvWorld& w) {
         const net::FileCreate a = receiverCompares(announce("photos", "a.jpg", 10, 1));
         w.accept(2, 20), w.send(a), w.sendData(pattern(10), 0);
       },
       true, "FILE_WRITE for no file"},
      {"a file announced after the last one",
       [&](RecvWorld& w) {
         w.accept(2, 20), w.send(receiverCompares(announce("photos", "a.jpg", 10, 0)));
         w.send(receiverCompares(announce("photos", "b.jpg", 10, 0)));
       },
       true, "after the last one"},
      {"an announcement of the plain exchange ahead of the last file",
       [&](RecvWorld& w) {
         w.accept(2, 20), w.send(announce("photos", "a.jpg", 10, 1)), w.send(announce("photos", "b.jpg", 10, 0));
       },
       true, "before the last one was received"},
      {"a fingerprint for a file not announced",
       [&](RecvWorld& w) { w.accept(1, 1000), w.send(senderStep("held", 4, 4, "photos", "b.jpg")); },
       true, "fingerprint for a file not announced"},
      {"a fingerprint for another step",
       [&](RecvWorld& w) {
         w.files.addFile(kTemp, "held");
         const net::FileCreate ours = receiverCompares(file);
         w.accept(1, 1000), w.send(ours), w.send(senderStep("held", 3, 4));
       },
       true, "fingerprint for another step"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecvWorld w;
    w.settle();
    c.play(w);
    EXPECT_TRUE(w.ctx.closed);
    EXPECT_NE(w.ctx.closeReason, "");
    EXPECT_NE(w.ctx.closeReason.find(c.reason), std::string::npos) << w.ctx.closeReason;
    EXPECT_EQ(w.handler->failedForGood(), c.final);
    EXPECT_FALSE(w.files.has(kFinal) && !w.files.isDir(kFinal)) << "nothing under the final name";
    for (const auto& [p, node] : w.files.tree()) EXPECT_LE(node.size, 1000) << p;
  }
}

// A pause is acted on whatever the receiver is doing; one that comes while a file request is
// in flight waits for it. Every phase ends the same way: COPY_PAUSE, then "Paused". And the
// connection can go in any phase: a request in flight keeps the buffer it uses until it is done
// (the sanitizer build would see it freed otherwise).
TEST(CopyRecv, PauseOrTheConnectionGoingInEveryPhase) {
  const std::string source = pattern(2 * CHUNK), step = pattern(MB10);
  const net::FileCreate file = announce("photos", "a.jpg", 2 * CHUNK), more = announce("photos", "a.jpg", 2 * CHUNK, 1);
  const net::FileCreate big = announce("photos", "a.jpg", MB10), ours = receiverCompares(file);
  auto inFlight = [](RecvWorld& w, State state) {  // steps on until a request of that state is in flight
    for (int i = 0; i < 1000 && !(w.handler->getState() == state && w.files.pending() > 0); ++i) {
      w.ctx.drain();
      w.ctx.deliverReady();
      if (!(w.handler->getState() == state && w.files.pending() > 0)) w.files.completeOne();
    }
    ASSERT_EQ(w.handler->getState(), state);
  };
  const std::vector<std::pair<std::string, std::function<void(RecvWorld&)>>> phases = {
      {"requesting", [](RecvWorld& w) { w.settle(); }},
      {"awaiting file", [](RecvWorld& w) { w.accept(); }},
      {"locating", [&](RecvWorld& w) { w.accept(), w.ctx.deliver(file), inFlight(w, State::Locating); }},
      {"fingerprinting",
       [&](RecvWorld& w) {
         w.files.addFile(kTemp, step), w.accept(), w.ctx.deliver(big);
         inFlight(w, State::Fingerprinting);
       }},
      {"comparing",
       [&](RecvWorld& w) {
         w.files.addFile(kFinal, source.substr(0, CHUNK)), w.accept(), w.ctx.deliver(ours);
         inFlight(w, State::Comparing);
       }},
      {"awaiting data", [&](RecvWorld& w) { w.accept(), w.send(file); }},
      {"preparing",
       [&](RecvWorld& w) { w.accept(), w.send(file), w.ctx.deliver(decide(file, 0)), inFlight(w, State::Preparing); }},
      {"copying a held prefix",
       [&](RecvWorld& w) {
         w.files.addFile(kFinal, source.substr(0, CHUNK));
         w.accept(), w.send(ours), w.send(senderStep(source, CHUNK, CHUNK)), w.ctx.deliver(decide(ours, CHUNK));
         for (int i = 0; i < 3; ++i) w.files.completeOne();  // both opens and a read: a write is in flight
       }},
      {"receiving",
       [&](RecvWorld& w) {
         const std::string data = pattern(net::DISK_PIECE);
         const net::FileCreate large = announce("photos", "a.jpg", net::DISK_PIECE + 1);
         w.accept(), w.send(large), w.send(decide(large, 0));
         for (int64_t at = 0; at < net::DISK_PIECE; at += CHUNK)
           w.ctx.deliverFrame(writeFrame(at, data.substr(static_cast<size_t>(at), CHUNK)));
         ASSERT_EQ(w.files.pending(), 1u) << "a piece is being written";
       }},
      {"finishing, more files to come",
       [&](RecvWorld& w) {
         w.accept(), w.send(more), w.send(decide(more, 0)), w.sendData(source, 0, CHUNK);
         w.ctx.deliverFrame(writeFrame(CHUNK, source.substr(CHUNK)));
         inFlight(w, State::Finishing);
       }},
  };
  for (const bool gone : {false, true})
    for (const auto& [name, reach] : phases) {
      SCOPED_TRACE(name);
      RecvWorld w;
      reach(w);
      ASSERT_FALSE(w.ctx.closed);
      if (gone) {
        connectionGone(w);
        continue;
      }
      w.take();
      w.handler->pause();
      EXPECT_TRUE(w.files.pending() == 0 || !w.ctx.closed) << "a pause waits for the request in flight";
      w.settle();
      const std::vector<Frame> out = w.take();
      ASSERT_FALSE(out.empty());
      EXPECT_EQ(out.back().opcode(), Message::COPY_PAUSE);
      EXPECT_EQ(w.ctx.closeReason, "Paused");
      EXPECT_FALSE(w.handler->failedForGood());
      EXPECT_EQ(w.files.pending(), 0u);
    }
}

// A sender faster than the disk: every write that completes finds the next piece in, so a write
// is always in flight. The pause must not wait for a moment without one.
TEST(CopyRecv, APauseTakesEffectWhileIncomingDataKeepsTheDiskBusy) {
  const std::string data = pattern(16 * net::DISK_PIECE);
  const net::FileCreate large = announce("photos", "a.jpg", static_cast<int64_t>(data.size()));
  RecvWorld w;
  w.accept(), w.send(large), w.send(decide(large, 0));
  int64_t at = 0;
  const auto nextPiece = [&] {
    for (const int64_t end = at + net::DISK_PIECE; at < end; at += CHUNK)
      w.ctx.deliverFrame(writeFrame(at, data.substr(static_cast<size_t>(at), CHUNK)));
  };
  nextPiece(), nextPiece();
  ASSERT_EQ(w.files.pending(), 1u) << "a piece is being written";
  w.take();
  w.handler->pause();
  for (int i = 0; i < 8 && !w.ctx.closed; ++i) {
    nextPiece();
    w.ctx.drain();
    w.files.completeOne();
  }
  EXPECT_TRUE(w.ctx.closed) << "the pause waited for the disk to fall idle";
  w.settle();
  const std::vector<Frame> out = w.take();
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back().opcode(), Message::COPY_PAUSE);
  EXPECT_EQ(w.ctx.closeReason, "Paused");
  EXPECT_LT(at, static_cast<int64_t>(data.size()));
}

TEST(CopyRecv, ASenderThatGoesQuietStallsTheCopyButOurOwnWorkDoesNot) {
  // Stalled exactly when the sender has been quiet for longer than `allowed`.
  auto stallsAfter = [](RecvWorld& w, int64_t allowed, bool byLoop = false) {
    w.clock += static_cast<uint64_t>(allowed);
    w.handler->handleTimer();
    EXPECT_FALSE(w.ctx.closed);
    w.clock += 1;
    if (byLoop)
      testsupport::runUntil(w.loop, [&] { return w.ctx.closed; }, 5000);
    else
      w.handler->handleTimer();
    EXPECT_EQ(w.ctx.closeReason, "transfer stalled");
    EXPECT_FALSE(w.handler->failedForGood());
  };
  RecvWorld quiet;
  quiet.settle();
  stallsAfter(quiet, CopyRecvHandler::STALL_MS);

  // After two fingerprint steps the sender may take 10 s more for each.
  RecvWorld comparing;
  comparing.files.addFile(kTemp, pattern(25000000));
  comparing.accept();
  comparing.send(announce("photos", "a.jpg", 30000000));
  ASSERT_EQ(comparing.handler->getState(), State::AwaitingData);
  stallsAfter(comparing, CopyRecvHandler::STALL_MS + 2 * CopyRecvHandler::STALL_PER_STEP_MS);

  // A slow write of ours is not the sender's silence; and the loop's own timer does the checking.
  RecvWorld writing;
  const net::FileCreate file = announce("photos", "a.jpg", CHUNK, 1);
  writing.accept(), writing.send(file), writing.send(decide(file, 0));
  writing.ctx.deliverFrame(writeFrame(0, pattern(CHUNK)));
  writing.clock += 10 * CopyRecvHandler::STALL_MS;
  writing.handler->handleTimer();
  EXPECT_FALSE(writing.ctx.closed);
  writing.files.completeAll();
  stallsAfter(writing, CopyRecvHandler::STALL_MS, true);
}

// The sender decides while a fingerprint step is still being read (it compares one step behind
// the receiver); the step is dropped, and the next file, which has nothing held, starts clean.
TEST(CopyRecv, ADecisionDuringAStepReadLeavesNothingForTheNextFile) {
  RecvWorld w;
  const std::string first = pattern(25000000);
  w.files.addFile(kTemp, first);
  w.accept(2, 25000000);
  w.take();
  const net::FileCreate file = announce("photos", "a.jpg", 25000000, 1);
  w.ctx.deliver(file);
  bool acked = false;
  for (int i = 0; i < 100 && !(acked && w.files.pending() > 0); ++i) {
    w.ctx.drain();  // the first step's ack goes out, and the second step starts being read
    acked = acked || !w.take().empty();
    if (!acked) w.files.completeOne();
  }
  ASSERT_GT(w.files.pending(), 0u) << "the second step is being read";
  w.ctx.deliver(decide(file, MB10));
  w.settle();
  w.sendData(first, MB10);
  EXPECT_TRUE(w.files.content(kFinal) == first);
  const net::FileCreate empty = announce("photos", "b.jpg", 0);
  w.send(empty);
  w.send(decide(empty, 0));
  EXPECT_EQ(w.ctx.closeReason, "");
  EXPECT_TRUE(w.files.has("/recv/photos/b.jpg"));
}

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
