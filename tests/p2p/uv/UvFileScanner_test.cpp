#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "p2p/uv/UvFile.h"
#include "p2p/uv/UvLoop.h"
#include "support/TestSupport.h"

using namespace p2p;
using testsupport::TempDir;
using testsupport::writeFile;
using Names = std::deque<std::string>;
namespace fs = std::filesystem;

namespace {

// Keeps the one report of a scan or a directory creation.
struct Outcome : UvFile::FileCb {
  int reports = 0;
  int status = 0;  // 1 for a finished mkdirs
  Names names{"unset"};
  std::vector<long long> sizes;  // -1 for a folder

  void handleFileScan(Names n, std::deque<uv_stat_t> stats) override {
    ++reports;
    names = std::move(n);
    sizes.clear();
    for (const uv_stat_t& s : stats) sizes.push_back(UvFile::isDir(s) ? -1 : UvFile::size(s));
  }
  void handleFileMkdirs() override {
    ++reports;
    status = 1;
  }
  void handleFileError(int code, const std::string& msg) override {
    ++reports;
    status = code;
    EXPECT_EQ(msg, uv_strerror(code));
  }
};

// Runs one scan (or, with `make`, one directory creation) to its report; one that never
// reports, or reports twice, fails the test.
Outcome run(const std::string& path, bool make = false) {
  UvLoop loop;
  Outcome outcome;
  if (make)
    UvFile::mkdirs(path, &loop, &outcome);
  else
    UvFile::scan(path, UvFile::RECURSE | UvFile::WITH_STATS, &loop, &outcome);
  if (testsupport::runUntil(loop, [&] { return outcome.reports > 0; }))
    loop.run();
  else
    ADD_FAILURE() << path << " never ended";
  EXPECT_EQ(outcome.reports, 1) << path;
  return outcome;
}

// A chain of folders whose full path outgrows PATH_MAX, so that no path reaches the deepest;
// made and removed relative to open folders.
const std::string kLongName(200, 'd');

void makeTooDeep(int fd, int depth) {
  mkdirat(fd, kLongName.c_str(), 0755);
  int inner = openat(fd, kLongName.c_str(), O_RDONLY | O_DIRECTORY);
  if (inner >= 0 && depth > 0) makeTooDeep(inner, depth - 1);
  if (inner >= 0) close(inner);
}

void removeTooDeep(int fd) {
  int inner = openat(fd, kLongName.c_str(), O_RDONLY | O_DIRECTORY);
  if (inner < 0) return;
  removeTooDeep(inner);
  close(inner);
  unlinkat(fd, kLongName.c_str(), AT_REMOVEDIR);
}

}  // namespace

// Symbolic links are skipped, so a cycle or a dangling one cannot matter.
TEST(UvFileScan, ListsFilesThenEachSubfolderWithItsContentAndNoLinks) {
  TempDir dir;
  fs::create_directories(dir.file("sub/deeper"));
  fs::create_directories(dir.file("sub/empty"));
  fs::create_directory_symlink(dir.path(), dir.file("sub/up"));
  fs::create_symlink(dir.file("nowhere"), dir.file("dangling"));
  writeFile(dir.file("a.txt"), "aaa");
  writeFile(dir.file("sub/b.txt"), "bb");
  writeFile(dir.file("sub/deeper/c.txt"), "c");
  Outcome tree = run(dir.path());
  std::string p = dir.path();
  EXPECT_EQ(tree.names, (Names{p + "/a.txt", p + "/sub", p + "/sub/b.txt", p + "/sub/deeper",
                               p + "/sub/deeper/c.txt", p + "/sub/empty"}));
  EXPECT_EQ(tree.sizes, (std::vector<long long>{3, -1, 2, -1, 1, -1}));
  Outcome empty = run(dir.file("sub/empty"));
  EXPECT_EQ(empty.status, 0);
  EXPECT_TRUE(empty.names.empty() && empty.sizes.empty());
}

TEST(UvFileScan, AnyFailureEndsWithOneErrorAndNoPartialResult) {
  TempDir dir;
  writeFile(dir.file("file"), "x");
  fs::create_symlink(dir.file("nowhere"), dir.file("dangling"));
  // A folder deep down that cannot be reached (too long a path, which holds for root too): the
  // files found before it must not be reported.
  fs::create_directory(dir.file("tree"));
  writeFile(dir.file("tree/a.txt"), "a");
  int tree = open(dir.file("tree").c_str(), O_RDONLY | O_DIRECTORY);
  makeTooDeep(tree, 25);
  for (auto [path, status] : std::vector<std::pair<std::string, int>>{{dir.file("file"), UV_ENOTDIR},
                                                                       {dir.file("dangling"), UV_ENOENT},
                                                                       {dir.file("dangling/inner"), UV_ENOENT},
                                                                       {dir.file("tree"), UV_ENAMETOOLONG}}) {
    Outcome outcome = run(path);
    EXPECT_EQ(outcome.status, status) << path;
    EXPECT_EQ(outcome.names, Names{"unset"}) << path;
  }
  removeTooDeep(tree);
  close(tree);
}

TEST(UvFileScan, ReceiverDeletedMidScanStopsItQuietly) {
  TempDir dir;
  for (int i = 0; i < 20; ++i) {
    fs::create_directories(dir.file("d" + std::to_string(i) + "/e"));
    writeFile(dir.file("d" + std::to_string(i) + "/e/f"), "f");
  }
  UvLoop loop;
  auto* outcome = new Outcome;
  UvFile::scan(dir.path(), UvFile::RECURSE | UvFile::WITH_STATS, &loop, outcome);
  uv_run(loop.uvLoop(), UV_RUN_ONCE);  // under way
  delete outcome;
  loop.run();  // ASan fails on a late report or a leaked scanner
}

TEST(UvFileMkdirs, CreatesMissingParentsAndFailsOnAnythingButAFolderInTheWay) {
  TempDir dir;
  fs::create_directory(dir.file("x"));
  fs::create_directory_symlink(dir.file("x"), dir.file("link"));
  writeFile(dir.file("file"), "x");
  fs::create_symlink(dir.file("nowhere"), dir.file("dangling"));
  for (auto [path, status] : std::vector<std::pair<std::string, int>>{
           {dir.file("x/y/z/w"), 1}, {dir.path(), 1}, {dir.file("x"), 1}, {dir.file("link/new"), 1},
           {dir.file("file"), UV_EEXIST},          // a file where the folder is wanted
           {dir.file("file/sub"), UV_ENOTDIR},     // a file where a parent is wanted
           {dir.file("dangling"), UV_ENOENT},      // a link to nothing
           {dir.file("dangling/a/b"), UV_ENOENT},  // ... in the path: must end, not climb and fall forever
       })
    EXPECT_EQ(run(path, true).status, status) << path;
  EXPECT_TRUE(fs::is_directory(dir.file("x/y/z/w")));
  EXPECT_TRUE(fs::is_directory(dir.file("x/new")));
}
