// The copy receiver against a scripted sender: what it writes where, the fingerprints it
// proves its copy with, the rhythm of its acks, and every hostile frame it must refuse.
#include <gtest/gtest.h>

#include <functional>

#include "net/handlers/CopyScript.h"
#include "net/messages/CopyPause.h"
#include "support/TestSupport.h"

using namespace copytest;
using net::CopyRecvHandler;
using net::Message;
using State = net::CopyRecvHandler::State;

namespace {

const std::string kFinal = "/recv/photos/a.jpg";
const std::string kTemp = "/recv/photos/.tmp.a.jpg";

bool outsideReceiveFolder(const std::vector<std::string>& paths) {
  for (const std::string& p : paths)
    if (p != "/recv" && p.compare(0, 6, "/recv/") != 0) return true;
  return false;
}

}  // namespace

TEST(CopyRecv, NewFileGoesToTheTemporaryNameAndIsRenamedOnlyWhenWhole) {
  RecvWorld w;
  const std::string source = pattern(CHUNK + 1);
  w.settle();
  std::vector<Frame> out = w.take();
  ASSERT_EQ(out.size(), 1u);
  const auto& request = out[0].as<net::CopyRequest>();
  EXPECT_EQ(request.fromPath, "/home/alice/photos");
  EXPECT_EQ(request.ticket, "CODE");
  EXPECT_EQ(request.print, 2) << "our receiver announces the strong fingerprint";
  EXPECT_EQ(request.mySignature, "signed:alice-uuid");
  EXPECT_EQ(request.direction, 1);

  w.accept(1, static_cast<int64_t>(source.size()));
  const net::FileCreate file = announce("photos", "a.jpg", static_cast<int64_t>(source.size()));
  w.send(file);
  out = w.take();
  ASSERT_EQ(out.size(), 1u);
  const auto& nothingHeld = out[0].as<net::FileAck>();
  EXPECT_EQ(nothingHeld.fingerprintLength, 0);
  EXPECT_EQ(nothingHeld.bytesWritten, 0);
  EXPECT_EQ(nothingHeld.totalSize, static_cast<int64_t>(source.size()));

  w.send(decide(file, 0));
  w.sendData(source, 0, CHUNK);
  EXPECT_TRUE(w.files.has(kTemp));
  EXPECT_FALSE(w.files.has(kFinal)) << "no final name before the file is whole";
  EXPECT_LT(w.lastProgress().getOffset(), w.lastProgress().getSize());
  w.sendData(source, CHUNK);

  EXPECT_TRUE(w.files.content(kFinal) == source);
  EXPECT_FALSE(w.files.has(kTemp));
  out = w.take();
  ASSERT_FALSE(out.empty());
  const auto& final = out.back().as<net::FileAck>();
  EXPECT_EQ(final.status, Message::END);
  EXPECT_EQ(final.bytesWritten, static_cast<int64_t>(source.size()));
  EXPECT_EQ(final.fingerprint, 0);
  EXPECT_EQ(final.fingerprintLength, static_cast<int64_t>(source.size()));
  EXPECT_TRUE(w.ctx.closed);
  EXPECT_EQ(w.ctx.closeReason, "");
  EXPECT_EQ(w.lastProgress().getState(), "Recv");
  EXPECT_EQ(w.lastProgress().getOffset(), static_cast<int64_t>(source.size()));
  EXPECT_FALSE(outsideReceiveFolder(w.files.changed));
}

