#include "feed_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace tidemark::input {

const char* const kInterrupted = "interrupted";

namespace {

// How often a wait with a WaitCheck asks it, at most.
constexpr int kWaitSliceMs = 100;

thread_local const WaitCheck* t_wait_check = nullptr;

bool give_up_wait() { return t_wait_check != nullptr && (*t_wait_check)(); }

// A FIFO, pipe or standard input. It can only go forwards: a seek succeeds
// only to where it already is (which is all that checking the first record
// of a fresh input needs while its bytes are still buffered).
class PipeReader final : public ByteReader {
 public:
  // `nonblocking`: the descriptor has O_NONBLOCK (it was opened here, so its
  // flags are this process's own; standard input is shared with other
  // processes, so its flags are left alone and it is waited on before each
  // read instead).
  PipeReader(int fd, bool nonblocking) : fd_(fd), nonblocking_(nonblocking) {}
  ~PipeReader() override { ::close(fd_); }
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;

  // Tells, for a FIFO just opened without blocking, whether a process has it
  // open for writing: such a FIFO reads as ended while nobody writes to it.
  // What the probe reads is kept for the first read.
  Status probe_writer() {
    probe_.resize(4096);
    for (;;) {
      const ssize_t got = ::read(fd_, probe_.data(), probe_.size());
      if (got > 0) {
        probe_.resize(static_cast<std::size_t>(got));
        return Status();
      }
      if (got == 0) {
        return Status::error(
            "no process has this FIFO open for writing (start the writer first, then the "
            "reader)");
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        probe_.clear();
        return Status();
      }
      if (errno != EINTR) return Status::error(os_error_text(errno));
    }
  }

  std::ptrdiff_t read(uint8_t* buf, std::size_t n, std::string& error) override {
    if (probe_used_ < probe_.size()) {
      const std::size_t k = std::min(n, probe_.size() - probe_used_);
      std::memcpy(buf, probe_.data() + probe_used_, k);
      probe_used_ += k;
      position_ += k;
      return static_cast<std::ptrdiff_t>(k);
    }
    for (;;) {
      if (!nonblocking_ && !wait_readable(error)) return -1;
      const ssize_t got = ::read(fd_, buf, n);
      if (got >= 0) {
        position_ += static_cast<uint64_t>(got);
        return got;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (nonblocking_ && !wait_readable(error)) return -1;
      } else if (errno == EINTR) {
        if (give_up_wait()) {
          error = kInterrupted;
          return -1;
        }
      } else {
        error = os_error_text(errno);
        return -1;
      }
    }
  }

  Status seek(uint64_t offset) override {
    if (offset == position_) return Status();
    return Status::error(os_error_text(ESPIPE));
  }

 private:
  // Sleeps until the pipe has bytes, an end or an error for read() to
  // report. Returns false with the text in `error` when the wait fails or
  // the WaitCheck gives it up.
  bool wait_readable(std::string& error) {
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, t_wait_check != nullptr ? kWaitSliceMs : -1);
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) {
        error = os_error_text(errno);
        return false;
      }
      if (give_up_wait()) {
        error = kInterrupted;
        return false;
      }
    }
  }

  int fd_;
  bool nonblocking_;
  std::vector<uint8_t> probe_;  // bytes read by probe_writer, not yet handed out
  std::size_t probe_used_ = 0;
  uint64_t position_ = 0;
};

// Compressed data ends before its stream does, or is damaged: never taken
// for the end of the feed, so a cut recording is not silently shorter.
std::string truncated(const char* format) {
  return std::string("truncated ") + format + " data: the compressed file ends early";
}

// Going back to the start of a decompressed stream means starting over; any
// other seek is refused.
Status seek_compressed(uint64_t offset, uint64_t position) {
  if (offset == position) return Status();
  return Status::error(os_error_text(ESPIPE));
}

constexpr std::size_t kCompressedChunk = 128 * 1024;
// A zstd file is read in larger pieces: one piece then fills a whole buffer
// of the thread that decompresses ahead, with fewer reads and hand-offs.
constexpr std::size_t kZstdChunk = 1 << 20;

