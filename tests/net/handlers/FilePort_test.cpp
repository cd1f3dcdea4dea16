// The real file port: what the copy handlers rely on from it, on real files.
#include "net/handlers/FilePort.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "support/TestSupport.h"

namespace {

struct Results : p2p::UvFile::FileCb {
  int opened = 0, reads = 0, lastRead = -1, mkdirs = 0, errors = 0;
  bool existedAsDir = false;
  std::deque<std::string> names;
  void handleFileOpen() override { ++opened; }
  void handleFileError(int, const std::string&) override { ++errors; }
  void handleFileRead(char*, int len) override { ++reads, lastRead = len; }
  void handleFileExists(bool exists, const uv_stat_t& stats) override {
    existedAsDir = exists && p2p::UvFile::isDir(stats);
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