TEST(CopyRecv, ProgressAcksAtOnceThenAtMostEveryTwoSecondsThenTheFinalAck) {
  RecvWorld w;
  const std::string source = pattern(6 * CHUNK);
  w.accept(2, 2 * static_cast<int64_t>(source.size()));
  const net::FileCreate file = announce("photos", "a.jpg", static_cast<int64_t>(source.size()), 1);
  w.send(file);
  w.send(decide(file, 0));
  w.take();
  auto progressAcks = [&] {
    size_t n = 0;
    for (const Frame& f : w.take()) n += f.as<net::FileAck>().bytesWritten < static_cast<int64_t>(source.size());
    return n;
  };
  w.sendData(source, 0, CHUNK);
  EXPECT_EQ(progressAcks(), 1u) << "the first write that leaves the file incomplete";
  w.clock += 1000;
  w.sendData(source, CHUNK, 2 * CHUNK);
  w.clock += 1000;
  w.sendData(source, 2 * CHUNK, 3 * CHUNK);
  EXPECT_EQ(progressAcks(), 0u) << "2000 ms since the last one: not yet";
  w.clock += 1;
  w.sendData(source, 3 * CHUNK, 4 * CHUNK);
  EXPECT_EQ(progressAcks(), 1u);
  w.clock += 5000;
  w.sendData(source, 4 * CHUNK);
  const std::vector<Frame> out = w.take();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].as<net::FileAck>().bytesWritten, 5 * CHUNK);
  const auto& final = out[1].as<net::FileAck>();
  EXPECT_EQ(final.status, Message::CONTINUE) << "more files follow";
  EXPECT_EQ(final.bytesWritten, static_cast<int64_t>(source.size()));

  const std::string small = pattern(100, 2);
  const net::FileCreate one = announce("photos", "b.jpg", 100, 0);
  w.send(one);
  w.send(decide(one, 0));
  w.take();
  w.sendData(small, 0);
  const std::vector<Frame> last = w.take();
  ASSERT_EQ(last.size(), 1u) << "a file of one chunk gets only the final ack";
  EXPECT_EQ(last[0].as<net::FileAck>().status, Message::END);
}

// The receiver proves what it holds step by step, in the mode the sender asks for, and resumes
// where the sender says; a temporary file longer than the source is compared and cut at the size.
TEST(CopyRecv, FingerprintStepsInTheModeAskedThenResumeAtTheSendersPoint) {
  const std::string source = pattern(30000000);
  struct Case {
    int32_t mode;
    int64_t held;
    std::vector<int64_t> steps;
  };
  for (const Case& c : {Case{1, 25000000, {MB10, 2 * MB10, 25000000}}, Case{2, 25000000, {MB10, 2 * MB10, 25000000}},
                        Case{0, 40000000, {MB10, 2 * MB10, 3 * MB10}}}) {
    SCOPED_TRACE(c.mode);
    RecvWorld w;
    w.files.addDir("/recv/photos");
    std::string held = source.substr(0, static_cast<size_t>(std::min<int64_t>(c.held, 30000000)));
    held.resize(static_cast<size_t>(c.held), 'x');
    held[MB10 + 5] ^= 1;  // one bad byte in the second step
    w.files.addFile(kTemp, held);
    w.accept(1, static_cast<int64_t>(source.size()));
    w.take();
    const net::FileCreate file = announce("photos", "a.jpg", static_cast<int64_t>(source.size()), 0, c.mode);
    w.send(file);
    const std::vector<Frame> acks = w.take();
    ASSERT_EQ(acks.size(), c.steps.size());
    const int64_t compared = std::min<int64_t>(c.held, 30000000);
    for (size_t i = 0; i < acks.size(); ++i) {
      const auto& ack = acks[i].as<net::FileAck>();
      EXPECT_EQ(ack.fingerprintLength, c.steps[i]);
      EXPECT_EQ(ack.bytesWritten, compared);
      EXPECT_EQ(ack.totalSize, 30000000);
      EXPECT_EQ(ack.fingerprintMode, c.mode);
      EXPECT_EQ(ack.fingerprint, fingerprintOf(held.substr(0, static_cast<size_t>(c.steps[i])), c.mode)) << i;
    }
    w.send(decide(file, MB10));  // the sender found the second step different
    EXPECT_EQ(w.files.sizeOf(kTemp), MB10) << "cut at the resume point";
    w.sendData(source, MB10);
    EXPECT_TRUE(w.files.content(kFinal) == source);
    EXPECT_FALSE(w.files.has(kTemp));
  }
}

