// In-memory stand-ins for what the copy handlers reach, for the handler tests and the copy
// fuzzer: a file port whose files live in memory (sparse, so offsets above 4 GiB cost nothing)
// and whose requests complete only when the test says so, and a connection whose send buffer
// drains and whose frames arrive when the test says so.
//
// Like the real pool, a request started on a buffer touches that buffer when it completes, even
// when its file or its receiver is gone; a handler that lets go of the memory too early is
// caught by the sanitizer there.
#pragma once

#include <sys/stat.h>
#include <uv.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "net/handlers/CopyProgress.h"
#include "net/handlers/FilePort.h"
#include "net/handlers/IContext.h"
#include "net/handlers/IHandler.h"
#include "net/messages/Message.h"
#include "p2p/uv/UvLoop.h"
#include "utils/ByteBuffer.h"

namespace copytest {

using p2p::UvFile;
// What reports to a receiver later keeps: null once the receiver is gone.
using ReceiverRef = p2p::Liveness::Ref<UvFile::FileCb>;

class FakeFiles : public net::FilePort {
 public:
  static constexpr int64_t BLOCK = 1 << 20;
  enum class Op { Open, Read, Write, Truncate, FileStat, Stat, Exists, Rename, Mkdirs, Scan, Flush, Remove, FlushFolder };
  struct Node {
    bool dir = false;
    int64_t size = 0;
    int64_t version = 0;                          // the modification time, in seconds
    std::map<int64_t, std::vector<char>> blocks;  // absent blocks read as zeros
    std::string link;                             // a symbolic link to this path when not empty
    int64_t ino = 0;
  };

  void addDir(const std::string& path) { nodes[path].dir = true; }
  void addFile(const std::string& path, const std::string& content) {
    addSparse(path, 0);
    put(nodes[path], content.data(), static_cast<int64_t>(content.size()), 0);
  }
  // A file of `size` zero bytes (setByte places others), in its folders, made as needed.
  void addSparse(const std::string& path, int64_t size) {
    for (size_t i = path.find('/', 1); i != std::string::npos; i = path.find('/', i + 1))
      if (!has(path.substr(0, i))) addDir(path.substr(0, i));
    nodes[path] = Node{false, size, ++clock, {}, "", 0};
    nodes[path].ino = ++clock;
  }
  // A symbolic link at `path` to `target`.
  void addLink(const std::string& path, const std::string& target) {
    nodes[path] = Node{};
    nodes[path].link = target;
    nodes[path].ino = ++clock;
  }
  bool isLink(const std::string& path) const { return has(path) && !nodes.at(path).link.empty(); }
  void setByte(const std::string& path, int64_t offset, char value) { put(nodes.at(path), &value, 1, offset); }
  void resize(const std::string& path, int64_t size) { cut(nodes.at(path), size); }
  void touch(const std::string& path) { nodes.at(path).version = ++clock; }

  bool has(const std::string& path) const { return nodes.count(path) != 0; }
  bool isDir(const std::string& path) const { return has(path) && nodes.at(path).dir; }
  int64_t sizeOf(const std::string& path) const { return nodes.at(path).size; }
  std::string content(const std::string& path) const { return bytes(path, 0, sizeOf(path)); }
  std::string bytes(const std::string& path, int64_t offset, int64_t length) const {
    const Node& node = nodes.at(path);
    std::string out(static_cast<size_t>(std::max<int64_t>(0, std::min(length, node.size - offset))), '\0');
    copyOut(node, offset, static_cast<int64_t>(out.size()), &out[0]);
    return out;
  }
  const std::map<std::string, Node>& tree() const { return nodes; }

  // Consulted for every request: a libuv error code to fail it with, or 0.
  std::function<int(Op, const std::string& path)> fault;
  // Reads return at most this many bytes (0: no limit).
  int shortReads = 0;
  // Every path that a request created, wrote, cut or renamed (both names), and every folder made.
  std::vector<std::string> changed;
  // Set when a request came for a file that is not open or still busy (it also throws).
  bool misused = false;
  // Flushes, renames and removals as they completed, each "op path": the order the disk saw.
  std::vector<std::string> journal;

  size_t pending() const { return queue.size(); }
  // Completes the oldest request; false when none waits.
  bool completeOne() {
    if (queue.empty()) return false;
    std::function<void()> run = std::move(queue.front());
    queue.pop_front();
    run();
    return true;
  }
  void completeAll() {
    while (completeOne()) continue;
  }