// The bytes of a gzip file (one member or several one after another),
// decompressed with zlib straight into the reader's buffer.
class GzipReader final : public ByteReader {
 public:
  explicit GzipReader(std::unique_ptr<ByteReader> in)
      : in_(std::move(in)), chunk_(new uint8_t[kCompressedChunk]) {
    // 16 + 15: gzip framing, the largest window.
    if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~GzipReader() override { inflateEnd(&z_); }
  GzipReader(const GzipReader&) = delete;
  GzipReader& operator=(const GzipReader&) = delete;

  std::ptrdiff_t read(uint8_t* buf, std::size_t n, std::string& error) override {
    if (ended_) return 0;
    n = std::min<std::size_t>(n, 1u << 30);  // avail_out is 32-bit
    z_.next_out = buf;
    z_.avail_out = static_cast<uInt>(n);
    while (z_.avail_out == n) {
      if (z_.avail_in == 0) {
        const std::ptrdiff_t got = in_->read(chunk_.get(), kCompressedChunk, error);
        if (got < 0) return -1;
        if (got == 0) {
          if (!in_member_) {
            ended_ = true;
            return 0;
          }
          error = truncated("gzip");
          return -1;
        }
        z_.next_in = chunk_.get();
        z_.avail_in = static_cast<uInt>(got);
      }
      in_member_ = true;
      const int r = inflate(&z_, Z_NO_FLUSH);
      if (r == Z_STREAM_END) {
        in_member_ = false;  // another member may follow
        inflateReset(&z_);
      } else if (r == Z_MEM_ERROR) {
        throw std::bad_alloc();
      } else if (r != Z_OK && !(r == Z_BUF_ERROR && z_.avail_in == 0)) {
        error = std::string("corrupt gzip data: ") + (z_.msg != nullptr ? z_.msg : "bad stream");
        return -1;
      }
    }
    const std::size_t produced = n - z_.avail_out;
    position_ += produced;
    return static_cast<std::ptrdiff_t>(produced);
  }

  Status seek(uint64_t offset) override {
    if (offset != 0 || position_ == 0) return seek_compressed(offset, position_);
    Status s = in_->seek(0);
    if (!s.ok()) return s;
    inflateReset(&z_);
    z_.avail_in = 0;
    in_member_ = ended_ = false;
    position_ = 0;
    return Status();
  }

 private:
  std::unique_ptr<ByteReader> in_;
  std::unique_ptr<uint8_t[]> chunk_;
  z_stream z_{};
  bool in_member_ = false;  // inside a member: the input must not end here
  bool ended_ = false;
  uint64_t position_ = 0;
};

// The bytes of a zstd file (any number of frames), decompressed straight
// into the reader's buffer.
class ZstdReader final : public ByteReader {
 public:
  explicit ZstdReader(std::unique_ptr<ByteReader> in)
      : in_(std::move(in)), chunk_(new uint8_t[kZstdChunk]), z_(ZSTD_createDStream()) {
    if (z_ == nullptr) throw std::bad_alloc();
  }
  ~ZstdReader() override { ZSTD_freeDStream(z_); }
  ZstdReader(const ZstdReader&) = delete;
  ZstdReader& operator=(const ZstdReader&) = delete;

  std::ptrdiff_t read(uint8_t* buf, std::size_t n, std::string& error) override {
    if (ended_) return 0;
    ZSTD_outBuffer out{buf, n, 0};
    for (;;) {
      const std::size_t before = pending_.pos;
      const std::size_t r = ZSTD_decompressStream(z_, &out, &pending_);
      if (ZSTD_isError(r)) {
        error = std::string("corrupt zstd data: ") + ZSTD_getErrorName(r);
        return -1;
      }
      if (pending_.pos > before) in_frame_ = true;
      if (r == 0) in_frame_ = false;  // a frame ended and is all handed out
      if (out.pos > 0) break;
      if (pending_.pos < pending_.size) continue;
      const std::ptrdiff_t got = in_->read(chunk_.get(), kZstdChunk, error);
      if (got < 0) return -1;
      if (got == 0) {
        if (!in_frame_) {
          ended_ = true;
          return 0;
        }
        error = truncated("zstd");
        return -1;
      }
      pending_ = ZSTD_inBuffer{chunk_.get(), static_cast<std::size_t>(got), 0};
    }
    position_ += out.pos;
    return static_cast<std::ptrdiff_t>(out.pos);
  }