TEST(CopyRecv, HeldFinalNameIsReplacedOnlyByTheWholeFile) {
  const std::string source = pattern(3 * CHUNK);
  RecvWorld w;
  w.files.addDir("/recv/photos");
  std::string old = source.substr(0, 2 * CHUNK) + "stale";
  w.files.addFile(kFinal, old);
  w.accept(1, static_cast<int64_t>(source.size()));
  const net::FileCreate file = announce("photos", "a.jpg", static_cast<int64_t>(source.size()));
  w.send(file);
  w.send(decide(file, 2 * CHUNK));
  EXPECT_TRUE(w.files.content(kFinal) == old) << "untouched while the rest comes";
  EXPECT_TRUE(w.files.content(kTemp) == source.substr(0, 2 * CHUNK)) << "the matching prefix, copied";
  w.sendData(source, 2 * CHUNK);
  EXPECT_TRUE(w.files.content(kFinal) == source);
  EXPECT_FALSE(w.files.has(kTemp));
}

TEST(CopyRecv, HeldCopyThatShrinksEndsAtTheShortRead) {
  const std::string source = pattern(30000000);
  RecvWorld w;
  w.files.addDir("/recv/photos");
  w.files.addFile(kTemp, source.substr(0, 25000000));
  w.accept(1, static_cast<int64_t>(source.size()));
  w.take();
  w.ctx.deliver(announce("photos", "a.jpg", 30000000));
  w.ctx.drain();
  while (w.take().empty()) {  // up to the first ack
    w.files.completeOne();
    w.ctx.drain();
  }
  w.files.resize(kTemp, 15000000);
  w.settle();
  const std::vector<Frame> acks = w.take();
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].as<net::FileAck>().fingerprintLength, 15000000);
  EXPECT_EQ(acks[0].as<net::FileAck>().bytesWritten, 15000000) << "the copy ends here: no more acks";
  EXPECT_EQ(w.handler->getState(), State::AwaitingData);
  w.send(decide(announce("photos", "a.jpg", 30000000), 15000000));
  EXPECT_EQ(w.handler->getState(), State::Receiving);
}

TEST(CopyRecv, HostileNamesAreRefusedForGoodAndNothingIsWritten) {
  struct Case {
    std::string requested, path, name;
  };
  const std::vector<Case> cases = {
      {"/a/photos", "photos", ".."},          {"/a/photos", "photos/..", "x"},     {"/a/photos", "photos/../..", "x"},
      {"/a/photos", "/etc", "passwd"},        {"/a/photos", "photos\\..\\..", "x"}, {"/a/photos", "photos", "a\\b"},
      {"/a/photos", "photos", "a/b"},         {"/a/photos", "photos", std::string("a\0b", 3)},
      {"/a/photos", "photos", "a\nb"},        {"/a/photos", "photos", ".tmp.a"},  {"/a/photos", "photos/.tmp.d", "a"},
      {"/a/photos", "other", "a"},            {"/a/photos", "", "photos"} /* allowed: see below */,
      {"/a/file.txt", "", "other.txt"},       {"/a/photos/", "photos/", "x"},
      {"/a/photos", "photos//x", "a"},        {"/a/photos", "photos", ""},        {"/a/photos", "photos", "."},
      {"/a/photos", ".", "a"},                {"/a/photos", "photos", std::string(251, 'n')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.requested + " | " + c.path + " | " + c.name);
    RecvWorld w(c.requested);
    w.accept();
    w.send(announce(c.path, c.name, 3));
    if (c.path.empty() && c.name == "photos") {
      EXPECT_FALSE(w.ctx.closed) << "a single file named as the requested path is in place";
      continue;
    }
    EXPECT_TRUE(w.ctx.closed);
    EXPECT_NE(w.ctx.closeReason, "");
    EXPECT_TRUE(w.handler->failedForGood());
    EXPECT_EQ(w.files.started(FakeFiles::Op::Exists), 0u);
    EXPECT_TRUE(w.files.changed.empty());
  }
  RecvWorld trailing("/a/photos/");
  trailing.accept();
  trailing.send(announce("photos", "x", 3));
  EXPECT_FALSE(trailing.ctx.closed) << "a requested path ending in / is named without it";
}

