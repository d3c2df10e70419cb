#include "read_trd_ord_only.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

namespace tidemark {

namespace {

// Closes a file descriptor when it goes out of scope.
class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;
  ~FileCloser() {
    if (fd_ >= 0) ::close(fd_);
  }

 private:
  int fd_;
};

// Appends one record of `length` bytes (47 or 54) as a FeedMessage. The
// message starts zeroed, so the bytes past an order record stay 0.
inline void append_record(const uint8_t* record, std::size_t length,
                          std::vector<FeedMessage>& out) {
  FeedMessage& m = out.emplace_back();
  std::memcpy(static_cast<void*>(&m), record, length);
}

// The framing loop of scan_feed_buffer. Returns the position where it stopped:
// the start of an incomplete header or record (or `size` when nothing is
// left), or a position past `size` when a skipped record reaches beyond it.
std::size_t scan_records(const uint8_t* data, std::size_t size, std::vector<FeedMessage>& out) {
  std::size_t p = 0;
  while (p < size) {
    const uint8_t* at = data + p;
    if (*at == ' ') {
      ++p;
      continue;
    }
    const std::size_t left = size - p;
    if (left < kHeaderSize) return p;
    switch (record_kind(at[8])) {
      case RecordKind::kOrder:
        if (left < kOrderRecordSize) return p;
        append_record(at, kOrderRecordSize, out);
        p += kOrderRecordSize;
        break;
      case RecordKind::kTrade:
        if (left < kTradeRecordSize) return p;
        append_record(at, kTradeRecordSize, out);
        p += kTradeRecordSize;
        break;
      case RecordKind::kUnknown: {
        // Skipped by its own length, which may land inside the header just
        // read; a length of 0 would never advance, so it moves one byte.
        uint16_t msg_len;
        std::memcpy(&msg_len, at, sizeof msg_len);
        p += msg_len != 0 ? msg_len : 1;
        break;
      }
    }
  }
  return p;
}

// The bytes read from the file per read call: large enough that the calls
// cost little next to the scan, small enough that the scan still finds the
// chunk in the core's second-level cache (256 KiB measured best against 64
// KiB and 1 MiB, benchmarks/bench_cache_load.py).
constexpr std::size_t kReadChunk = std::size_t{1} << 18;

// Reads up to `length` bytes at the file position into `buffer`, retrying on
// EINTR. Returns the count (0 at the end of the file) or -1 with errno set.
ssize_t read_some(int fd, uint8_t* buffer, std::size_t length) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer, length);
    if (n >= 0 || errno != EINTR) return n;
  }
}

// Decodes the first `size` bytes of the open file `fd` into `out` by reading
// it in chunks, with the framing of scan_feed_buffer across chunk borders: an
// incomplete record at the end of a chunk is carried over to the next one, and
// the rest of a skipped record that reaches past a chunk is dropped from the
// next reads. A file that ends before `size` bytes (another process truncated
// it meanwhile) ends the scan as if its bytes ended there. Returns the read
// error of the operating system, or success.
Status scan_feed_fd(int fd, uint64_t size, std::vector<FeedMessage>& out) {
  // No larger than the file needs, and left uninitialised: a small file
  // costs no megabyte of zeroed pages. A carried-over record is shorter than
  // the longest record.
  const std::size_t chunk = static_cast<std::size_t>(std::min<uint64_t>(kReadChunk, size));
  const auto buffer = std::make_unique_for_overwrite<uint8_t[]>(chunk + kTradeRecordSize);
  std::size_t kept = 0;  // carried-over bytes at the front of the buffer
  uint64_t skip = 0;     // bytes of a skipped record still to drop
  uint64_t remaining = size;
  while (remaining > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(chunk, remaining));
    const ssize_t n = read_some(fd, buffer.get() + kept, want);
    if (n < 0) return Status::error(os_error_text(errno));
    if (n == 0) break;
    remaining -= static_cast<uint64_t>(n);
    std::size_t begin = 0;
    std::size_t end = kept + static_cast<std::size_t>(n);
    if (skip != 0) {  // then nothing was kept
      const std::size_t dropped = static_cast<std::size_t>(std::min<uint64_t>(skip, end));
      skip -= dropped;
      begin = dropped;
    }
    const std::size_t length = end - begin;
    const std::size_t p = scan_records(buffer.get() + begin, length, out);
    if (p >= length) {
      skip = p - length;
      kept = 0;
    } else {
      kept = length - p;
      std::memmove(buffer.get(), buffer.get() + begin + p, kept);
    }
  }
  return Status();
}

}  // namespace

void scan_feed_buffer(const uint8_t* data, std::size_t size, std::vector<FeedMessage>& out) {
  scan_records(data, size, out);
}

Result<std::shared_ptr<const FeedMessageArray>> load_feed_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Status::error(os_error_text(errno));
  FileCloser closer(fd);

  struct stat st;
  if (::fstat(fd, &st) != 0) return Status::error(os_error_text(errno));
  const uint64_t size = static_cast<uint64_t>(st.st_size);

  // The file is read, not mapped: a mapping turns a file that another process
  // truncates meanwhile into a fatal signal, a read into a shorter file. What
  // is not a regular file with bytes in it (a directory, a pipe, a device, a
  // file that reports size 0) is still offered to a mapping first, which
  // keeps the errors that the cache has always given for those ("No such
  // device (os error 19)" for a directory); nothing is read through it.
  if (!S_ISREG(st.st_mode) || size == 0) {
    const std::size_t map_length = size != 0 ? static_cast<std::size_t>(size) : 1;
    void* addr = ::mmap(nullptr, map_length, PROT_READ, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) return Status::error(os_error_text(errno));
    ::munmap(addr, map_length);
  }
  // One pass from start to end: ask for early and large read-ahead.
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  // 47 bytes is the shortest stored record, so this one reservation is
  // enough for the whole scan: no more than `size` bytes are ever read, also
  // when the file grows meanwhile.
  auto messages = std::make_shared<FeedMessageArray>();
  messages->reserve(static_cast<std::size_t>(size / kOrderRecordSize));
  Status read = scan_feed_fd(fd, size, *messages);
  if (!read.ok()) return read;
  return std::shared_ptr<const FeedMessageArray>(std::move(messages));
}

}  // namespace tidemark
