// Our receiver against our sender, in memory: whole trees arrive identical, held copies are
// resumed, and offsets above 4 GiB travel and land where they belong.
#include <gtest/gtest.h>

#include "net/handlers/CopyScript.h"

using namespace copytest;

namespace {

// Same length and the same bytes, compared a block at a time (sparse files stay cheap).
bool sameFile(const FakeFiles& a, const std::string& pa, const FakeFiles& b, const std::string& pb) {
  if (a.sizeOf(pa) != b.sizeOf(pb)) return false;
  for (int64_t at = 0; at < a.sizeOf(pa); at += FakeFiles::BLOCK)
    if (a.bytes(pa, at, FakeFiles::BLOCK) != b.bytes(pb, at, FakeFiles::BLOCK)) return false;
  return true;
}

// Each file's last "Recv" notification says it is complete.
bool reportedWhole(const std::vector<net::CopyProgress>& progress, const std::string& localPath, int64_t size) {
  for (const net::CopyProgress& p : progress)
    if (p.getLocalPath() == localPath && p.getState() == "Recv" && p.getOffset() == size && p.getReason().empty())
      return true;
  return false;
}

}  // namespace

TEST(CopyPair, FolderTreeArrivesIdenticalAndHeldCopiesAreResumed) {
  PairWorld w("/home/alice/photos/", "/home/alice/photos/");
  const std::string src = "/home/alice/photos";
  w.senderFiles.addDir(src);
  w.senderFiles.addDir(src + "/sub");
  w.senderFiles.addDir(src + "/sub/deep");
  w.senderFiles.addDir(src + "/empty folder");
  const std::vector<std::pair<std::string, std::string>> tree = {
      {"a.jpg", pattern(CHUNK + 1, 1)},          {"sub/empty", ""},
      {"sub/deep/c.bin", pattern(CHUNK, 2)},     {"sub/\xc3\xbcn\xc3\xaf.txt", "non-ascii"},
      {"sub/deep/held.bin", pattern(2 * CHUNK, 3)}, {"whole.bin", pattern(1000, 4)},
  };
  for (const auto& f : tree) w.senderFiles.addFile(src + "/" + f.first, f.second);
  // An earlier attempt left part of one file (one byte wrong) and all of another.
  w.recvFiles.addDir("/recv/photos");
  w.recvFiles.addDir("/recv/photos/sub");
  w.recvFiles.addDir("/recv/photos/sub/deep");
  std::string partial = pattern(2 * CHUNK, 3).substr(0, CHUNK + 10);
  partial[CHUNK + 5] ^= 1;
  w.recvFiles.addFile("/recv/photos/sub/deep/.tmp.held.bin", partial);
  w.recvFiles.addFile("/recv/photos/whole.bin", pattern(1000, 4));

  w.run();
  EXPECT_TRUE(w.recvCtx.closed);
  EXPECT_EQ(w.recvCtx.closeReason, "");
  EXPECT_EQ(w.senderCtx.closeReason, "");
  for (const auto& f : tree) {
    SCOPED_TRACE(f.first);
    const std::string local = "/recv/photos/" + f.first;
    ASSERT_TRUE(w.recvFiles.has(local));
    EXPECT_TRUE(w.recvFiles.content(local) == f.second);
    EXPECT_TRUE(reportedWhole(w.recvCtx.progress, local, static_cast<int64_t>(f.second.size())));
  }
  for (const std::string& p : w.recvFiles.paths()) EXPECT_EQ(p.find(".tmp."), std::string::npos) << p;
  for (const std::string& p : w.recvFiles.changed) EXPECT_NE(p, "/recv/photos/whole.bin") << "whole already: not written";
  EXPECT_FALSE(w.recvFiles.has("/recv/photos/empty folder")) << "folders have no message of their own";
}

// A held copy of more than 4 GiB whose last steps differ: compared with the strong
// fingerprint on both sides, resumed above 4 GiB, completed identical.
TEST(CopyPair, OffsetsAboveFourGibibytes) {
  const int64_t size = 4320000000;  // steps of 10,000,000: the one from 4,300,000,000 differs
  PairWorld w("/home/alice/big.bin", "/home/alice/big.bin");
  w.senderFiles.addSparse("/home/alice/big.bin", size);
  for (int64_t at : {int64_t{7}, int64_t{4294967296}, int64_t{4305000000}, size - 1})
    w.senderFiles.setByte("/home/alice/big.bin", at, static_cast<char>(0xA5));
  w.recvFiles.addSparse("/recv/.tmp.big.bin", 4310000000);
  for (int64_t at : {int64_t{7}, int64_t{4294967296}})
    w.recvFiles.setByte("/recv/.tmp.big.bin", at, static_cast<char>(0xA5));

  w.run();
  EXPECT_EQ(w.recvCtx.closeReason, "");
  ASSERT_TRUE(w.recvFiles.has("/recv/big.bin"));
  EXPECT_TRUE(sameFile(w.senderFiles, "/home/alice/big.bin", w.recvFiles, "/recv/big.bin"));
  size_t writes = 0;
  int64_t first = -1;
  for (const auto& frame : w.senderCtx.sent) {
    Frame f = decodeFrame(frame);
    if (f.opcode() != net::Message::FILE_WRITE) continue;
    if (first < 0) first = f.as<net::FileWrite>().offset;
    ++writes;
  }
  EXPECT_EQ(first, 4300000000) << "resumed at the start of the step that differs";
  EXPECT_EQ(writes, static_cast<size_t>((size - 4300000000 + CHUNK - 1) / CHUNK));
}