TEST(CopyRecv, HostileNumbersAreRefusedForGood) {
  const std::string data = pattern(1000);
  const net::FileCreate file = announce("photos", "a.jpg", 1000);
  struct Case {
    std::string what;
    std::function<void(RecvWorld&)> play;
  };
  const std::vector<Case> cases = {
      {"negative size", [&](RecvWorld& w) { w.send(announce("photos", "a.jpg", -1)); }},
      {"negative remaining files", [&](RecvWorld& w) { w.send(announce("photos", "a.jpg", 1, -1)); }},
      {"sync 0 without sync 1", [&](RecvWorld& w) { w.send(decide(file, 0)); }},
      {"resume beyond what is held", [&](RecvWorld& w) { w.send(file), w.send(decide(file, 10)); }},
      {"negative resume point",
       [&](RecvWorld& w) {
         net::FileCreate back = decide(file, 0);
         back.append = 1;
         back.appendLength = -5;
         w.send(file), w.send(back);
       }},
      {"decision for another file", [&](RecvWorld& w) { w.send(file), w.send(decide(announce("photos", "b", 1000), 0)); }},
      {"zero-length write",
       [&](RecvWorld& w) { w.send(file), w.send(decide(file, 0)), w.ctx.deliverFrame(writeFrame(0, "")), w.settle(); }},
      {"wrong offset",
       [&](RecvWorld& w) { w.send(file), w.send(decide(file, 0)), w.ctx.deliverFrame(writeFrame(1, "x")), w.settle(); }},
      {"write past the size",
       [&](RecvWorld& w) { w.send(file), w.send(decide(file, 0)), w.sendData(data + "xx", 0); }},
      {"negative totals", [&](RecvWorld& w) { w.send(copyContinue(-1, 5)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RecvWorld w;
    w.settle();
    if (c.what != "negative totals") w.send(copyContinue(1, 1000));
    c.play(w);
    EXPECT_TRUE(w.ctx.closed);
    EXPECT_NE(w.ctx.closeReason, "");
    EXPECT_TRUE(w.handler->failedForGood());
    EXPECT_FALSE(w.files.has(kFinal));
    for (const std::string& p : w.files.paths()) EXPECT_LE(w.files.sizeOf(p), 1000) << p;
  }
}

TEST(CopyRecv, SenderRefusalsAreFinalOtherFailuresAreRetriedAndNoFailureReadsAsSuccess) {
  struct Case {
    int32_t status;
    std::string reason;
    bool final;
  };
  for (const Case& c : {Case{Message::NOT_FOUND, "Ticket not found", true}, Case{Message::END, "No Files Found", true},
                        Case{Message::PERMISSION_DENIED_READ, "", true}, Case{Message::UNEXPECTED_ERROR, "io", false},
                        Case{Message::OK, "", false}}) {
    SCOPED_TRACE(c.status);
    RecvWorld w;
    w.settle();
    net::CopyResponse refusal;
    refusal.status = c.status;
    refusal.reason = c.reason;
    w.send(refusal);
    EXPECT_TRUE(w.ctx.closed);
    EXPECT_EQ(w.ctx.closeReason, c.reason.empty() ? "refused by the sender (status " + std::to_string(c.status) + ")" : c.reason);
    EXPECT_EQ(w.handler->failedForGood(), c.final);
  }
  RecvWorld midway;
  midway.accept();
  midway.send(announce("photos", "a.jpg", 10));
  midway.send(ackOf(Message::FILE_READ_ERROR));
  EXPECT_EQ(midway.ctx.closeReason, "sender stopped (status 5)");
  EXPECT_FALSE(midway.handler->failedForGood());
}

TEST(CopyRecv, LocalObstaclesThatWillStayAreFinal) {
  RecvWorld fileForFolder;
  fileForFolder.files.addFile("/recv/photos", "a file where the folder goes");
  fileForFolder.accept();
  const net::FileCreate nested = announce("photos", "a.jpg", 10);
  fileForFolder.send(nested);
  EXPECT_TRUE(fileForFolder.ctx.closed);
  EXPECT_TRUE(fileForFolder.handler->failedForGood());

  RecvWorld folderForFile;
  folderForFile.files.addDir("/recv/photos");
  folderForFile.files.addDir(kFinal);
  folderForFile.accept();
  folderForFile.send(announce("photos", "a.jpg", 10));
  EXPECT_TRUE(folderForFile.ctx.closed);
  EXPECT_TRUE(folderForFile.handler->failedForGood());
  EXPECT_TRUE(folderForFile.files.isDir(kFinal));

  RecvWorld diskFull;
  diskFull.files.fault = [](FakeFiles::Op op, const std::string&) { return op == FakeFiles::Op::Write ? UV_ENOSPC : 0; };
  diskFull.accept();
  diskFull.send(nested);
  diskFull.send(decide(nested, 0));
  diskFull.sendData(pattern(10), 0);
  EXPECT_TRUE(diskFull.ctx.closed);
  EXPECT_NE(diskFull.ctx.closeReason.find("no space"), std::string::npos) << diskFull.ctx.closeReason;
  EXPECT_FALSE(diskFull.handler->failedForGood());
  EXPECT_FALSE(diskFull.files.has(kFinal));
}

// A pause is acted on whatever the receiver is doing; one that comes while a file request is
// in flight waits for it. Every phase ends the same way: COPY_PAUSE, then "Paused".
TEST(CopyRecv, PauseInEveryPhaseSendsCopyPauseAndClosesPaused) {
  const std::string source = pattern(2 * CHUNK);
  struct Phase {
    std::string name;
    std::function<void(RecvWorld&)> reach;
  };
  const net::FileCreate file = announce("photos", "a.jpg", static_cast<int64_t>(source.size()));
  auto step = [](RecvWorld& w, State state) {  // stops with a request of that state in flight
    for (int i = 0; i < 1000 && !(w.handler->getState() == state && w.files.pending() > 0); ++i) {
      w.ctx.drain();
      w.ctx.deliverReady();
      if (!(w.handler->getState() == state && w.files.pending() > 0)) w.files.completeOne();
    }
    ASSERT_EQ(w.handler->getState(), state);
  };
  const std::vector<Phase> phases = {
      {"requesting", [](RecvWorld& w) { w.settle(); }},
      {"awaiting file", [](RecvWorld& w) { w.accept(); }},
      {"locating (exists in flight)", [&](RecvWorld& w) { w.accept(), w.ctx.deliver(file), step(w, State::Locating); }},
      {"fingerprinting (read in flight)",
       [&](RecvWorld& w) {
         w.files.addDir("/recv/photos"), w.files.addFile(kTemp, source), w.accept(), w.ctx.deliver(file);
         step(w, State::Fingerprinting);
       }},
      {"awaiting data", [&](RecvWorld& w) { w.accept(), w.send(file); }},
      {"preparing (mkdirs in flight)",
       [&](RecvWorld& w) { w.accept(), w.send(file), w.ctx.deliver(decide(file, 0)), step(w, State::Preparing); }},
      {"copying a held prefix",
       [&](RecvWorld& w) {
         w.files.addDir("/recv/photos"), w.files.addFile(kFinal, source.substr(0, CHUNK));
         w.accept(), w.send(file), w.ctx.deliver(decide(file, CHUNK));
         for (int i = 0; i < 3; ++i) w.files.completeOne();  // both opens and a read: a write is in flight
       }},
      {"receiving (write in flight)",
       [&](RecvWorld& w) {
         w.accept(), w.send(file), w.send(decide(file, 0));
         w.ctx.deliverFrame(writeFrame(0, source.substr(0, CHUNK)));
         ASSERT_EQ(w.files.pending(), 1u);
       }},
      {"finishing (rename in flight), more files to come",
       [&](RecvWorld& w) {
         const net::FileCreate file = announce("photos", "a.jpg", static_cast<int64_t>(source.size()), 1);
         w.accept(), w.send(file), w.send(decide(file, 0)), w.sendData(source, 0, CHUNK);
         w.ctx.deliverFrame(writeFrame(CHUNK, source.substr(CHUNK)));
         step(w, State::Finishing);
       }},
  };
  for (const Phase& phase : phases) {
    SCOPED_TRACE(phase.name);
    RecvWorld w;
    phase.reach(w);
    ASSERT_FALSE(w.ctx.closed);
    w.take();
    w.handler->pause();
    w.settle();
    const std::vector<Frame> out = w.take();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back().opcode(), Message::COPY_PAUSE);
    EXPECT_TRUE(w.ctx.closed);
    EXPECT_EQ(w.ctx.closeReason, "Paused");
    EXPECT_FALSE(w.handler->failedForGood());
    EXPECT_EQ(w.files.pending(), 0u);
  }
}

// The connection can go while a write from its receive buffer is on the pool: the buffer stays
// until the write is done (the sanitizer build would see it freed otherwise).
TEST(CopyRecv, ConnectionGoneDuringAWriteKeepsItsBufferUntilTheWriteIsDone) {
  RecvWorld w;
  const std::string source = pattern(CHUNK);
  const net::FileCreate file = announce("photos", "a.jpg", CHUNK);
  w.accept(), w.send(file), w.send(decide(file, 0));
  w.ctx.deliverFrame(writeFrame(0, source));
  ASSERT_EQ(w.files.pending(), 1u);
  w.handler.reset();
  w.ctx.dropBuffers();
  w.files.completeAll();
  EXPECT_TRUE(w.files.content(kTemp) == source);
}

TEST(CopyRecv, ASenderThatGoesQuietStallsTheCopyButOurOwnWorkDoesNot) {
  RecvWorld quiet;
  quiet.settle();
  quiet.clock += CopyRecvHandler::STALL_MS;
  quiet.handler->handleTimer();
  EXPECT_FALSE(quiet.ctx.closed);
  quiet.clock += 1;
  quiet.handler->handleTimer();
  EXPECT_EQ(quiet.ctx.closeReason, "transfer stalled");
  EXPECT_FALSE(quiet.handler->failedForGood());

  // After three fingerprint steps the sender may take 10 s more for each.
  RecvWorld comparing;
  comparing.files.addDir("/recv/photos");
  comparing.files.addFile(kTemp, pattern(25000000));
  comparing.accept();
  comparing.send(announce("photos", "a.jpg", 30000000));
  ASSERT_EQ(comparing.handler->getState(), State::AwaitingData);
  comparing.clock += CopyRecvHandler::STALL_MS + 3 * CopyRecvHandler::STALL_PER_STEP_MS;
  comparing.handler->handleTimer();
  EXPECT_FALSE(comparing.ctx.closed);
  comparing.clock += 1;
  comparing.handler->handleTimer();
  EXPECT_EQ(comparing.ctx.closeReason, "transfer stalled");

  // A slow write of ours is not the sender's silence.
  RecvWorld writing;
  const net::FileCreate file = announce("photos", "a.jpg", 2 * CHUNK);
  writing.accept(), writing.send(file), writing.send(decide(file, 0));
  writing.ctx.deliverFrame(writeFrame(0, pattern(CHUNK)));
  writing.clock += 10 * CopyRecvHandler::STALL_MS;
  writing.handler->handleTimer();
  EXPECT_FALSE(writing.ctx.closed);
  writing.files.completeAll();
  writing.clock += CopyRecvHandler::STALL_MS;
  writing.handler->handleTimer();
  EXPECT_FALSE(writing.ctx.closed);

  // And the loop's own timer does the checking.
  writing.clock += 1;
  EXPECT_TRUE(testsupport::runUntil(writing.loop, [&] { return writing.ctx.closed; }, 5000));
  EXPECT_EQ(writing.ctx.closeReason, "transfer stalled");
}
