#include "feed_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace tidemark::input {

const char* const kInterrupted = "interrupted while waiting for input";

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

// Closes a descriptor unless released.
struct FdGuard {
  int fd;
  ~FdGuard() {
    if (fd >= 0) ::close(fd);
  }
  int release() { return std::exchange(fd, -1); }
};

// Why a file of this mode cannot be a feed, or nullptr when it can.
const char* refusal(mode_t mode) {
  if (S_ISCHR(mode)) {
    return "a character device is not a feed file (regular files, FIFOs, pipes and "
           "standard input can be read)";
  }
  if (S_ISSOCK(mode)) {
    return "a socket is not a feed file (regular files, FIFOs, pipes and standard input can "
           "be read)";
  }
  return nullptr;
}

}  // namespace

ScopedWaitCheck::ScopedWaitCheck(const WaitCheck* check) : saved_(t_wait_check) {
  t_wait_check = check;
}

ScopedWaitCheck::~ScopedWaitCheck() { t_wait_check = saved_; }

Result<Input> open_input(const std::string& path, std::size_t buffer_size) {
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
  if (const char* why = refusal(st.st_mode)) return Status::error(why);

  Input in;
  if (standard_input || S_ISFIFO(st.st_mode)) {
    auto reader = std::make_unique<PipeReader>(guard.release(), !standard_input);
    if (!standard_input) {
      Status s = reader->probe_writer();
      if (!s.ok()) return s;
    }
    in.kind = Kind::kPipe;
    in.file = FeedFile::over(std::move(reader), buffer_size);
    return in;
  }
  // A regular file or a block device: read as any file is, blocking.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    return Status::error(os_error_text(errno));
  }
  in.kind = Kind::kFile;
  in.size = static_cast<uint64_t>(st.st_size);
  in.file = FeedFile::over(std::make_unique<FdReader>(guard.release()), buffer_size);
  return in;
}

Result<std::shared_ptr<CheckedInput>> CheckedInput::open(const std::string& path) {
  auto opened = open_input(path);
  if (!opened.ok()) return opened.status();
  Input& in = opened.value();
  Status s = check_first_message(*in.file);
  if (!s.ok()) return s;
  std::shared_ptr<CheckedInput> checked(new CheckedInput(path, in.kind));
  // A file is opened again by each reader, as if the check had not been;
  // a pipe's bytes read by the check stay buffered for its one reader.
  if (in.kind == Kind::kPipe) checked->held_ = std::move(in.file);
  return checked;
}

Result<std::unique_ptr<FeedFile>> CheckedInput::take() {
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
  auto opened = open_input(path_);
  if (!opened.ok()) return opened.status();
  if (opened.value().kind != Kind::kFile) {
    return Status::error("no longer a regular file");
  }
  return std::move(opened.value().file);
}

}  // namespace tidemark::input
