#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <stdexcept>
#include <string>
#include <vector>

#include "p2p/uv/UvFile.h"
#include "p2p/uv/UvLoop.h"
#include "support/TestSupport.h"

using namespace p2p;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

// Writes down every result as a short line; after each one it runs the next of `steps`.
struct Recorder : UvFile::FileCb {
  std::vector<std::string> events;
  std::string lastRead;
  uv_stat_t lastStats{};
  std::deque<std::function<void()>> steps;

  void note(const std::string& event) {
    events.push_back(event);
    if (steps.empty()) return;
    std::function<void()> step = std::move(steps.front());
    steps.pop_front();
    step();
  }
  void handleFileOpen() override { note("open"); }
  void handleFileError(int status, const std::string& msg) override {
    note("error " + std::to_string(status) + " " + msg);
  }
  void handleFileRead(char* bytes, int len) override {
    lastRead.assign(bytes, static_cast<size_t>(len));
    note("read " + lastRead);
  }
  void handleFileWrite(char*, int len) override { note("write " + std::to_string(len)); }
  void handleFileStats(const uv_stat_t& stats) override {
    lastStats = stats;
    note("stats " + std::to_string(UvFile::size(stats)));
  }
  void handleFileExists(bool exists, const uv_stat_t& stats) override {
    lastStats = stats;
    note(exists ? "exists" : "absent");
  }
  void handleFileTruncate() override { note("truncate"); }
  void handleFileRename() override { note("rename"); }
};

std::string errorEvent(int status) { return "error " + std::to_string(status) + " " + uv_strerror(status); }

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

std::string failureOf(UvLoop& loop) {
  try {
    loop.run();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// Open descriptors of the process. libuv opens a few of its own, once per process, on first
// use; a first call makes sure they are there before anything is counted.
int openDescriptors() {
  static bool warm = [] {
    UvLoop loop;
    UvFile::FileCb ignored;
    UvFile::stats("/", &loop, &ignored);
    return true;
  }();
  (void)warm;
  int count = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd"); it != std::filesystem::directory_iterator();
       ++it)
    ++count;
  return count;
}

}  // namespace

// ---- reading and writing ----

TEST(UvFileIo, WritesTruncatesStatsAndReadsBack) {
  TempDir dir;
  std::string path = dir.file("data.bin");
  writeFile(path, "old content that must go");
  UvLoop loop;
  Recorder writer;
  std::string text = "hello world";
  UvFile* file = new UvFile(path, UvFile::WRITE_TRUNCATE, &loop, &writer);
  writer.steps = {[&] { file->write(text.data(), static_cast<int>(text.size()), 0); },
                  [&] { file->truncate(5); }, [&] { file->stats(); }};
  runBounded(loop);
  delete file;
  EXPECT_EQ(writer.events, (std::vector<std::string>{"open", "write 11", "truncate", "stats 5"}));
  EXPECT_FALSE(UvFile::isDir(writer.lastStats));

  Recorder reader;
  char buffer[64];
  file = new UvFile(path, UvFile::READ, &loop, &reader);
  reader.steps = {[&] { file->read(buffer, sizeof buffer, 1); }, [&] { file->read(buffer, sizeof buffer, 5); }};
  runBounded(loop);
  delete file;
  EXPECT_EQ(reader.events, (std::vector<std::string>{"open", "read ello", "read "}));
  runBounded(loop);  // the closes
  EXPECT_EQ(readFile(path), "hello");
}