  std::unique_ptr<File> open(const std::string& path, UvFile::Access access, Cb* cb) override {
    auto state = std::make_shared<OpenState>(OpenState{UvFile::FileCb::refTo(cb), path});
    later(Op::Open, path, state->cb, [this, state, path, access](Cb* to) {
      std::string target = path;
      if (isLink(path)) {
        if (access & UV_FS_O_NOFOLLOW) return to->handleFileError(UV_ELOOP, uv_strerror(UV_ELOOP));
        target = nodes.at(path).link;
      }
      const auto plain = static_cast<UvFile::Access>(access & ~UV_FS_O_NOFOLLOW);
      if (int status = openFile(target, plain)) return to->handleFileError(status, uv_strerror(status));
      state->path = target;
      state->open = true;
      to->handleFileOpen();
    });
    return std::make_unique<OpenFile>(this, state);
  }
  void remove(const std::string& path, Cb* cb) override {
    later(Op::Remove, path, UvFile::FileCb::refTo(cb), [this, path](Cb* to) {
      if (int status = lookup(path)) return to->handleFileError(status, uv_strerror(status));
      if (isDir(path)) return to->handleFileError(UV_EISDIR, uv_strerror(UV_EISDIR));
      nodes.erase(path);
      changed.push_back(path);
      journal.push_back("remove " + path);
      to->handleFileRemove();
    });
  }
  void flushFolder(const std::string& path, Cb* cb) override {
    later(Op::FlushFolder, path, UvFile::FileCb::refTo(cb), [this, path](Cb* to) {
      if (!isDir(path)) return to->handleFileError(UV_ENOTDIR, uv_strerror(UV_ENOTDIR));
      journal.push_back("flushFolder " + path);
      to->handleFileFlush(statOf(nodes.at(path)));
    });
  }
  void stats(const std::string& path, Cb* cb) override {
    later(Op::Stat, path, UvFile::FileCb::refTo(cb), [this, path](Cb* to) {
      if (int status = lookup(path)) return to->handleFileError(status, uv_strerror(status));
      to->handleFileStats(statOf(nodes.at(path)));
    });
  }
  void exists(const std::string& path, Cb* cb) override {
    later(Op::Exists, path, UvFile::FileCb::refTo(cb), [this, path](Cb* to) {
      const int status = lookup(path);
      if (status == UV_ENOENT) return to->handleFileExists(false, uv_stat_t{});
      if (status) return to->handleFileError(status, uv_strerror(status));
      to->handleFileExists(true, statOf(nodes.at(path)));
    });
  }
  void rename(const std::string& from, const std::string& to, Cb* cb) override {
    later(Op::Rename, from, UvFile::FileCb::refTo(cb), [this, from, to](Cb* target) {
      int status = lookup(from);
      if (!status) status = parentStatus(to);
      if (!status && isDir(to)) status = UV_EISDIR;
      if (status) return target->handleFileError(status, uv_strerror(status));
      changed.insert(changed.end(), {from, to});
      journal.push_back("rename " + from + " " + to);
      nodes[to] = nodes.at(from);
      nodes.erase(from);
      target->handleFileRename();
    });
  }
  void mkdirs(const std::string& path, Cb* cb) override {
    later(Op::Mkdirs, path, UvFile::FileCb::refTo(cb), [this, path](Cb* to) {
      for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        const std::string made = path.substr(0, i);
        if (has(made) && !isDir(made)) return to->handleFileError(UV_EEXIST, uv_strerror(UV_EEXIST));
        if (!has(made)) addDir(made), changed.push_back(made);
      }
      to->handleFileMkdirs();
    });
  }
  void scan(const std::string& path, Cb* cb) override {
    later(Op::Scan, path, UvFile::FileCb::refTo(cb), [this, path](Cb* to) {
      if (!isDir(path)) return to->handleFileError(UV_ENOTDIR, uv_strerror(UV_ENOTDIR));
      std::deque<std::string> names;
      std::deque<uv_stat_t> stats;
      list(path, names, stats);
      to->handleFileScan(names, stats);
    });
  }

 private:
  struct OpenState {
    ReceiverRef cb;
    std::string path;
    bool open = false, busy = false;
  };

