#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "p2p/uv/UvFile.h"
#include "p2p/uv/UvLoop.h"
#include "support/TestSupport.h"

using namespace p2p;
using testsupport::TempDir;
using testsupport::writeFile;
namespace fs = std::filesystem;

namespace {

// Keeps the one report of a scan or a directory creation.
struct Outcome : UvFile::FileCb {
  int reports = 0;
  bool made = false;
  int status = 0;
  std::deque<std::string> names;
  std::deque<uv_stat_t> stats;

  void handleFileScan(std::deque<std::string> n, std::deque<uv_stat_t> s) override {
    ++reports;
    names = std::move(n);
    stats = std::move(s);
  }
  void handleFileMkdirs() override {
    ++reports;
    made = true;
  }
  void handleFileError(int code, const std::string& msg) override {
    ++reports;
    status = code;
    EXPECT_EQ(msg, uv_strerror(code));
  }
};

// Runs the loop until it has nothing left to do; a run that would not end fails the test.
void runBounded(UvLoop& loop, uint64_t ms = 5000) {
  struct Watch {
    uv_timer_t* timer = allocUv<uv_timer_t>();
    bool expired = false;
    ~Watch() { closeAndFree(reinterpret_cast<uv_handle_t*>(timer)); }
  } watch;
  uv_timer_init(loop.uvLoop(), watch.timer);
  watch.timer->data = &watch.expired;
  uv_timer_start(
      watch.timer,
      [](uv_timer_t* t) {
        *static_cast<bool*>(t->data) = true;
        UvLoop::from(t->loop)->stop();
      },
      ms, 0);
  uv_unref(reinterpret_cast<uv_handle_t*>(watch.timer));  // only a watch: keeps nothing running
  loop.run();
  EXPECT_FALSE(watch.expired) << "the loop did not come to rest";
}

Outcome scan(const std::string& path) {
  UvLoop loop;
  Outcome outcome;
  UvFile::scan(path, UvFile::RECURSE | UvFile::WITH_STATS, &loop, &outcome);
  runBounded(loop);
  return outcome;
}

Outcome mkdirs(const std::string& path) {
  UvLoop loop;
  Outcome outcome;
  UvFile::mkdirs(path, &loop, &outcome);
  runBounded(loop);
  return outcome;
}

// Nested folders whose full paths outgrow PATH_MAX: no single path names the deepest, so
// they are made and removed relative to open folders.
const std::string kLongName(200, 'd');

void makeTooDeep(const std::string& top) {
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
  for (int depth = 0; depth < 25 && fd >= 0; ++depth) {
    mkdirat(fd, kLongName.c_str(), 0755);
    int inner = openat(fd, kLongName.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = inner;
  }
  if (fd >= 0) close(fd);
}

void removeTooDeep(int parent) {
  int fd = openat(parent, kLongName.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  removeTooDeep(fd);
  close(fd);
  unlinkat(parent, kLongName.c_str(), AT_REMOVEDIR);
}

}  // namespace

// ---- scan ----

TEST(UvFileScan, ListsFilesThenEachSubfolderWithItsContent) {
  TempDir dir;
  fs::create_directories(dir.file("sub/deeper"));
  writeFile(dir.file("a.txt"), "aaa");
  writeFile(dir.file("sub/b.txt"), "bb");
  writeFile(dir.file("sub/deeper/c.txt"), "c");
  Outcome outcome = scan(dir.path());
  ASSERT_EQ(outcome.reports, 1);
  const std::string& p = dir.path();
  EXPECT_EQ(outcome.names, (std::deque<std::string>{p + "/a.txt", p + "/sub", p + "/sub/b.txt", p + "/sub/deeper",
                                                    p + "/sub/deeper/c.txt"}));
  ASSERT_EQ(outcome.stats.size(), 5u);
  std::vector<bool> folders;
  std::vector<long long> sizes;
  for (const uv_stat_t& s : outcome.stats) {
    folders.push_back(UvFile::isDir(s));
    if (!UvFile::isDir(s)) sizes.push_back(UvFile::size(s));
  }
  EXPECT_EQ(folders, (std::vector<bool>{false, true, false, true, false}));
  EXPECT_EQ(sizes, (std::vector<long long>{3, 2, 1}));
}

TEST(UvFileScan, EmptyFolderGivesTwoEmptyLists) {
  TempDir dir;
  Outcome outcome = scan(dir.path());
  EXPECT_EQ(outcome.reports, 1);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_TRUE(outcome.names.empty());
  EXPECT_TRUE(outcome.stats.empty());
}

TEST(UvFileScan, SkipsSymbolicLinksSoLoopsAndDanglingOnesDoNotMatter) {
  TempDir dir;
  fs::create_directory(dir.file("sub"));
  writeFile(dir.file("sub/f"), "f");
  fs::create_directory_symlink(dir.path(), dir.file("sub/up"));  // a cycle if followed
  fs::create_symlink(dir.file("nowhere"), dir.file("dangling"));
  Outcome outcome = scan(dir.path());
  ASSERT_EQ(outcome.reports, 1);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.names, (std::deque<std::string>{dir.file("sub"), dir.file("sub/f")}));
}

TEST(UvFileScan, AnyFailureEndsWithOneErrorAndNoPartialResult) {
  TempDir dir;
  writeFile(dir.file("file"), "x");
  fs::create_symlink(dir.file("nowhere"), dir.file("dangling"));

  Outcome notAFolder = scan(dir.file("file"));
  EXPECT_EQ(notAFolder.reports, 1);
  EXPECT_EQ(notAFolder.status, UV_ENOTDIR);

  Outcome missing = scan(dir.file("dangling/inner"));
  EXPECT_EQ(missing.reports, 1);
  EXPECT_EQ(missing.status, UV_ENOENT);

  Outcome danglingRoot = scan(dir.file("dangling"));
  EXPECT_EQ(danglingRoot.reports, 1);
  EXPECT_EQ(danglingRoot.status, UV_ENOENT);

  // A subfolder deep down that cannot be reached (its path is too long, which holds for
  // every user, root included): the files found before it are not reported.
  fs::create_directory(dir.file("tree"));
  writeFile(dir.file("tree/a.txt"), "a");
  makeTooDeep(dir.file("tree"));
  Outcome deep = scan(dir.file("tree"));
  EXPECT_EQ(deep.reports, 1);
  EXPECT_EQ(deep.status, UV_ENAMETOOLONG);
  EXPECT_TRUE(deep.names.empty());
  int top = open(dir.file("tree").c_str(), O_RDONLY | O_DIRECTORY);
  removeTooDeep(top);
  close(top);
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
  // Let the scan get under way, then take its receiver away.
  uv_run(loop.uvLoop(), UV_RUN_ONCE);
  delete outcome;
  runBounded(loop);  // the sanitizer build fails on a late report or a leaked scanner
}

// ---- directory creation ----

TEST(UvFileMkdirs, CreatesEveryMissingParentOnce) {
  TempDir dir;
  fs::create_directory(dir.file("x"));
  Outcome outcome = mkdirs(dir.file("x/y/z/w"));
  EXPECT_EQ(outcome.reports, 1);
  EXPECT_TRUE(outcome.made);
  EXPECT_TRUE(fs::is_directory(dir.file("x/y/z/w")));
}

TEST(UvFileMkdirs, ExistingFolderOrLinkToOneIsSuccess) {
  TempDir dir;
  fs::create_directory(dir.file("x"));
  fs::create_directory_symlink(dir.file("x"), dir.file("link"));
  for (const std::string& path : {dir.path(), dir.file("x"), dir.file("link"), dir.file("link/new")}) {
    Outcome outcome = mkdirs(path);
    EXPECT_EQ(outcome.reports, 1) << path;
    EXPECT_TRUE(outcome.made) << path;
  }
  EXPECT_TRUE(fs::is_directory(dir.file("x/new")));
}

TEST(UvFileMkdirs, SomethingElseInTheWayIsAnError) {
  TempDir dir;
  writeFile(dir.file("file"), "x");
  fs::create_symlink(dir.file("nowhere"), dir.file("dangling"));
  struct Case {
    std::string path;
    int status;
  } cases[] = {
      {dir.file("file"), UV_EEXIST},              // a file where the folder is wanted
      {dir.file("file/sub"), UV_ENOTDIR},         // a file where a parent is wanted
      {dir.file("dangling"), UV_ENOENT},          // a link to nothing
      {dir.file("dangling/a/b"), UV_ENOENT},      // ... in the path: must end, not climb and fall forever
  };
  for (const Case& c : cases) {
    Outcome outcome = mkdirs(c.path);
    EXPECT_EQ(outcome.reports, 1) << c.path;
    EXPECT_FALSE(outcome.made) << c.path;
    EXPECT_EQ(outcome.status, c.status) << c.path;
  }
  EXPECT_TRUE(fs::is_regular_file(dir.file("file")));
}
