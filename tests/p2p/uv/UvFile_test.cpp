#include "p2p/uv/UvFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>

#include "p2p/uv/UvLoop.h"
#include "support/TestSupport.h"

using namespace p2p;
using namespace testsupport;
using Events = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

// Writes down every result as a short line; after each one it runs the next of `steps`.
struct Recorder : UvFile::FileCb {
  Events events;
  std::deque<std::function<void()>> steps;
  std::string root;  // left out of the names a scan reports

  void note(const std::string& event) {
    events.push_back(event);
    if (steps.empty()) return;
    auto step = std::move(steps.front());
    steps.pop_front();
    step();
  }
  void handleFileOpen() override { note("open"); }
  void handleFileError(int status, const std::string& msg) override { note(std::to_string(status) + " " + msg); }
  void handleFileRead(char* bytes, int len) override { note("read " + std::string(bytes, len)); }
  void handleFileWrite(char*, int len) override { note("write " + std::to_string(len)); }
  void handleFileStats(const uv_stat_t& stats) override {
    note(UvFile::isDir(stats) ? "stats folder" : "stats " + std::to_string(UvFile::size(stats)));
  }
  void handleFileExists(bool exists, const uv_stat_t&) override { note(exists ? "exists" : "absent"); }
  void handleFileTruncate() override { note("truncate"); }
  void handleFileRename() override { note("rename"); }
  void handleFileMkdirs() override { note("mkdirs"); }
  // "scan a:3 sub/ sub/b:2": each name, then its size or "/" for a folder.
  void handleFileScan(std::deque<std::string> names, std::deque<uv_stat_t> stats) override {
    std::string listing = "scan";
    for (size_t i = 0; i < names.size(); ++i)
      listing += " " + names[i].substr(root.size()) +
                 (UvFile::isDir(stats[i]) ? "/" : ":" + std::to_string(UvFile::size(stats[i])));
    note(listing);
  }
};

std::string error(int status) { return std::to_string(status) + " " + uv_strerror(status); }

// The one report of a scan of `root`/`path` (or, with `make`, of a directory creation).
std::string reportOf(const std::string& root, const std::string& path, bool make = false) {
  UvLoop loop;
  Recorder cb;
  cb.root = root + "/";
  const std::string full = path.empty() ? root : cb.root + path;
  if (make)
    UvFile::mkdirs(full, &loop, &cb);
  else
    UvFile::scan(full, UvFile::RECURSE | UvFile::WITH_STATS, &loop, &cb);
  loop.run();
  EXPECT_EQ(cb.events.size(), 1u) << path;
  return cb.events.empty() ? "" : cb.events.back();
}