  class OpenFile : public File {
   public:
    OpenFile(FakeFiles* files, std::shared_ptr<OpenState> state) : files(files), state(std::move(state)) {}
    ~OpenFile() override { state->cb = {}; }
    void setCb(Cb* cb) override { state->cb = UvFile::FileCb::refTo(cb); }
    void read(char* bytes, int len, int64_t offset, std::shared_ptr<void> hold) override {
      files->fileRequest(Op::Read, state, [f = files, bytes, len, offset, hold, path = state->path](Cb* to) {
        if (len < 0 || offset < 0) return to ? to->handleFileError(UV_EINVAL, "invalid argument") : void();
        const Node& node = f->nodes.at(path);
        int64_t n = std::max<int64_t>(0, std::min<int64_t>(len, node.size - offset));
        if (f->shortReads > 0) n = std::min<int64_t>(n, f->shortReads);
        copyOut(node, offset, n, bytes);  // the pool fills the buffer, listener or not
        if (to) to->handleFileRead(bytes, static_cast<int>(n));
      });
    }
    void write(const char* bytes, int len, int64_t offset, std::shared_ptr<void> hold) override {
      files->fileRequest(Op::Write, state, [f = files, bytes, len, offset, hold, path = state->path](Cb* to) {
        f->changed.push_back(path);
        f->put(f->nodes.at(path), bytes, len, offset);  // the pool reads the buffer, listener or not
        if (to) to->handleFileWrite(const_cast<char*>(bytes), len);
      });
    }
    void truncate(int64_t length) override {
      files->fileRequest(Op::Truncate, state, [f = files, length, path = state->path](Cb* to) {
        f->changed.push_back(path);
        f->cut(f->nodes.at(path), length);
        if (to) to->handleFileTruncate();
      });
    }
    void stats() override {
      files->fileRequest(Op::FileStat, state, [f = files, path = state->path](Cb* to) {
        if (to) to->handleFileStats(statOf(f->nodes.at(path)));
      });
    }
    void flush() override {
      files->fileRequest(Op::Flush, state, [f = files, path = state->path](Cb* to) {
        f->journal.push_back("flush " + path);
        if (to) to->handleFileFlush(statOf(f->nodes.at(path)));
      });
    }

   private:
    FakeFiles* files;
    std::shared_ptr<OpenState> state;
  };

  static uv_stat_t statOf(const Node& node) {
    uv_stat_t st{};
    st.st_mode = node.dir ? S_IFDIR | 0755 : !node.link.empty() ? S_IFLNK | 0777 : S_IFREG | 0644;
    st.st_size = static_cast<uint64_t>(node.link.empty() ? node.size : static_cast<int64_t>(node.link.size()));
    st.st_mtim.tv_sec = node.version;
    st.st_ino = static_cast<uint64_t>(node.ino);
    return st;
  }

  // A request on an open file runs even when nobody listens any more (the memory it was given
  // is used all the same) and reports only to a listener that is still there.
  template <class Run>
  void fileRequest(Op op, const std::shared_ptr<OpenState>& state, Run run) {
    if (!state->open || state->busy) {
      misused = true;
      throw std::logic_error(state->busy ? "two requests at once on one file" : "request on a file that is not open");
    }
    state->busy = true;
    const int status = fault ? fault(op, state->path) : 0;
    queue.push_back([state, run, status] {
      state->busy = false;
      Cb* to = state->cb.get();
      if (!status) return run(to);
      if (to) to->handleFileError(status, uv_strerror(status));
    });
  }
  template <class Run>
  void later(Op op, const std::string& path, ReceiverRef cb, Run run) {
    const int status = fault ? fault(op, path) : 0;
    queue.push_back([cb, run, status] {
      Cb* to = cb.get();
      if (!to) return;
      if (status) return to->handleFileError(status, uv_strerror(status));
      run(to);
    });
  }