  Status seek(uint64_t offset) override {
    if (offset != 0 || position_ == 0) return seek_compressed(offset, position_);
    Status s = in_->seek(0);
    if (!s.ok()) return s;
    ZSTD_DCtx_reset(z_, ZSTD_reset_session_only);
    pending_ = ZSTD_inBuffer{};
    in_frame_ = ended_ = false;
    position_ = 0;
    return Status();
  }

 private:
  std::unique_ptr<ByteReader> in_;
  std::unique_ptr<uint8_t[]> chunk_;
  ZSTD_DStream* z_;
  ZSTD_inBuffer pending_{};  // compressed bytes read but not yet decompressed
  bool in_frame_ = false;    // inside a frame: the input must not end here
  bool ended_ = false;
  uint64_t position_ = 0;
};

// Decompression on a thread of its own, a few buffers ahead of the reader,
// so that decompressing the next bytes overlaps decoding the ones before.
//
// The inner reader is called exactly as it would be inline, with a whole
// buffer each time, and what it gives (bytes, then the end, an error or an
// exception) is handed out in the same order: the bytes and the failure the
// caller sees do not change. Only a file is read this way, never a pipe,
// whose reads may wait without end (and ask the calling thread's WaitCheck).
// The first read runs inline, so that an input opened only to check its
// first record starts no thread. The thread is stopped and joined before the
// reader is destroyed or goes back to the start; it touches nothing but the
// inner reader and the buffers.
class ReadAhead final : public ByteReader {
 public:
  explicit ReadAhead(std::unique_ptr<ByteReader> in) : in_(std::move(in)) {
    for (Slot& slot : slots_) slot.data.reset(new uint8_t[kSlotSize]);
  }
  ~ReadAhead() override { halt(); }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  std::ptrdiff_t read(uint8_t* buf, std::size_t n, std::string& error) override {
    if (!thread_.joinable() && !done_) {
      // The first read is inline; the thread starts at the second, and if
      // no thread can be made, every read stays inline.
      if (std::exchange(read_once_, true)) {
        try {
          thread_ = std::thread([this] { run(); });
        } catch (const std::system_error&) {
        }
      }
      if (!thread_.joinable() && count_ == 0) produce();
    }
    std::size_t ready;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      filled_.wait(lock, [this] { return count_ > 0 || done_; });
      ready = count_;
    }
    if (ready == 0) {
      if (failure_) std::rethrow_exception(failure_);
      if (last_ < 0) error = error_;
      return last_;
    }
    // The `ready` slots from head_ on are the reader's until handed back.
    std::size_t copied = 0;
    std::size_t emptied = 0;
    while (copied < n && emptied < ready) {
      Slot& slot = slots_[(head_ + emptied) % kSlots];
      const std::size_t k = std::min(n - copied, slot.size - taken_);
      std::memcpy(buf + copied, slot.data.get() + taken_, k);
      copied += k;
      taken_ += k;
      if (taken_ == slot.size) {
        taken_ = 0;
        ++emptied;
      }
    }
    if (emptied > 0) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        head_ = (head_ + emptied) % kSlots;
        count_ -= emptied;
      }
      freed_.notify_one();
    }
    position_ += copied;
    return static_cast<std::ptrdiff_t>(copied);
  }

  Status seek(uint64_t offset) override {
    if (offset != 0 || position_ == 0) return seek_compressed(offset, position_);
    halt();
    head_ = count_ = taken_ = 0;
    done_ = stop_ = false;
    last_ = 0;
    error_.clear();
    failure_ = nullptr;
    read_once_ = false;
    position_ = 0;
    return in_->seek(0);
  }

 private:
  // Each slot takes one read of the inner reader, with as much room as a
  // read had inline (a read fills a few hundred KiB of it, and only what is
  // written takes memory): three keep the thread ahead without holding many
  // MiB per file of a merge over many files.
  static constexpr std::size_t kSlots = 3;
  static constexpr std::size_t kSlotSize = 1 << 20;

  struct Slot {
    std::unique_ptr<uint8_t[]> data;
    std::size_t size = 0;
  };

  void run() {
    while (produce()) {
    }
  }

  // Fills the next free slot with one read of the inner reader; false once
  // the input has ended or failed, or the reader is stopping.
  bool produce() {
    std::size_t tail;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      freed_.wait(lock, [this] { return stop_ || count_ < kSlots; });
      if (stop_) return false;
      tail = (head_ + count_) % kSlots;
    }
    std::string error;
    std::ptrdiff_t got;
    std::exception_ptr failure;
    try {
      got = in_->read(slots_[tail].data.get(), kSlotSize, error);
    } catch (...) {
      failure = std::current_exception();
      got = -1;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (got > 0) {
        slots_[tail].size = static_cast<std::size_t>(got);
        ++count_;
      } else {
        done_ = true;
        last_ = got;
        error_ = std::move(error);
        failure_ = std::move(failure);
      }
    }
    filled_.notify_one();
    return got > 0;
  }

  // Stops the thread, if any, and waits for it to finish its read.
  void halt() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    freed_.notify_one();
    if (thread_.joinable()) thread_.join();
  }

  std::unique_ptr<ByteReader> in_;
  Slot slots_[kSlots];
  std::thread thread_;
  bool read_once_ = false;  // the first read (inline) was made
  std::mutex mutex_;
  std::condition_variable filled_;  // a slot was filled, or the input is done
  std::condition_variable freed_;   // slots were handed back, or stop_ was set
  // Guarded by mutex_: the filled slots are head_ .. head_ + count_ - 1.
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  bool stop_ = false;
  // Set with done_ (guarded by mutex_), read by the reader only after it.
  bool done_ = false;
  std::ptrdiff_t last_ = 0;  // the inner reader's last return: 0 (end) or -1
  std::string error_;
  std::exception_ptr failure_;
  // The reader's own.
  std::size_t taken_ = 0;  // bytes of slots_[head_] already handed out
  uint64_t position_ = 0;
};

