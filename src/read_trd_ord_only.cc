#include "read_trd_ord_only.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

// Unmaps a mapping when it goes out of scope.
class Unmapper {
 public:
  Unmapper(void* addr, std::size_t length) : addr_(addr), length_(length) {}
  Unmapper(const Unmapper&) = delete;
  Unmapper& operator=(const Unmapper&) = delete;
  ~Unmapper() { ::munmap(addr_, length_); }

 private:
  void* addr_;
  std::size_t length_;
};

// Appends one record of `length` bytes (47 or 54) as a FeedMessage. The
// message starts zeroed, so the bytes past an order record stay 0.
inline void append_record(const uint8_t* record, std::size_t length,
                          std::vector<FeedMessage>& out) {
  FeedMessage& m = out.emplace_back();
  std::memcpy(static_cast<void*>(&m), record, length);
}

}  // namespace

void scan_feed_buffer(const uint8_t* data, std::size_t size, std::vector<FeedMessage>& out) {
  std::size_t p = 0;
  while (p < size) {
    const uint8_t* at = data + p;
    if (*at == ' ') {
      ++p;
      continue;
    }
    const std::size_t left = size - p;
    if (left < kHeaderSize) return;
    switch (record_kind(at[8])) {
      case RecordKind::kOrder:
        if (left < kOrderRecordSize) return;
        append_record(at, kOrderRecordSize, out);
        p += kOrderRecordSize;
        break;
      case RecordKind::kTrade:
        if (left < kTradeRecordSize) return;
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
}

Result<std::shared_ptr<const FeedMessageArray>> load_feed_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Status::error(os_error_text(errno));
  FileCloser closer(fd);

  struct stat st;
  if (::fstat(fd, &st) != 0) return Status::error(os_error_text(errno));
  const std::size_t size = static_cast<std::size_t>(st.st_size);

  // A mapping cannot be empty, so an empty file is mapped as one byte and
  // read as an empty range. Mapping (rather than skipping it) also keeps a
  // directory that reports size 0 failing the same way as any other.
  const std::size_t map_length = size != 0 ? size : 1;
  void* addr = ::mmap(nullptr, map_length, PROT_READ, MAP_SHARED, fd, 0);
  if (addr == MAP_FAILED) return Status::error(os_error_text(errno));
  Unmapper unmapper(addr, map_length);
  // One pass from start to end: ask for early and large read-ahead.
  ::madvise(addr, map_length, MADV_SEQUENTIAL);

  // 47 bytes is the shortest stored record, so this one reservation is
  // enough for the whole scan.
  auto messages = std::make_shared<FeedMessageArray>();
  messages->reserve(size / kOrderRecordSize);
  scan_feed_buffer(static_cast<const uint8_t*>(addr), size, *messages);
  return std::shared_ptr<const FeedMessageArray>(std::move(messages));
}

}  // namespace tidemark