  // 0, or why `path` cannot be looked at: under a file, or missing.
  int lookup(const std::string& path) const {
    for (size_t i = path.find('/', 1); i != std::string::npos; i = path.find('/', i + 1))
      if (has(path.substr(0, i)) && !isDir(path.substr(0, i))) return UV_ENOTDIR;
    return has(path) ? 0 : UV_ENOENT;
  }
  // 0, or why nothing can be made at `path`: its folder is missing or is a file.
  int parentStatus(const std::string& path) const {
    const std::string dir = UvFile::getDir(path);
    if (dir.empty()) return 0;
    if (int status = lookup(dir)) return status;
    return isDir(dir) ? 0 : UV_ENOTDIR;
  }
  int openFile(const std::string& path, UvFile::Access access) {
    if (int status = lookup(path); status != 0 && status != UV_ENOENT) return status;
    if (isDir(path)) return UV_EISDIR;
    if (!has(path)) {
      if (access == UvFile::READ) return UV_ENOENT;
      if (int status = parentStatus(path)) return status;
      addFile(path, "");
    } else if (access == UvFile::WRITE_TRUNCATE) {
      cut(nodes.at(path), 0);
    } else {
      return 0;
    }
    changed.push_back(path);
    return 0;
  }
  // Depth first, each folder's files before its subfolders.
  void list(const std::string& dir, std::deque<std::string>& names, std::deque<uv_stat_t>& stats) const {
    std::vector<std::string> subdirs;
    for (const auto& [p, node] : nodes) {
      if (p.size() <= dir.size() + 1 || p.compare(0, dir.size() + 1, dir + "/") != 0) continue;
      if (p.find('/', dir.size() + 1) != std::string::npos) continue;  // deeper down
      if (node.dir) {
        subdirs.push_back(p);
        continue;
      }
      names.push_back(p);
      stats.push_back(statOf(node));
    }
    for (const std::string& sub : subdirs) {
      names.push_back(sub);
      stats.push_back(statOf(nodes.at(sub)));
      list(sub, names, stats);
    }
  }

  void put(Node& node, const char* data, int64_t length, int64_t offset) {
    node.version = ++clock;
    for (int64_t done = 0; done < length;) {
      const int64_t at = offset + done, n = std::min(length - done, BLOCK - at % BLOCK);
      std::vector<char>& block = node.blocks[at / BLOCK];
      block.resize(BLOCK);
      std::memcpy(block.data() + at % BLOCK, data + done, static_cast<size_t>(n));
      done += n;
    }
    node.size = std::max(node.size, offset + length);
  }
  void cut(Node& node, int64_t size) {
    node.version = ++clock;
    node.blocks.erase(node.blocks.lower_bound((size + BLOCK - 1) / BLOCK), node.blocks.end());
    if (size % BLOCK && node.blocks.count(size / BLOCK)) {
      std::vector<char>& last = node.blocks[size / BLOCK];
      std::fill(last.begin() + size % BLOCK, last.end(), 0);
    }
    node.size = size;
  }
  // `length` bytes from `offset`, all within the file, into `out`.
  static void copyOut(const Node& node, int64_t offset, int64_t length, char* out) {
    for (int64_t done = 0; done < length;) {
      const int64_t at = offset + done, n = std::min<int64_t>(length - done, BLOCK - at % BLOCK);
      auto it = node.blocks.find(at / BLOCK);
      if (it == node.blocks.end())
        std::memset(out + done, 0, static_cast<size_t>(n));
      else
        std::memcpy(out + done, it->second.data() + at % BLOCK, static_cast<size_t>(n));
      done += n;
    }
  }

  std::map<std::string, Node> nodes;
  std::deque<std::function<void()>> queue;
  int64_t clock = 1000;
};

// The connection as a handler sees it. A sent frame stays in the send buffer until drain(),
// which is when it is read out (so a handler that writes into the buffer meanwhile is caught);
// frames from the peer wait while the handler is not ready for them.
class FakeContext : public net::IContext {
 public:
  FakeContext(p2p::UvLoop* loop, FakeFiles* files) : uvLoop(loop), fileSystem(files) { sendBuffer->flip(); }

  std::string myName = "bob@example.com";
  Ticket ticket;
  net::IHandler* handler = nullptr;

  std::vector<std::vector<int8_t>> sent;  // every frame that left, in order
  std::function<void(const std::vector<int8_t>&)> onSent;
  bool closed = false;
  int closes = 0;
  std::string closeReason;
  std::vector<net::CopyProgress> progress;  // every notification
  p2p::Server::ServerCb<bool>* verifyCb = nullptr;
  int verifies = 0;