// The decompressing reader over `in` that the path's suffix asks for, or
// `in` itself. With `ahead`, decompression runs on a thread of its own.
std::unique_ptr<ByteReader> decompressed(const std::string& path, std::unique_ptr<ByteReader> in,
                                         bool& compressed, std::size_t& buffer_size, bool ahead) {
  std::unique_ptr<ByteReader> out;
  if (path.ends_with(".gz")) {
    out = std::make_unique<GzipReader>(std::move(in));
  } else if (path.ends_with(".zst")) {
    out = std::make_unique<ZstdReader>(std::move(in));
  } else {
    compressed = false;
    return in;
  }
  compressed = true;
  if (ahead) return std::make_unique<ReadAhead>(std::move(out));
  // A larger buffer lets the decompressor write whole blocks straight into it.
  buffer_size = std::max<std::size_t>(buffer_size, 1 << 20);
  return out;
}

using Clock = std::chrono::steady_clock;

// A regular file followed as it grows (see FollowOptions).
class FollowReader final : public ByteReader {
 public:
  FollowReader(int fd, std::string path, const struct stat& st, FollowOptions options)
      : fd_(fd),
        path_(std::move(path)),
        dev_(st.st_dev),
        ino_(st.st_ino),
        options_(std::move(options)),
        clock_(options_.clock != nullptr ? options_.clock : std::make_shared<FlushClock>()),
        last_growth_(Clock::now()) {
    notify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify_ >= 0 && ::inotify_add_watch(notify_, path_.c_str(),
                                            IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF |
                                                IN_DELETE_SELF) < 0) {
      ::close(notify_);
      notify_ = -1;
    }
  }
  ~FollowReader() override {
    if (notify_ >= 0) ::close(notify_);
    ::close(fd_);
  }
  FollowReader(const FollowReader&) = delete;
  FollowReader& operator=(const FollowReader&) = delete;

  std::ptrdiff_t read(uint8_t* buf, std::size_t n, std::string& error) override {
    for (;;) {
      auto now = Clock::now();
      if (due(now)) {
        // A flush interval since the first bytes of the batch: let the
        // caller hand it out, even while bytes keep coming.
        clock_->armed_at_ns.store(-1, std::memory_order_relaxed);
        return kPause;
      }
      if (options_.stop && options_.stop->load()) return kStop;
      const ssize_t got = ::read(fd_, buf, n);
      if (got > 0) {
        now = Clock::now();
        if (clock_->armed_at_ns.load(std::memory_order_relaxed) < 0) {
          clock_->armed_at_ns.store(ns_of(now), std::memory_order_relaxed);
        }
        last_growth_ = now;
        position_ += static_cast<uint64_t>(got);
        return got;
      }
      if (got < 0 && errno != EINTR) {
        error = os_error_text(errno);
        return -1;
      }
      if (got == 0) {
        // At the current end: still the same file, not shorter?
        if (!same_file(error)) return -1;
        if (due(now)) continue;
        if (options_.idle_timeout_ns >= 0 &&
            now >= last_growth_ + std::chrono::nanoseconds(options_.idle_timeout_ns)) {
          return 0;
        }
        wait(now);
      }
      if (give_up_wait()) {
        error = kInterrupted;
        return -1;
      }
    }
  }

  Status seek(uint64_t offset) override {
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
      return Status::error(os_error_text(errno));
    }
    position_ = offset;
    return Status();
  }

 private:
  static int64_t ns_of(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  }

  // Whether the batch being filled is due: bytes were read for it and the
  // flush interval has passed since the first of them.
  bool due(Clock::time_point now) const {
    const int64_t armed = clock_->armed_at_ns.load(std::memory_order_relaxed);
    return armed >= 0 && ns_of(now) - armed >= options_.flush_interval_ns;
  }

  // Sleeps until the file may have changed, a deadline comes, or a short
  // slice has passed (to look at `stop` and the WaitCheck).
  void wait(Clock::time_point now) {
    auto until = now + std::chrono::milliseconds(notify_ >= 0 ? 100 : 10);
    const int64_t armed = clock_->armed_at_ns.load(std::memory_order_relaxed);
    if (armed >= 0) {
      until = std::min(
          until, Clock::time_point(std::chrono::nanoseconds(armed + options_.flush_interval_ns)));
    }
    if (options_.idle_timeout_ns >= 0) {
      until = std::min(until, last_growth_ + std::chrono::nanoseconds(options_.idle_timeout_ns));
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
    const int timeout = static_cast<int>(std::max<int64_t>(ms, 0));
    if (notify_ < 0) {
      ::poll(nullptr, 0, timeout);
      return;
    }
    pollfd p{notify_, POLLIN, 0};
    if (::poll(&p, 1, timeout) > 0) {
      // Only the wake-up matters: drain the events.
      alignas(inotify_event) char events[4096];
      while (::read(notify_, events, sizeof events) > 0) {
      }
    }
  }

  // False, with the text in `error`, when the followed file has shrunk below
  // what was read or the path now names another file (or none).
  bool same_file(std::string& error) {
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
      error = os_error_text(errno);
      return false;
    }
    if (static_cast<uint64_t>(st.st_size) < position_) {
      error = "the followed file shrank below the " + std::to_string(position_) +
              " bytes already read (truncated or rewritten)";
      return false;
    }
    if (::stat(path_.c_str(), &st) != 0 || st.st_dev != dev_ || st.st_ino != ino_) {
      error = "the followed file was replaced or removed";
      return false;
    }
    return true;
  }

  int fd_;
  int notify_ = -1;
  std::string path_;
  dev_t dev_;
  ino_t ino_;
  FollowOptions options_;
  std::shared_ptr<FlushClock> clock_;
  Clock::time_point last_growth_;
  uint64_t position_ = 0;
};

