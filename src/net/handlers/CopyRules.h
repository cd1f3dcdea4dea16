// What the two sides of a copy connection agree on besides the frames: fingerprint steps and
// modes, how a requested path is named, and which names from a peer may be written.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Checksum;

namespace net {

// The receiver reports a fingerprint after every step of at most this many bytes.
constexpr int64_t MAX_FINGERPRINT_LENGTH = 10000000;

// The `fingerprintMode` of FileCreate and FileAck.
enum FingerprintMode : int32_t {
  FINGERPRINT_XOR64 = 0,
  FINGERPRINT_FLETCHER64 = 1,
  // Ours: the first 8 bytes of SHA-256, asked for only of a receiver that announces PRINT_SHA256.
  FINGERPRINT_SHA256 = 2,
};

// The bits of `print` in a CopyRequest: what our receiver knows besides the plain exchange. A
// sender uses only the bits it sees; a receiver built to the older rules sends 0 and sees the
// plain exchange.
enum PrintBits : int32_t {
  PRINT_SHA256 = 2,             // fingerprint mode 2
  PRINT_RECEIVER_COMPARES = 4,  // the sender sends fingerprints, the receiver answers the resume point
  PRINT_PIPELINE = 8,           // with 4: the sender may announce files ahead of the one whose data flows
};

// The pipeline's bounds, the same on both sides: files announced and not yet acknowledged whole;
// bytes a receiver holds for the disk before it takes no more frames.
constexpr size_t PIPELINE_FILES = 128;
constexpr int64_t RECEIVE_BUFFERED_BYTES = 16 << 20;
// Bytes a sender reads ahead for all its files.
constexpr int64_t SEND_LOADED_BYTES = 16 << 20;
// Data goes to and comes from the disk in pieces of at most this many bytes.
constexpr int32_t DISK_PIECE = 1 << 20;
// Buffers of the comparisons one side runs at once (one comparison always runs).
constexpr int64_t COMPARE_BUFFER_BYTES = 24000000;

// `sync` of a FILE_CREATE that announces a file for the receiver's own comparison (1 announces
// it for the sender's, 0 gives the resume point).
constexpr int32_t SYNC_RECEIVER_COMPARES = 2;

// The checksum of a mode: SHA-256 for 2, Xor64 for 0, Fletcher64 for any other.
std::unique_ptr<Checksum> newFingerprint(int32_t mode);

// A requested path as both sides name it: without trailing separators ("/" stays "/").
std::string normalisedPath(std::string path);

// The parts of a path between "/" and "\\" separators, empty ones included.
std::vector<std::string> splitPath(const std::string& path);

// Why a peer's file or folder name must not be written, or "" when it may: not empty, not "."
// or "..", no separator, no NUL or other control character, not a temporary name, at most 255
// bytes.
std::string refusedName(const std::string& name);
// The same for the name of a file, which must also leave room for the temporary prefix.
std::string refusedFileName(const std::string& name);

// The prefix that marks a file still being received.
extern const char* const TEMP_PREFIX;

}  // namespace net