  // The stream takes the frame in the send buffer; the handler is pumped as the connection does.
  bool drain() {
    if (!sendBuffer->hasRemaining()) return false;
    sent.emplace_back(sendBuffer->array() + sendBuffer->position(), sendBuffer->array() + sendBuffer->limit());
    sendBuffer->position(sendBuffer->limit());
    if (onSent) onSent(sent.back());
    if (handler && !closed) handler->handleSend();
    return true;
  }
  // A frame from the peer, handed over as soon as the handler is ready for it.
  void deliver(const net::Message& m) {
    ByteBuffer b(net::Message::getHeaderLength() + 65536 * 2);
    m.encode(b);
    deliverFrame(std::vector<int8_t>(b.array(), b.array() + b.position()));
  }
  void deliverFrame(const std::vector<int8_t>& frame) {
    incoming.push_back(frame);
    deliverReady();
  }
  // Hands over the frames the handler is ready for; says whether any went.
  bool deliverReady() {
    bool any = false;
    for (; !incoming.empty() && handler && !closed && handler->recvReady(); any = true) {
      std::vector<int8_t> frame = std::move(incoming.front());
      incoming.pop_front();
      recvBuffer->clear();
      recvBuffer->put(frame.data() + 4, static_cast<int32_t>(frame.size()) - 4);
      recvBuffer->flip();
      std::unique_ptr<net::Message> m(net::Message::decodeMessage(*recvBuffer));
      handler->handleRecv(m.get());
    }
    return any;
  }
  // The connection goes: its buffers are let go (a handler's hold keeps them for its requests).
  void dropBuffers() {
    recvBuffer.reset();
    sendBuffer.reset();
  }

  const std::string& uuid() const override { return myUuid; }
  const std::string& username() const override { return myName; }
  const std::string& computerName() const override { return myComputer; }
  const std::string& recvPath() const override { return receiveFolder; }
  void makeSignature(const std::string& peeruuid, std::string& signature) const override {
    signature = "signed:" + peeruuid;
  }
  p2p::UvLoop* loop() const override { return uvLoop; }
  p2p::Server* server() const override { return nullptr; }
  void verify(const std::string&, const std::string&, const std::string&, p2p::Server::ServerCb<bool>* cb) override {
    verifyCb = cb;
    ++verifies;
  }
  bool canSend() const override { return !closed && sendBuffer && !sendBuffer->hasRemaining(); }
  bool send(const net::Message* m) override {
    if (!canSend()) return false;
    sendBuffer->clear();
    m->encode(*sendBuffer);
    sendBuffer->flip();
    return true;
  }
  ByteBuffer* getSendBuffer() override { return sendBuffer.get(); }
  void close(bool, const std::string& reason) override {
    if (closes++ == 0) closed = true, closeReason = reason;
  }
  void notify(void* data) override { progress.push_back(*static_cast<net::CopyProgress*>(data)); }
  Ticket findTicket(const std::string& code, const std::string& username) override {
    return code == ticket.code && username == ticket.toUsername ? ticket : Ticket();
  }
  net::FilePort* files() override { return fileSystem; }
  std::shared_ptr<void> holdBuffers() const override {
    return std::make_shared<std::pair<std::shared_ptr<ByteBuffer>, std::shared_ptr<ByteBuffer>>>(recvBuffer,
                                                                                                 sendBuffer);
  }

 private:
  const std::string myUuid = "11111111-2222-1333-8444-555555555555", myComputer = "bob's computer",
                    receiveFolder = "/recv";
  p2p::UvLoop* uvLoop;
  FakeFiles* fileSystem;
  std::shared_ptr<ByteBuffer> recvBuffer = std::make_shared<ByteBuffer>(61440);
  std::shared_ptr<ByteBuffer> sendBuffer = std::make_shared<ByteBuffer>(61440);
  std::deque<std::vector<int8_t>> incoming;
};

// A frame back into a message, with the bytes a FileWrite's data points into.
struct Frame {
  std::vector<int8_t> bytes;
  std::unique_ptr<net::Message> m;
  template <class T>
  const T& as() const {
    return *static_cast<const T*>(m.get());
  }
  int32_t opcode() const { return m->getOpcode(); }
};

inline Frame decodeFrame(const std::vector<int8_t>& frame) {
  Frame f{std::vector<int8_t>(frame.begin() + 4, frame.end()), nullptr};
  ByteBuffer b(f.bytes.data(), static_cast<int32_t>(f.bytes.size()));
  f.m.reset(net::Message::decodeMessage(b));
  return f;
}

}  // namespace copytest