// Closes a descriptor unless released.
struct FdGuard {
  int fd;
  ~FdGuard() {
    if (fd >= 0) ::close(fd);
  }
  int release() { return std::exchange(fd, -1); }
};

// Why a file of this mode cannot be a feed, naming it, or an empty text
// when it can be.
std::string refusal(const std::string& path, mode_t mode) {
  const char* what = S_ISCHR(mode) ? "a character device" : S_ISSOCK(mode) ? "a socket" : nullptr;
  if (what == nullptr) return {};
  const std::string name = path == "-" ? "standard input" : "'" + path + "'";
  return name + " is " + what +
         ", not a feed file (regular files, FIFOs, pipes and standard input can be read)";
}

}  // namespace

void FlushClock::arm() {
  if (armed_at_ns.load(std::memory_order_relaxed) >= 0) return;
  armed_at_ns.store(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(),
      std::memory_order_relaxed);
}

ScopedWaitCheck::ScopedWaitCheck(const WaitCheck* check) : saved_(t_wait_check) {
  t_wait_check = check;
}

ScopedWaitCheck::~ScopedWaitCheck() { t_wait_check = saved_; }

Result<Input> open_input(const std::string& path, std::size_t buffer_size,
                         const FollowOptions* follow) {
  if (path.find('\0') != std::string::npos) {
    return Status::error("file name contained an unexpected NUL byte");
  }
  const bool standard_input = path == "-";
  int fd;
  if (standard_input) {
    fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  } else {
    do {
      fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) return Status::error(os_error_text(errno));
  FdGuard guard{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) return Status::error(os_error_text(errno));
  if (S_ISDIR(st.st_mode)) return Status::error(os_error_text(EISDIR));
  if (std::string why = refusal(path, st.st_mode); !why.empty()) return Status::error(why);

  Input in;
  if (standard_input || S_ISFIFO(st.st_mode)) {
    auto reader = std::make_unique<PipeReader>(guard.release(), !standard_input);
    if (!standard_input) {
      Status s = reader->probe_writer();
      if (!s.ok()) return s;
    }
    in.kind = Kind::kPipe;
    auto bytes = decompressed(path, std::move(reader), in.compressed, buffer_size, false);
    in.file = FeedFile::over(std::move(bytes), buffer_size);
    return in;
  }
  // A regular file or a block device: read as any file is, blocking.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    return Status::error(os_error_text(errno));
  }
  in.kind = Kind::kFile;
  in.size = static_cast<uint64_t>(st.st_size);
  if (follow != nullptr && S_ISREG(st.st_mode)) {
    if (compressed_path(path)) {
      return Status::error("a compressed file cannot be followed");
    }
    in.file = FeedFile::over(std::make_unique<FollowReader>(guard.release(), path, st, *follow),
                             buffer_size);
    return in;
  }
  if (compressed_path(path)) {
    // A compressed file is read once from start to end: a larger read-ahead
    // by the kernel keeps its decompression from waiting on the disk.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  auto bytes = decompressed(path, std::make_unique<FdReader>(guard.release()), in.compressed,
                            buffer_size, true);
  in.file = FeedFile::over(std::move(bytes), buffer_size);
  return in;
}

