// The real file port: what the copy handlers rely on from it, on real files.
#include "net/handlers/FilePort.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "support/TestSupport.h"

namespace {

struct Results : p2p::UvFile::FileCb {
  int opened = 0, reads = 0, lastRead = -1, mkdirs = 0, errors = 0, lastError = 0, removed = 0, flushed = 0;
  bool existedAsDir = false, existedAsLink = false;
  int64_t flushedSize = -1;
  std::deque<std::string> names;
  void handleFileOpen() override { ++opened; }
  void handleFileError(int status, const std::string&) override { ++errors, lastError = status; }
  void handleFileRemove() override { ++removed; }
  void handleFileFlush(const uv_stat_t& stats) override { ++flushed, flushedSize = p2p::UvFile::size(stats); }
  void handleFileRead(char*, int len) override { ++reads, lastRead = len; }
  void handleFileExists(bool exists, const uv_stat_t& stats) override {
    existedAsDir = exists && p2p::UvFile::isDir(stats);
    existedAsLink = exists && p2p::UvFile::isLink(stats);
  }
  void handleFileMkdirs() override { ++mkdirs; }
  void handleFileScan(std::deque<std::string> found, std::deque<uv_stat_t>) override { names = found; }
};

struct FilePort : ::testing::Test {
  testsupport::TempDir dir;
  p2p::UvLoop loop;
  std::unique_ptr<net::FilePort> port = net::newUvFilePort(&loop);
};

}  // namespace

TEST_F(FilePort, FoldersExistFilesBlockFoldersAndScansGoDepthFirst) {
  testsupport::writeFile(dir.file("a.txt"), "a");
  Results folder, made, blocked, listing;
  port->exists(dir.path(), &folder);
  port->mkdirs(dir.file("a.txt/sub"), &blocked);
  port->mkdirs(dir.file("x/y"), &made);
  loop.run();
  EXPECT_TRUE(folder.existedAsDir) << "a folder exists too: it must not be taken for a file";
  EXPECT_EQ(blocked.errors, 1) << "a file where a folder is wanted";
  EXPECT_EQ(made.mkdirs, 1);
  testsupport::writeFile(dir.file("x/y/b.txt"), "b");
  port->scan(dir.path(), &listing);
  loop.run();
  EXPECT_EQ(listing.names,
            (std::deque<std::string>{dir.file("a.txt"), dir.file("x"), dir.file("x/y"), dir.file("x/y/b.txt")}));
}

// Deleting a file with a read in flight drops the result but keeps the memory the read fills
// until the read is done; then the memory goes.
TEST_F(FilePort, AReadOutlivesItsFileWithTheMemoryItFills) {
  testsupport::writeFile(dir.file("a.txt"), std::string(100000, 'z'));
  Results results, again;
  std::unique_ptr<net::FilePort::File> file = port->open(dir.file("a.txt"), p2p::UvFile::READ, &results);
  loop.run();
  ASSERT_EQ(results.opened, 1);
  auto buffer = std::make_shared<std::vector<char>>(100000);
  std::weak_ptr<std::vector<char>> watch = buffer;
  file->read(buffer->data(), 100000, 0, buffer);
  EXPECT_THROW(file->read(buffer->data(), 1, 0, buffer), std::logic_error) << "one request at a time";
  file.reset();
  buffer.reset();
  EXPECT_FALSE(watch.expired()) << "the request still holds it";
  loop.run();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(results.reads, 0) << "nobody listens any more";

  file = port->open(dir.file("a.txt"), p2p::UvFile::READ, &again);
  loop.run();
  std::vector<char> bytes(10);
  file->read(bytes.data(), 10, 99995, nullptr);
  loop.run();
  EXPECT_EQ(again.lastRead, 5) << "a read past the end is short";
}

// The receiver never reaches through a link: it sees the link itself, cannot open through it,
// and removes the link, not what it points to. Flushes say how long the file is on the disk.
TEST_F(FilePort, LinksAreSeenNotFollowedAndRemovedThemselvesAndFlushesReportTheFile) {
  testsupport::writeFile(dir.file("outside"), "secret");
  ASSERT_EQ(symlink(dir.file("outside").c_str(), dir.file(".tmp.a").c_str()), 0);
  Results seen, opened, removed, flushed, folder;
  port->exists(dir.file(".tmp.a"), &seen);
  std::unique_ptr<net::FilePort::File> through =
      port->open(dir.file(".tmp.a"), p2p::UvFile::noFollow(p2p::UvFile::WRITE_TRUNCATE), &opened);
  loop.run();
  EXPECT_TRUE(seen.existedAsLink);
  EXPECT_EQ(opened.lastError, UV_ELOOP);
  port->remove(dir.file(".tmp.a"), &removed);
  loop.run();
  EXPECT_EQ(removed.removed, 1);
  EXPECT_EQ(testsupport::readFile(dir.file("outside")), "secret");
  EXPECT_FALSE(std::filesystem::is_symlink(dir.file(".tmp.a")));

  std::unique_ptr<net::FilePort::File> file = port->open(dir.file("outside"), p2p::UvFile::READ, &flushed);
  loop.run();
  file->flush();
  port->flushFolder(dir.path(), &folder);
  loop.run();
  EXPECT_EQ(flushed.flushedSize, 6);
  EXPECT_EQ(folder.flushed, 1);
}
