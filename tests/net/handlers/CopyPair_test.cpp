// Our receiver against our sender, in memory: whole trees arrive identical, held copies are
// resumed, and offsets above 4 GiB travel and land where they belong.
#include <gtest/gtest.h>

#include <set>

#include "net/handlers/CopyScript.h"

using namespace copytest;

TEST(CopyPair, FolderTreeArrivesIdenticalAndHeldCopiesAreResumed) {
  PairWorld w("/home/alice/photos/", "/home/alice/photos/");
  FakeFiles &from = w.sender.files, &to = w.receiver.files;
  from.addDir("/home/alice/photos/empty folder");
  const std::vector<std::pair<std::string, std::string>> tree = {
      {"a.jpg", pattern(CHUNK + 1, 1)},
      {"sub/empty", ""},
      {"sub/deep/c.bin", pattern(CHUNK, 2)},
      {"sub/\xc3\xbcn\xc3\xaf.txt", "non-ascii"},
      {"sub/deep/held.bin", pattern(2 * CHUNK, 3)},
      {"whole.bin", pattern(1000, 4)},
  };
  for (const auto& f : tree) from.addFile("/home/alice/photos/" + f.first, f.second);
  // An earlier attempt left part of one file (one byte wrong) and all of another.
  std::string partial = pattern(2 * CHUNK, 3).substr(0, CHUNK + 10);
  partial[CHUNK + 5] ^= 1;
  to.addFile("/recv/photos/sub/deep/.tmp.held.bin", partial);
  to.addFile("/recv/photos/whole.bin", pattern(1000, 4));

  w.run();
  EXPECT_TRUE(w.receiver.ctx.closed);
  EXPECT_EQ(w.receiver.ctx.closeReason, "");
  EXPECT_EQ(w.sender.ctx.closeReason, "");
  for (const auto& [name, content] : tree) {
    const std::string local = "/recv/photos/" + name;
    ASSERT_TRUE(to.has(local)) << name;
    EXPECT_TRUE(to.content(local) == content) << name;
    bool reported = false;  // a "Recv" notification says it is whole
    for (const net::CopyProgress& p : w.receiver.ctx.progress)
      reported |= p.getLocalPath() == local && p.getState() == "Recv" && p.getOffset() == int64_t(content.size()) &&
                  p.getReason().empty();
    EXPECT_TRUE(reported) << name;
  }
  for (const auto& [p, node] : to.tree()) EXPECT_EQ(p.find(".tmp."), std::string::npos) << p;
  for (const std::string& p : to.changed) EXPECT_NE(p, "/recv/photos/whole.bin") << "whole already: not written";
  EXPECT_FALSE(to.has("/recv/photos/empty folder")) << "folders have no message of their own";
}

// A held copy of more than 4 GiB whose last steps differ: compared with the strong
// fingerprint on both sides, resumed above 4 GiB, completed identical.
TEST(CopyPair, OffsetsAboveFourGibibytes) {
  const int64_t size = 4320000000;  // steps of 10,000,000: the one from 4,300,000,000 differs
  PairWorld w("/home/alice/big.bin", "/home/alice/big.bin");
  FakeFiles &from = w.sender.files, &to = w.receiver.files;
  from.addSparse("/home/alice/big.bin", size);
  for (int64_t at : {int64_t{7}, int64_t{4294967296}, int64_t{4305000000}, size - 1})
    from.setByte("/home/alice/big.bin", at, static_cast<char>(0xA5));
  to.addSparse("/recv/.tmp.big.bin", 4310000000);
  for (int64_t at : {int64_t{7}, int64_t{4294967296}}) to.setByte("/recv/.tmp.big.bin", at, static_cast<char>(0xA5));

  w.run();
  EXPECT_EQ(w.receiver.ctx.closeReason, "");
  ASSERT_TRUE(to.has("/recv/big.bin"));
  ASSERT_EQ(to.sizeOf("/recv/big.bin"), size);
  for (int64_t at = 0; at < size; at += FakeFiles::BLOCK)
    ASSERT_TRUE(from.bytes("/home/alice/big.bin", at, FakeFiles::BLOCK) ==
                to.bytes("/recv/big.bin", at, FakeFiles::BLOCK))
        << at;
  std::vector<int64_t> offsets;
  for (const auto& frame : w.sender.ctx.sent)
    if (Frame f = decodeFrame(frame); f.opcode() == net::Message::FILE_WRITE)
      offsets.push_back(f.as<net::FileWrite>().offset);
  ASSERT_FALSE(offsets.empty());
  EXPECT_EQ(offsets[0], 4300000000) << "resumed at the start of the step that differs";
  EXPECT_EQ(offsets.size(), static_cast<size_t>((size - 4300000000 + CHUNK - 1) / CHUNK));
}

// Either side against a peer that knows only the older exchange (print 0, as a receiver built
// to those rules sends it): the sender keeps the lock-step rhythm, one file announced after the
// final ack of the last, in the sender's comparison with Fletcher64; the tree still arrives,
// resumed where it was held. Against our receiver's own print the same tree is pipelined.
TEST(CopyPair, APeerOfTheOlderExchangeGetsTheLockStepRhythmOnEitherSide) {
  for (const int32_t print : {0, -1}) {
    SCOPED_TRACE(print);
    PairWorld w("/home/alice/tree", "/home/alice/tree");
    w.print = print;
    std::vector<std::pair<std::string, std::string>> tree;
    for (int i = 0; i < 40; ++i) tree.emplace_back("d" + std::to_string(i % 4) + "/f" + std::to_string(i), pattern(100 + i, i));
    tree.emplace_back("big.bin", pattern(3 * MB10 / 2, 99));
    for (const auto& [name, content] : tree) w.sender.files.addFile("/home/alice/tree/" + name, content);
    std::string held = pattern(3 * MB10 / 2, 99).substr(0, MB10 + 5);
    w.receiver.files.addFile("/recv/tree/.tmp.big.bin", held);
    w.run();
    EXPECT_EQ(w.receiver.ctx.closeReason, "");
    for (const auto& [name, content] : tree) EXPECT_TRUE(w.receiver.files.content("/recv/tree/" + name) == content) << name;
    // Files announced and not yet acknowledged whole, along the wire.
    int ahead = 0, mostAhead = 0;
    std::set<int32_t> syncs, modes;
    for (const auto& [side, frame] : w.wire) {
      const Frame f = decodeFrame(frame);
      if (side == 's' && f.opcode() == net::Message::FILE_CREATE) {
        const auto& create = f.as<net::FileCreate>();
        syncs.insert(create.sync);
        if (create.sync == 0) continue;
        modes.insert(create.fingerprintMode);
        mostAhead = std::max(mostAhead, ++ahead);
      } else if (side == 'r' && f.opcode() == net::Message::FILE_ACK) {
        const auto& ack = f.as<net::FileAck>();
        if (ack.bytesWritten == ack.totalSize && ack.fingerprintLength == ack.totalSize && ack.fingerprint == 0 &&
            ack.appendMode == 1 && (ack.status == net::Message::CONTINUE || ack.status == net::Message::END) &&
            ack.filePath != "" )
          --ahead;
      }
    }
    if (print == 0) {
      EXPECT_EQ(syncs, (std::set<int32_t>{0, 1}));
      EXPECT_EQ(modes, std::set<int32_t>{1});
      EXPECT_EQ(mostAhead, 1) << "the next file only after the last one's final ack";
    } else {
      EXPECT_EQ(syncs, (std::set<int32_t>{0, 2}));
      EXPECT_GT(mostAhead, 10);
    }
  }
}