// Open descriptors of the process. libuv opens a few of its own on first use; a first call
// makes sure they are there before anything is counted.
int openDescriptors() {
  static bool warm = [] {
    UvLoop loop;
    UvFile::FileCb ignored;
    UvFile::stats("/", &loop, &ignored);
    return true;
  }();
  (void)warm;
  auto it = fs::directory_iterator("/proc/self/fd");
  return static_cast<int>(std::distance(it, fs::directory_iterator()));
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

TEST(UvFileIo, WriteTruncateStatReadRenameExists) {
  TempDir dir;
  std::string path = dir.file("data.bin");
  UvLoop loop;
  Recorder cb;
  std::string text = "hello world";
  char buffer[64];
  auto* file = new UvFile(path, UvFile::READ_WRITE, &loop, &cb);  // created: it is missing
  cb.steps = {[&] { file->write(text.data(), static_cast<int>(text.size()), 0); },
              [&] { file->truncate(5); },
              [&] { file->stats(); },
              [&] { file->read(buffer, sizeof buffer, 1); },
              [&] { file->read(buffer, sizeof buffer, 5); },
              [&] { UvFile::rename(path, dir.file("b"), &loop, &cb); },
              [&] { UvFile::exists(path, &loop, &cb); },
              [&] { UvFile::exists(dir.file("b"), &loop, &cb); },
              [&] { UvFile::stats(dir.path(), &loop, &cb); }};
  loop.run();
  delete file;
  loop.run();
  EXPECT_EQ(cb.events, (Events{"open", "write 11", "truncate", "stats 5", "read ello", "read ", "rename", "absent",
                               "exists", "stats folder"}));
  EXPECT_EQ(readFile(dir.file("b")), "hello");
}

TEST(UvFileIo, OpenModesKeepAppendOrEmpty) {
  TempDir dir;
  UvLoop loop;
  char bytes[] = "XY";
  for (auto [access, offset, expected] : std::vector<std::tuple<UvFile::Access, int, std::string>>{
           {UvFile::WRITE, 2, "abXYef"}, {UvFile::READ_WRITE, 4, "abcdXY"},
           {UvFile::WRITE_APPEND, 0, "abcdefXY"}, {UvFile::WRITE_TRUNCATE, 0, "XY"}}) {
    std::string path = dir.file(std::to_string(access));
    writeFile(path, "abcdef");
    Recorder cb;
    UvFile file(path, access, &loop, &cb);
    cb.steps = {[&, offset = offset] { file.write(bytes, 2, offset); }};
    loop.run();
    EXPECT_EQ(readFile(path), expected) << access;
  }
}

TEST(UvFileErrors, ReportedThroughTheHandler) {
  TempDir dir;
  writeFile(dir.file("plain"), "x");
  UvLoop loop;
  Recorder cb;
  char bytes[] = "data";
  std::unique_ptr<UvFile> missing(new UvFile(dir.file("nope"), UvFile::READ, &loop, &cb)), folder, readOnly;
  cb.steps = {[&] { folder.reset(new UvFile(dir.path(), UvFile::WRITE, &loop, &cb)); },
              [&] { readOnly.reset(new UvFile(dir.file("plain"), UvFile::READ, &loop, &cb)); },
              [&] { readOnly->write(bytes, 4, 0); },
              [&] { UvFile::stats(dir.file("nope"), &loop, &cb); },
              [&] { UvFile::exists(dir.file("plain") + "/inside", &loop, &cb); },  // a file where a folder is wanted
              [&] { UvFile::rename(dir.file("nope"), dir.file("other"), &loop, &cb); }};
  loop.run();
  EXPECT_EQ(cb.events, (Events{error(UV_ENOENT), error(UV_EISDIR), "open", error(UV_EBADF), error(UV_ENOENT),
                               error(UV_ENOTDIR), error(UV_ENOENT)}));
  EXPECT_THROW(readOnly->read(bytes, -1, 0), std::runtime_error);  // never a huge length

  // A result reaching an unimplemented handler stops the loop; ASan checks the requests are freed.
  UvFile::FileCb defaults;
  UvFile::rename(dir.file("plain"), dir.file("b"), &loop, &defaults);
  EXPECT_EQ(failureOf([&] { loop.run(); }), "handleFileRename not implemented");
  UvFile file(dir.file("b"), UvFile::READ, &loop, &defaults);
  EXPECT_EQ(failureOf([&] { loop.run(); }), "handleFileOpen not implemented");
}

// The kernel writes what fits and says why only at the next write: a short write goes on, so
// that the reason reaches the handler (a full disk reads "no space left on device", not a byte
// count taken for an error number). A file size limit stands in for the full disk here.
TEST(UvFileErrors, AShortWriteGoesOnSoTheReasonReachesTheHandler) {
  TempDir dir;
  UvLoop loop;
  Recorder cb;
  std::vector<char> bytes(8192, 'x');
  UvFile file(dir.file("big"), UvFile::WRITE, &loop, &cb);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  void (*previous)(int) = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = 4096;
  cb.steps = {[&] {
    setrlimit(RLIMIT_FSIZE, &limited);
    file.write(bytes.data(), 8192, 0);
  }};
  loop.run();
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(cb.events, (Events{"open", error(UV_EFBIG)}));
  EXPECT_EQ(fs::file_size(dir.file("big")), 4096u);
}

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
  EXPECT_EQ(reportOf(dir.path(), ""), "scan a.txt:3 sub/ sub/b.txt:2 sub/deeper/ sub/deeper/c.txt:1 sub/empty/");
  EXPECT_EQ(reportOf(dir.path(), "sub/empty"), "scan");
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
  for (auto [path, status] : std::vector<std::pair<std::string, int>>{
           {"file", UV_ENOTDIR}, {"dangling", UV_ENOENT}, {"dangling/inner", UV_ENOENT}, {"tree", UV_ENAMETOOLONG}})
    EXPECT_EQ(reportOf(dir.path(), path), error(status));
  removeTooDeep(tree);
  close(tree);
}

TEST(UvFileMkdirs, CreatesMissingParentsAndFailsOnAnythingButAFolderInTheWay) {
  TempDir dir;
  fs::create_directory(dir.file("x"));
  fs::create_directory_symlink(dir.file("x"), dir.file("link"));
  writeFile(dir.file("file"), "x");
  fs::create_symlink(dir.file("nowhere"), dir.file("dangling"));
  for (auto [path, result] : std::vector<std::pair<std::string, std::string>>{
           {"x/y/z/w", "mkdirs"}, {"", "mkdirs"}, {"x", "mkdirs"}, {"link/new", "mkdirs"},
           {"file", error(UV_EEXIST)},          // a file where the folder is wanted
           {"file/sub", error(UV_ENOTDIR)},     // a file where a parent is wanted
           {"dangling", error(UV_ENOENT)},      // a link to nothing
           {"dangling/a/b", error(UV_ENOENT)},  // ... in the path: must end, not climb and fall forever
       })
    EXPECT_EQ(reportOf(dir.path(), path, true), result) << path;
  EXPECT_TRUE(fs::is_directory(dir.file("x/y/z/w")));
  EXPECT_TRUE(fs::is_directory(dir.file("x/new")));
}

