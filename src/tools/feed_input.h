// Opening what a feed path names, safely. Nothing here blocks in open(): a
// path is opened with O_NONBLOCK and then looked at with fstat.
//
// - A regular file (or a block device) is read as a seekable file, and each
//   reader opens it again from its start.
// - A FIFO, a pipe or "-" (standard input) can be read once only. The handle
//   opened when the input is checked is the one that its one reader gets, so
//   no byte is lost between the check and the reading. A FIFO that no process
//   has open for writing is refused at once instead of waited for.
// - Character devices (an endless /dev/urandom, a terminal), sockets and
//   directories are refused with a clear error. Like the system's error
//   texts, these leave naming the path to the caller.
//
// A path ending in ".gz" or ".zst" is read through streaming decompression
// (zlib, libzstd), whatever it names; compressed data that ends early or is
// damaged is an error, never the end of the feed. A compressed file (not a
// pipe) is decompressed on a thread of its own, a few MiB ahead of the
// reader, so that decompressing and decoding overlap.
//
// A regular file may be followed while it grows (FollowOptions): at its
// current end a read waits for more bytes, woken by inotify (or by polling
// every few milliseconds where inotify is not available), and a record cut
// short at the end is waited for. The follow ends after idle_timeout with no
// growth, or when `stop` is set; a file that shrinks or is replaced fails.
//
// A wait for bytes from a pipe sleeps in poll(2), never spinning; the
// thread's WaitCheck (if any) is asked every fraction of a second and after
// every signal whether to give up. Plain C++: no Python.h here.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "feed_decoder.h"
#include "status.h"

namespace tidemark::input {

// Asked while a read waits for bytes: returns true to give up the wait, which
// then fails with kInterrupted.
using WaitCheck = std::function<bool()>;
extern const char* const kInterrupted;

// Makes `check` the calling thread's WaitCheck for the life of the guard
// (restoring the one before it afterwards).
class ScopedWaitCheck {
 public:
  explicit ScopedWaitCheck(const WaitCheck* check);
  ~ScopedWaitCheck();
  ScopedWaitCheck(const ScopedWaitCheck&) = delete;
  ScopedWaitCheck& operator=(const ScopedWaitCheck&) = delete;

 private:
  const WaitCheck* saved_;
};

// When the batch being filled got its first bytes, shared by every followed
// file of one stream: a wait on any of them ends when that batch is due, so
// rows read from one file are not held back while another file is quiet.
//
// A reader arms it when it hands out bytes, and the table that writes the
// rows arms it when a batch gets its first row (bytes decoded before a
// pause may give rows only after it); the pause that hands the batch out
// disarms it.
struct FlushClock {
  std::atomic<int64_t> armed_at_ns{-1};  // steady clock; -1: not armed

  // Arms the clock now unless it is armed already.
  void arm();
};

struct FollowOptions {
  // A read that has handed out bytes pauses (ByteReader::kPause) when no more
  // arrive within this long of the first of them, so the caller can hand out
  // what it has decoded.
  int64_t flush_interval_ns = 100'000'000;
  int64_t idle_timeout_ns = -1;             // end after this long with no growth; < 0: never
  std::shared_ptr<std::atomic<bool>> stop;  // set: end at the next wait
  std::shared_ptr<FlushClock> clock;        // null: the reader keeps its own
};

enum class Kind {
  kFile,  // regular file or block device: seekable, opened again by each reader
  kPipe,  // FIFO, pipe or standard input: read once
};

struct Input {
  std::unique_ptr<FeedFile> file;  // at offset 0
  Kind kind = Kind::kFile;
  uint64_t size = 0;        // a file's size as stored; 0 for a pipe
  bool compressed = false;  // size is not the size of the feed's bytes
};

// Whether `path` is read through decompression: it ends in ".gz" or ".zst".
inline bool compressed_path(std::string_view path) {
  return path.ends_with(".gz") || path.ends_with(".zst");
}

// Opens `path` ("-" for standard input) for reading a feed, without
// blocking. Fails with the OS text (open, fstat), with the loader's NUL-byte
// text, or with a text saying why the path cannot hold a feed.
// With `follow`, a regular file is followed as it grows; a compressed file
// cannot be (an error).
Result<Input> open_input(const std::string& path,
                         std::size_t buffer_size = FeedFile::kDefaultBuffer,
                         const FollowOptions* follow = nullptr);

// A feed input opened and checked once (its first record header validated,
// as open_stream does without counting), from which readers are made: each
// take() of a file opens it again, the first take() of a pipe hands over the
// checked handle and any later one fails. Safe to share between threads.
class CheckedInput {
 public:
  // With `follow`, every reader follows the file as it grows.
  static Result<std::shared_ptr<CheckedInput>> open(const std::string& path,
                                                    const FollowOptions* follow = nullptr);

  // Returns a FeedFile at offset 0 for a new reader. A followed file pauses
  // by `clock` when given (one per stream, shared by its files).
  Result<std::unique_ptr<FeedFile>> take(std::shared_ptr<FlushClock> clock = nullptr);

  const std::string& path() const { return path_; }
  Kind kind() const { return kind_; }

 private:
  CheckedInput(std::string path, Kind kind) : path_(std::move(path)), kind_(kind) {}

  std::string path_;
  Kind kind_;
  std::optional<FollowOptions> follow_;
  std::mutex mutex_;
  std::unique_ptr<FeedFile> held_;  // a pipe's checked handle, until taken
  bool taken_ = false;
};

}  // namespace tidemark::input