Result<std::shared_ptr<CheckedInput>> CheckedInput::open(const std::string& path,
                                                         const FollowOptions* follow) {
  auto opened = open_input(path, FeedFile::kDefaultBuffer, follow);
  if (!opened.ok()) return opened.status();
  Input& in = opened.value();
  Status s = check_first_message(*in.file);
  if (!s.ok()) return s;
  std::shared_ptr<CheckedInput> checked(new CheckedInput(path, in.kind));
  if (follow != nullptr) checked->follow_ = *follow;
  // A file is opened again by each reader, as if the check had not been;
  // a pipe's bytes read by the check stay buffered for its one reader.
  if (in.kind == Kind::kPipe) checked->held_ = std::move(in.file);
  return checked;
}

Result<std::unique_ptr<FeedFile>> CheckedInput::take(std::shared_ptr<FlushClock> clock) {
  if (kind_ == Kind::kPipe) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (taken_) {
      return Status::error(
          "a pipe, FIFO or standard input can be read only once, and an earlier stream has "
          "read it (keep the first stream's data to use it again)");
    }
    taken_ = true;
    return std::move(held_);
  }
  std::optional<FollowOptions> follow = follow_;
  if (follow && clock != nullptr) follow->clock = std::move(clock);
  auto opened = open_input(path_, FeedFile::kDefaultBuffer, follow ? &*follow : nullptr);
  if (!opened.ok()) return opened.status();
  if (opened.value().kind != Kind::kFile) {
    return Status::error("no longer a regular file");
  }
  return std::move(opened.value().file);
}

}  // namespace tidemark::input