TEST(UvFileIo, OpenModesKeepAppendOrEmpty) {
  TempDir dir;
  UvLoop loop;
  struct Case {
    UvFile::Access access;
    long long offset;
    std::string expected;
  } cases[] = {{UvFile::WRITE, 2, "abXYef"}, {UvFile::READ_WRITE, 4, "abcdXY"}, {UvFile::WRITE_APPEND, 0, "abcdefXY"},
               {UvFile::WRITE_TRUNCATE, 0, "XY"}};
  for (const Case& c : cases) {
    std::string path = dir.file("mode" + std::to_string(c.access));
    writeFile(path, "abcdef");
    Recorder cb;
    char bytes[] = "XY";
    UvFile file(path, c.access, &loop, &cb);
    cb.steps = {[&] { file.write(bytes, 2, c.offset); }};
    runBounded(loop);
    EXPECT_EQ(cb.events, (std::vector<std::string>{"open", "write 2"})) << c.access;
    EXPECT_EQ(readFile(path), c.expected) << c.access;
  }
  // Created when missing, with mode 0644.
  Recorder cb;
  std::string fresh = dir.file("fresh");
  { UvFile file(fresh, UvFile::WRITE, &loop, &cb); runBounded(loop); }
  runBounded(loop);
  struct stat info {};
  ASSERT_EQ(stat(fresh.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u & ~umask(umask(0)));
}

TEST(UvFileIo, RenameExistsAndPathStats) {
  TempDir dir;
  writeFile(dir.file("a.txt"), "12345");
  UvLoop loop;
  Recorder cb;
  UvFile::exists(dir.file("a.txt"), &loop, &cb);
  runBounded(loop);
  UvFile::rename(dir.file("a.txt"), dir.file("b.txt"), &loop, &cb);
  runBounded(loop);
  UvFile::exists(dir.file("a.txt"), &loop, &cb);
  runBounded(loop);
  UvFile::stats(dir.file("b.txt"), &loop, &cb);
  runBounded(loop);
  UvFile::stats(dir.path(), &loop, &cb);
  runBounded(loop);
  EXPECT_EQ(cb.events, (std::vector<std::string>{"exists", "rename", "absent", "stats 5", "stats " +
                                                     std::to_string(UvFile::size(cb.lastStats))}));
  EXPECT_TRUE(UvFile::isDir(cb.lastStats));
  EXPECT_EQ(readFile(dir.file("b.txt")), "12345");
}

// ---- failures reach handleFileError ----

TEST(UvFileErrors, ReportedThroughTheHandlerWithLibuvCodes) {
  TempDir dir;
  writeFile(dir.file("plain"), "x");
  UvLoop loop;
  Recorder missing, folder, readOnly, stats, exists, rename;

  UvFile missingFile(dir.file("nope"), UvFile::READ, &loop, &missing);
  UvFile folderFile(dir.path(), UvFile::WRITE, &loop, &folder);
  char bytes[] = "data";
  UvFile readOnlyFile(dir.file("plain"), UvFile::READ, &loop, &readOnly);
  readOnly.steps = {[&] { readOnlyFile.write(bytes, 4, 0); }};
  UvFile::stats(dir.file("nope"), &loop, &stats);
  UvFile::exists(dir.file("plain") + "/inside", &loop, &exists);  // a file where a folder is wanted
  UvFile::rename(dir.file("nope"), dir.file("other"), &loop, &rename);
  runBounded(loop);

  EXPECT_EQ(missing.events, (std::vector<std::string>{errorEvent(UV_ENOENT)}));
  EXPECT_EQ(folder.events, (std::vector<std::string>{errorEvent(UV_EISDIR)}));
  EXPECT_EQ(readOnly.events, (std::vector<std::string>{"open", errorEvent(UV_EBADF)}));
  EXPECT_EQ(stats.events, (std::vector<std::string>{errorEvent(UV_ENOENT)}));
  EXPECT_EQ(exists.events, (std::vector<std::string>{errorEvent(UV_ENOTDIR)}));
  EXPECT_EQ(rename.events, (std::vector<std::string>{errorEvent(UV_ENOENT)}));
  EXPECT_FALSE(testsupport::fileExists(dir.file("other")));
  EXPECT_THROW(readOnlyFile.read(bytes, -1, 0), std::runtime_error);  // never a huge length
}

TEST(UvFileErrors, HandlerExceptionsLeaveTheLoopAndFreeTheRequest) {
  TempDir dir;
  writeFile(dir.file("a"), "abc");
  UvLoop loop;
  UvFile::FileCb defaults;  // implements nothing
  UvFile::rename(dir.file("a"), dir.file("b"), &loop, &defaults);
  EXPECT_EQ(failureOf(loop), "handleFileRename not implemented");

  struct Throwing : Recorder {
    void handleFileRead(char*, int) override { throw std::runtime_error("reader failed"); }
  } throwing;
  char buffer[8];
  UvFile file(dir.file("b"), UvFile::READ, &loop, &throwing);
  throwing.steps = {[&] { file.read(buffer, sizeof buffer, 0); }};
  EXPECT_EQ(failureOf(loop), "reader failed");
  // The sanitizer build checks that neither request leaked.
}

// ---- deleting owners while requests are in flight ----

TEST(UvFileLifetime, DeletedWithReadInFlightDropsTheResultAndClosesTheFile) {
  TempDir dir;
  std::string path = dir.file("big");
  writeFile(path, std::string(4 << 20, 'r'));
  std::vector<char> buffer(4 << 20);  // outlives the request, as the contract asks
  int withoutLoop = openDescriptors();
  {
    UvLoop loop;
    int before = openDescriptors();
    auto* cb = new Recorder;
    auto* file = new UvFile(path, UvFile::READ, &loop, cb);
    cb->steps = {[&] {
      file->read(buffer.data(), static_cast<int>(buffer.size()), 0);
      delete file;
    }};
    runBounded(loop);
    EXPECT_EQ(cb->events, (std::vector<std::string>{"open"}));
    delete cb;
    EXPECT_EQ(openDescriptors(), before);
  }
  EXPECT_EQ(openDescriptors(), withoutLoop);
}

TEST(UvFileLifetime, DeletedWhileOpeningClosesTheDescriptorItGets) {
  TempDir dir;
  writeFile(dir.file("a"), "abc");
  UvLoop loop;
  int before = openDescriptors();
  Recorder cb;
  for (int i = 0; i < 20; ++i) delete new UvFile(dir.file("a"), UvFile::READ, &loop, &cb);
  runBounded(loop);
  EXPECT_TRUE(cb.events.empty());
  EXPECT_EQ(openDescriptors(), before);
}

TEST(UvFileLifetime, DeletedWithWriteInFlightClosesOnlyAfterTheWrite) {
  // A descriptor closed under a queued write could be reused by the next open and receive its
  // bytes. A write into a full pipe stays in flight until the test drains the pipe.
  TempDir dir;
  std::string pipe = dir.file("pipe");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  int drain = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(drain, 0);
  UvLoop loop;
  int before = openDescriptors();
  Recorder cb;
  std::string data(1 << 20, 'w');
  int whileBlocked = -1;
  size_t drained = 0;
  std::function<void()> check = [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let a wrong close happen
    whileBlocked = openDescriptors();
    char chunk[65536];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (drained < data.size() && std::chrono::steady_clock::now() < deadline) {
      ssize_t n = ::read(drain, chunk, sizeof chunk);
      if (n > 0)
        drained += static_cast<size_t>(n);
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  auto* timer = allocUv<uv_timer_t>();
  uv_timer_init(loop.uvLoop(), timer);
  timer->data = &check;
  auto* file = new UvFile(pipe, UvFile::WRITE, &loop, &cb);
  cb.steps = {[&] {
    file->write(data.data(), static_cast<int>(data.size()), -1);
    delete file;
    uv_timer_start(timer, [](uv_timer_t* t) { (*static_cast<std::function<void()>*>(t->data))(); }, 20, 0);
  }};
  runBounded(loop);
  closeAndFree(reinterpret_cast<uv_handle_t*>(timer));
  EXPECT_EQ(cb.events, (std::vector<std::string>{"open"}));
  EXPECT_EQ(whileBlocked, before + 1);
  EXPECT_EQ(drained, data.size());
  EXPECT_EQ(openDescriptors(), before);
  close(drain);
}

TEST(UvFileLifetime, DeletedReceiverHearsNothing) {
  TempDir dir;
  writeFile(dir.file("a"), "abc");
  UvLoop loop;
  char buffer[8];
  Recorder opener;
  UvFile file(dir.file("a"), UvFile::READ, &loop, &opener);
  runBounded(loop);

  // Every kind of result on its way to a receiver that is then deleted; the sanitizer build
  // turns any late call into a failure.
  auto* reader = new Recorder;
  file.setCb(reader);
  file.read(buffer, sizeof buffer, 0);
  auto* gone = new Recorder;
  UvFile::stats(dir.file("a"), &loop, gone);
  UvFile::exists(dir.file("a"), &loop, gone);
  UvFile::rename(dir.file("a"), dir.file("b"), &loop, gone);
  UvFile::scan(dir.path(), UvFile::RECURSE | UvFile::WITH_STATS, &loop, gone);
  UvFile::mkdirs(dir.file("x/y"), &loop, gone);
  delete reader;
  delete gone;
  runBounded(loop);

  Recorder later;  // the file keeps working for a new receiver
  file.setCb(&later);
  file.stats();
  runBounded(loop);
  EXPECT_EQ(later.events, (std::vector<std::string>{"stats 3"}));
}

TEST(UvFileLifetime, LoopClosedFirstLeavesTheFileInert) {
  TempDir dir;
  writeFile(dir.file("a"), "abc");
  int withoutLoop = openDescriptors();
  Recorder cb;
  UvFile* file;
  {
    UvLoop loop;
    file = new UvFile(dir.file("a"), UvFile::READ, &loop, &cb);
    runBounded(loop);
  }
  EXPECT_EQ(openDescriptors(), withoutLoop);  // the loop's end closed the file too
  EXPECT_THROW(file->stats(), std::runtime_error);
  delete file;
  EXPECT_EQ(cb.events, (std::vector<std::string>{"open"}));
}

// ---- paths ----

TEST(UvFilePaths, NameAndFolderSplitAtEitherSeparator) {
  EXPECT_EQ(UvFile::getName("a/b\\c.txt"), "c.txt");
  EXPECT_EQ(UvFile::getDir("a/b\\c.txt"), "a/b");
  EXPECT_EQ(UvFile::getName("c.txt"), "c.txt");
  EXPECT_EQ(UvFile::getDir("c.txt"), ".");
  EXPECT_EQ(UvFile::getDir("/c.txt"), "");
  EXPECT_EQ(UvFile::getName("a/"), "");
}

TEST(UvFilePaths, FolderIsAFileTypeNotABit) {
  uv_stat_t stats{};
  stats.st_mode = S_IFDIR | 0755;
  EXPECT_TRUE(UvFile::isDir(stats));
  for (unsigned type : {S_IFSOCK, S_IFBLK, S_IFREG, S_IFLNK}) {  // sockets and block devices share the 0x4000 bit
    stats.st_mode = type | 0755;
    EXPECT_FALSE(UvFile::isDir(stats)) << std::oct << type;
  }
  stats.st_size = 1LL << 40;
  EXPECT_EQ(UvFile::size(stats), 1LL << 40);
}
