#include "feed_decoder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace tidemark {

// Gives the decoding functions below access to FeedFile's buffer without
// making the buffer part of FeedFile's public surface.
class FeedReaderAccess {
 public:
  template <bool kCopy>
  static ReadStep next(FeedFile& f, FeedMessage* out, std::string& error,
                       SkipTally* tally = nullptr);
  static Status check_first(FeedFile& f);
  static std::size_t batch(FeedFile& f, FeedMessage* out, std::size_t max, ReadStep& last,
                           std::string& error);

  // The end of a read that the reader paused or stopped: the record begun
  // is left unread (a pause reads it again later), and a pause is noted.
  static ReadStep paused_end(FeedFile& f, FeedFile::Fill r) {
    if (r == FeedFile::Fill::kPause) f.paused_ = true;
    return ReadStep::kEnd;
  }
};

Result<std::unique_ptr<FeedFile>> FeedFile::open(const std::string& path, std::size_t buffer_size) {
  if (path.find('\0') != std::string::npos) {
    return Status::error("file name contained an unexpected NUL byte");
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Status::error(os_error_text(errno));
  return over(std::make_unique<FdReader>(fd), buffer_size);
}

std::unique_ptr<FeedFile> FeedFile::over(std::unique_ptr<ByteReader> reader,
                                         std::size_t buffer_size) {
  if (buffer_size < 2 * 65536) buffer_size = 2 * 65536;
  return std::unique_ptr<FeedFile>(new FeedFile(std::move(reader), buffer_size));
}

FeedFile::FeedFile(std::unique_ptr<ByteReader> reader, std::size_t buffer_size)
    : reader_(std::move(reader)), buf_(new uint8_t[buffer_size]), cap_(buffer_size) {}

FeedFile::~FeedFile() = default;

void FeedFile::grow_buffer(std::size_t size) {
  if (size <= cap_) return;
  std::unique_ptr<uint8_t[]> grown(new uint8_t[size]);
  const std::size_t left = available();
  if (left > 0) std::memcpy(grown.get(), buf_.get() + begin_, left);
  buf_ = std::move(grown);
  cap_ = size;
  // end_offset_ stays the file offset of the last byte buffered.
  begin_ = 0;
  end_ = left;
}

FdReader::~FdReader() { ::close(fd_); }

std::ptrdiff_t FdReader::read(uint8_t* buf, std::size_t n, std::string& error) {
  for (;;) {
    const ssize_t got = ::read(fd_, buf, n);
    if (got >= 0) return got;
    if (errno != EINTR) {
      error = os_error_text(errno);
      return -1;
    }
  }
}

Status FdReader::seek(uint64_t offset) {
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
    return Status::error(os_error_text(errno));
  }
  return Status();
}

Status FeedFile::seek(uint64_t offset) {
  const uint64_t buf_start = end_offset_ - end_;
  if (offset >= buf_start && offset <= end_offset_) {
    begin_ = static_cast<std::size_t>(offset - buf_start);
    return Status();
  }
  Status s = reader_->seek(offset);
  if (!s.ok()) return s;
  begin_ = end_ = 0;
  end_offset_ = offset;
  return Status();
}

FeedFile::Fill FeedFile::fill(std::size_t n, std::string& error) {
  if (available() >= n) return Fill::kOk;
  // Move the unread tail to the front so the read can append after it.
  if (begin_ > 0) {
    const std::size_t left = available();
    if (left > 0) std::memmove(buf_.get(), buf_.get() + begin_, left);
    begin_ = 0;
    end_ = left;
  }
  while (end_ < n) {
    const std::ptrdiff_t got = reader_->read(buf_.get() + end_, cap_ - end_, error);
    if (got > 0) {
      end_ += static_cast<std::size_t>(got);
      end_offset_ += static_cast<uint64_t>(got);
    } else if (got == 0) {
      return Fill::kShort;
    } else if (got == ByteReader::kPause) {
      return Fill::kPause;
    } else if (got == ByteReader::kStop) {
      return Fill::kStop;
    } else {
      return Fill::kError;
    }
  }
  return Fill::kOk;
}

FeedFile::Fill FeedFile::skip_padding_slow(std::string& error) {
  for (;;) {
    if (begin_ == end_) {
      const Fill r = fill(1, error);
      if (r != Fill::kOk) return r;
    }
    const uint8_t* p = buf_.get() + begin_;
    const uint8_t* e = buf_.get() + end_;
    while (p < e && *p == ' ') ++p;
    begin_ = static_cast<std::size_t>(p - buf_.get());
    if (p < e) return Fill::kOk;
  }
}