TEST(UvFileLifetime, DeletedWhileOpeningOrReadingOrLeftToTheLoopClosesTheFile) {
  TempDir dir;
  std::string path = dir.file("big");
  writeFile(path, std::string(4 << 20, 'r'));
  std::vector<char> buffer(4 << 20);  // outlives the request, as the contract asks
  int withoutLoop = openDescriptors();
  auto loop = std::make_unique<UvLoop>();
  int before = openDescriptors();
  Recorder cb;
  for (int i = 0; i < 20; ++i) delete new UvFile(path, UvFile::READ, loop.get(), &cb);
  auto* file = new UvFile(path, UvFile::READ, loop.get(), &cb);
  cb.steps = {[&] {
    file->read(buffer.data(), static_cast<int>(buffer.size()), 0);
    delete file;
  }};
  loop->run();
  EXPECT_EQ(cb.events, (Events{"open"}));
  EXPECT_EQ(openDescriptors(), before);

  file = new UvFile(path, UvFile::READ, loop.get(), &cb);  // still open when the loop goes
  loop->run();
  loop.reset();
  EXPECT_EQ(openDescriptors(), withoutLoop);
  EXPECT_THROW(file->stats(), std::runtime_error);
  delete file;
}

TEST(UvFileLifetime, DeletedWithWriteInFlightClosesOnlyAfterTheWrite) {
  // A descriptor closed under a queued write could be reused by the next open and receive its
  // bytes. A write into a full pipe stays in flight until the reader thread drains the pipe.
  TempDir dir;
  std::string pipe = dir.file("pipe");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  int drain = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);  // blocking only once a writer is there
  ASSERT_GE(drain, 0);
  fcntl(drain, F_SETFL, 0);
  UvLoop loop;
  int before = openDescriptors(), whileBlocked = -1;
  std::string data(1 << 20, 'w');
  size_t drained = 0;
  std::thread reader;
  Recorder cb;
  auto* file = new UvFile(pipe, UvFile::WRITE, &loop, &cb);
  cb.steps = {[&] {
    file->write(data.data(), static_cast<int>(data.size()), -1);
    delete file;
    reader = std::thread([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // time for a wrong close
      whileBlocked = openDescriptors();
      char chunk[65536];
      for (ssize_t n; (n = ::read(drain, chunk, sizeof chunk)) > 0;) drained += static_cast<size_t>(n);
    });
  }};
  loop.run();
  if (reader.joinable()) reader.join();
  EXPECT_EQ(cb.events, (Events{"open"}));
  EXPECT_EQ(whileBlocked, before + 1);
  EXPECT_EQ(drained, data.size());
  EXPECT_EQ(openDescriptors(), before);
  close(drain);
}

TEST(UvFileLifetime, DeletedReceiverHearsNothingEvenMidScan) {
  TempDir dir;
  for (int i = 0; i < 20; ++i) {
    fs::create_directories(dir.file("d" + std::to_string(i) + "/e"));
    writeFile(dir.file("d" + std::to_string(i) + "/e/f"), "f");
  }
  UvLoop loop;
  char buffer[8];
  Recorder opener;
  UvFile file(dir.file("d0/e/f"), UvFile::READ, &loop, &opener);
  loop.run();
  // Every kind of result on its way to a receiver that is then deleted, a scan once it is under
  // way; ASan turns any late call into a failure.
  auto* midScan = new Recorder;
  UvFile::scan(dir.path(), UvFile::RECURSE | UvFile::WITH_STATS, &loop, midScan);
  uv_run(loop.uvLoop(), UV_RUN_ONCE);
  delete midScan;
  auto* reader = new Recorder;
  file.setCb(reader);
  file.read(buffer, sizeof buffer, 0);
  auto* gone = new Recorder;
  UvFile::stats(dir.file("d0/e/f"), &loop, gone);
  UvFile::exists(dir.file("d0/e/f"), &loop, gone);
  UvFile::rename(dir.file("d1/e/f"), dir.file("b"), &loop, gone);
  UvFile::mkdirs(dir.file("x/y"), &loop, gone);
  delete reader;
  delete gone;
  loop.run();
  Recorder later;  // the file keeps working for a new receiver
  file.setCb(&later);
  file.stats();
  loop.run();
  EXPECT_EQ(later.events, (Events{"stats 1"}));
}

TEST(UvFilePaths, SplitAtEitherSeparatorAndFolderIsAFileType) {
  EXPECT_EQ(UvFile::getName("a/b\\c.txt"), "c.txt");
  EXPECT_EQ(UvFile::getDir("a/b\\c.txt"), "a/b");
  EXPECT_EQ(UvFile::getDir("c.txt"), ".");
  EXPECT_EQ(UvFile::getDir("/c.txt"), "");
  uv_stat_t socket{};
  socket.st_mode = S_IFSOCK | 0755;  // shares the folder bit
  EXPECT_FALSE(UvFile::isDir(socket));
}