template <bool kCopy>
ReadStep FeedReaderAccess::next(FeedFile& f, FeedMessage* out, std::string& error,
                                SkipTally* tally) {
  for (;;) {
    const uint64_t before_padding = tally ? f.position() : 0;
    FeedFile::Fill r = f.skip_padding(error);
    if (tally) {
      tally->padding_bytes += f.position() - before_padding + std::exchange(f.lead_padding_, 0);
      tally->record_offset = f.position();
    }
    if (r == FeedFile::Fill::kError) return ReadStep::kError;
    if (r != FeedFile::Fill::kOk) return paused_end(f, r);
    r = f.fill(kHeaderSize, error);
    if (r == FeedFile::Fill::kError) return ReadStep::kError;
    if (r == FeedFile::Fill::kPause || r == FeedFile::Fill::kStop) return paused_end(f, r);
    if (r == FeedFile::Fill::kShort) {
      f.begin_ = f.end_;
      error = "truncated message header";
      return ReadStep::kError;
    }
    const uint8_t* rec = f.buf_.get() + f.begin_;
    const uint8_t type = rec[8];
    const RecordKind kind = record_kind(type);
    if (kind == RecordKind::kUnknown) {
      uint16_t msg_len;
      std::memcpy(&msg_len, rec, sizeof msg_len);
      const std::size_t skip = msg_len > kHeaderSize ? msg_len : kHeaderSize;
      r = f.fill(skip, error);
      if (r == FeedFile::Fill::kError) return ReadStep::kError;
      if (r == FeedFile::Fill::kPause || r == FeedFile::Fill::kStop) return paused_end(f, r);
      if (r == FeedFile::Fill::kShort) {
        f.begin_ = f.end_;
        error = "failed to fill whole buffer";
        return ReadStep::kError;
      }
      if (tally && tally->on_skipped) {
        RecordHeader header;
        std::memcpy(&header, f.buf_.get() + f.begin_, sizeof header);
        tally->on_skipped(tally->context, header);
      }
      f.begin_ += skip;
      if (tally) {
        tally->skipped_bytes += skip;
        ++tally->skipped_records[type];
      }
      continue;
    }
    const std::size_t len = kind == RecordKind::kOrder ? kOrderRecordSize : kTradeRecordSize;
    r = f.fill(len, error);
    if (r == FeedFile::Fill::kError) return ReadStep::kError;
    if (r == FeedFile::Fill::kPause || r == FeedFile::Fill::kStop) return paused_end(f, r);
    if (r == FeedFile::Fill::kShort) {
      f.begin_ = f.end_;
      error = "truncated message payload";
      return ReadStep::kError;
    }
    if constexpr (kCopy) *out = FeedMessage::from_record(f.buf_.get() + f.begin_);
    f.begin_ += len;
    return ReadStep::kMessage;
  }
}

Status FeedReaderAccess::check_first(FeedFile& f) {
  Status s = f.seek(f.restart_);
  if (!s.ok()) return s;
  std::string error;
  // A followed file may pause while it waits for its first record: the
  // check waits on.
  FeedFile::Fill r;
  do {
    r = f.skip_padding(error);
  } while (r == FeedFile::Fill::kPause);
  if (r == FeedFile::Fill::kError) return Status::error(error);
  if (r != FeedFile::Fill::kOk) {
    return Status::error("file is empty or missing a complete message header");
  }
  do {
    r = f.fill(kHeaderSize, error);
  } while (r == FeedFile::Fill::kPause);
  if (r == FeedFile::Fill::kError) return Status::error(error);
  if (r != FeedFile::Fill::kOk) return Status::error("truncated first message header");
  const uint8_t type = f.buf_[f.begin_ + 8];
  if (record_kind(type) == RecordKind::kUnknown) {
    return Status::error("invalid first message type: " + std::to_string(type));
  }
  // Back to the start for the reads that follow. An input that cannot seek
  // (a pipe, or compressed data arriving through one) gets there only while
  // the bytes from offset 0 are still buffered; when the leading padding was
  // longer than the buffer, reading goes on from the first record instead
  // (where a later check starts too), and the padding passed over is handed
  // to the next tallying read so the byte counts still add up.
  const uint64_t first_record = f.position();
  if (f.seek(f.restart_).ok()) return Status();
  f.restart_ = first_record;
  f.lead_padding_ = first_record;
  return Status();
}

ReadStep read_next_message(FeedFile& file, FeedMessage& out, std::string& error) {
  return FeedReaderAccess::next<true>(file, &out, error);
}

ReadStep read_next_message(FeedFile& file, FeedMessage& out, std::string& error, SkipTally& tally) {
  return FeedReaderAccess::next<true>(file, &out, error, &tally);
}

std::size_t FeedReaderAccess::batch(FeedFile& f, FeedMessage* out, std::size_t max, ReadStep& last,
                                    std::string& error) {
  std::size_t n = 0;
  while (n < max) {
    // The common case in a tight loop: a known record starts right here and
    // is wholly buffered. Padding, other types and buffer ends take the
    // general step below.
    const uint8_t* p = f.buf_.get() + f.begin_;
    const uint8_t* end = f.buf_.get() + f.end_;
    while (n < max && end - p >= static_cast<std::ptrdiff_t>(kTradeRecordSize) && *p != ' ') {
      const RecordKind kind = record_kind(p[8]);
      if (kind == RecordKind::kUnknown) break;
      // A whole trade-sized window is buffered, so one fixed-size copy
      // serves both kinds; an order's copy carries a few bytes of what
      // follows it in the unused tail of the value.
      std::memcpy(static_cast<void*>(out + n++), p, kTradeRecordSize);
      p += kind == RecordKind::kOrder ? kOrderRecordSize : kTradeRecordSize;
    }
    f.begin_ = static_cast<std::size_t>(p - f.buf_.get());
    if (n == max) break;
    last = next<true>(f, out + n, error);
    if (last != ReadStep::kMessage) return n;
    ++n;
  }
  last = ReadStep::kMessage;
  return n;
}

std::size_t read_messages(FeedFile& file, FeedMessage* out, std::size_t max, ReadStep& last,
                          std::string& error) {
  return FeedReaderAccess::batch(file, out, max, last, error);
}

Status check_first_message(FeedFile& file) { return FeedReaderAccess::check_first(file); }

Result<uint64_t> count_messages(const std::string& path) {
  auto opened = FeedFile::open(path, 1 << 20);
  if (!opened.ok()) return opened.status();
  FeedFile& file = *opened.value();
  Status s = check_first_message(file);
  if (!s.ok()) return s;
  uint64_t count = 0;
  std::string error;
  for (;;) {
    switch (FeedReaderAccess::next<false>(file, nullptr, error)) {
      case ReadStep::kMessage:
        ++count;
        break;
      case ReadStep::kEnd:
        return count;
      case ReadStep::kError:
        return Status::error(error);
    }
  }
}

}  // namespace tidemark
