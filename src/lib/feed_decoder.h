// Decoding feed records from an open file.
//
// FeedFile reads the bytes of a feed from a ByteReader (by default a
// read-only file descriptor) through a buffer, but callers only ever see its
// logical position: the offset of the first byte that the decoder has not
// consumed. Every operation behaves exactly as if the file were read record by
// record with no read-ahead: seeking back to a saved logical position,
// rewinding to 0, and reading on after the end of a file that has since grown
// all give the same results.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "feed_message.h"
#include "status.h"

namespace tidemark {

// Where a FeedFile gets its bytes: a file descriptor, a pipe, a decompressor.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // Reads up to `n` (> 0) bytes into `buf`: returns how many arrived (> 0),
  // 0 at the end of the input, or -1 with the text in `error`. A reader that
  // follows a growing file may also return kPause (nothing new for a while:
  // let the caller hand out what it has, then call again) or kStop (the
  // follow was ended: stop here, as at the end, dropping a record that is
  // not complete yet).
  virtual std::ptrdiff_t read(uint8_t* buf, std::size_t n, std::string& error) = 0;
  static constexpr std::ptrdiff_t kPause = -2;
  static constexpr std::ptrdiff_t kStop = -3;
  // Makes the next read start at byte `offset` of the input. A reader that
  // cannot go there fails with a text.
  virtual Status seek(uint64_t offset) = 0;
};

// A file descriptor read with read(2) (retrying on EINTR) and moved with
// lseek(2); closes the descriptor when destroyed.
class FdReader final : public ByteReader {
 public:
  explicit FdReader(int fd) : fd_(fd) {}
  ~FdReader() override;
  FdReader(const FdReader&) = delete;
  FdReader& operator=(const FdReader&) = delete;
  std::ptrdiff_t read(uint8_t* buf, std::size_t n, std::string& error) override;
  Status seek(uint64_t offset) override;

 private:
  int fd_;
};

// The length of the record that each type byte names: 47 for an order, 54
// for a trade, 0 for any other type (whose length its msg_len gives).
inline constexpr std::array<uint8_t, 256> kRecordLength = [] {
  std::array<uint8_t, 256> lengths{};
  for (std::size_t t = 0; t < 256; ++t) {
    const RecordKind kind = record_kind(static_cast<uint8_t>(t));
    lengths[t] = kind == RecordKind::kOrder   ? kOrderRecordSize
                 : kind == RecordKind::kTrade ? kTradeRecordSize
                                              : 0;
  }
  return lengths;
}();

class FeedFile;
enum class ReadStep { kMessage, kEnd, kError };
template <class Keep>
std::size_t read_messages_if(FeedFile& file, FeedMessage* out, std::size_t max, std::size_t budget,
                             Keep&& keep, ReadStep& last, std::string& error);

class FeedFile {
 public:
  // Buffer capacity; always room for the longest skippable record (65,535
  // bytes) so a skip never needs more than one buffer of data.
  static constexpr std::size_t kDefaultBuffer = 128 * 1024;

  // Opens `path` read-only. Fails with the OS text, or with the NUL-byte
  // message when the path holds a NUL character.
  static Result<std::unique_ptr<FeedFile>> open(const std::string& path,
                                                std::size_t buffer_size = kDefaultBuffer);
  // Reads the bytes that `reader` gives, from its current place, which
  // becomes offset 0.
  static std::unique_ptr<FeedFile> over(std::unique_ptr<ByteReader> reader,
                                        std::size_t buffer_size = kDefaultBuffer);

  ~FeedFile();
  FeedFile(const FeedFile&) = delete;
  FeedFile& operator=(const FeedFile&) = delete;

  // Offset of the first byte not yet consumed.
  uint64_t position() const { return end_offset_ - (end_ - begin_); }

  // Moves the logical position to `offset`; a seek inside the buffered bytes
  // costs no system call. Fails with the OS text of lseek.
  Status seek(uint64_t offset);

  // True once after reading stopped with kEnd only because the reader
  // paused (ByteReader::kPause): the input has not ended, and reading on
  // continues where it stopped.
  bool take_pause() { return std::exchange(paused_, false); }

  // Makes the buffer at least `size` bytes (it never shrinks), keeping the
  // bytes not yet consumed: later reads ask the reader for up to that many
  // bytes at a time, so a caller that passes over most records quickly pays
  // for fewer system calls.
  void grow_buffer(std::size_t size);

  enum class Fill { kOk, kShort, kError, kPause, kStop };

 private:
  friend class FeedReaderAccess;
  template <class Keep>
  friend std::size_t read_messages_if(FeedFile& file, FeedMessage* out, std::size_t max,
                                      std::size_t budget, Keep&& keep, ReadStep& last,
                                      std::string& error);
  FeedFile(std::unique_ptr<ByteReader> reader, std::size_t buffer_size);

  std::size_t available() const { return end_ - begin_; }
  // Drops the spaces before the next record: kOk leaves a byte other than a
  // space at the cursor, kShort means the file ended first.
  Fill skip_padding(std::string& error) {
    if (begin_ < end_ && buf_[begin_] != ' ') return Fill::kOk;
    return skip_padding_slow(error);
  }
  Fill skip_padding_slow(std::string& error);
  // Reads until at least `n` unread bytes are buffered. kShort means the
  // file ended first (everything up to the end is then buffered); kError
  // stores the OS text in `error`.
  Fill fill(std::size_t n, std::string& error);

  std::unique_ptr<ByteReader> reader_;
  std::unique_ptr<uint8_t[]> buf_;
  std::size_t cap_;
  std::size_t begin_ = 0;    // first unread byte in buf_
  std::size_t end_ = 0;      // one past the last buffered byte
  uint64_t end_offset_ = 0;  // file offset of buf_[end_], the OS position
  bool paused_ = false;
  // Where the first-record check starts and leaves the file: offset 0, or
  // on an input that could not seek back there, the first record. The
  // leading padding the check then stepped over is counted by the next
  // tallying read.
  uint64_t restart_ = 0;
  uint64_t lead_padding_ = 0;
};

// What the framing passed over or began on its way through a file: padding
// spaces, records of other types (skipped whole), and the offset of the last
// record it started. Counts add up across calls; the tallying reads frame
// exactly as read_next_message does.
struct SkipTally {
  uint64_t padding_bytes = 0;
  uint64_t skipped_bytes = 0;                   // skipped records, headers included
  std::array<uint64_t, 256> skipped_records{};  // by type byte
  uint64_t record_offset = 0;                   // where the last record began
  // When set, called with the header of each record of another type just
  // before it is skipped (after its whole length was found in the file).
  void (*on_skipped)(void* context, const RecordHeader& header) = nullptr;
  void* context = nullptr;
};

// Reads the next order or trade message, skipping spaces before records and
// records of other types. kError leaves the text in `error`.
ReadStep read_next_message(FeedFile& file, FeedMessage& out, std::string& error);
// The same, adding what it passes over to `tally`.
ReadStep read_next_message(FeedFile& file, FeedMessage& out, std::string& error, SkipTally& tally);

// Reads up to `max` messages into `out` as read_next_message would, one
// after the other; returns how many were read. `last` tells why it stopped
// short: kEnd, or kError with the text in `error` (kMessage when `max`
// messages were read).
std::size_t read_messages(FeedFile& file, FeedMessage* out, std::size_t max, ReadStep& last,
                          std::string& error);

// Reads on as read_messages does, but hands out only the messages for which
// `keep(record)` is true, `record` pointing at the record's bytes as stored
// (the whole record of a known type). The others are framed and stepped over
// where they lie in the buffer, never copied: the framing rules, the errors
// and where they occur are exactly those of reading every message. Stops
// with `last` == kMessage once `max` messages were kept or `budget` records
// were framed, so a caller can look up between calls.
template <class Keep>
std::size_t read_messages_if(FeedFile& file, FeedMessage* out, std::size_t max, std::size_t budget,
                             Keep&& keep, ReadStep& last, std::string& error) {
  std::size_t n = 0;
  std::size_t framed = 0;
  while (n < max && framed < budget) {
    const uint8_t* const buf = file.buf_.get();
    const uint8_t* p = buf + file.begin_;
    // Every record is at most a trade long, so this many records from here
    // each start with a whole trade-sized window buffered. Each may be kept,
    // so none of them overruns `out` either.
    const std::size_t whole = file.available() / kTradeRecordSize;
    const std::size_t run = std::min({whole, max - n, budget - framed});
    std::size_t i = 0;
    const uint8_t* const buffered = buf + file.end_;
    // Four records per step, with no jump on their kinds: where the second,
    // third and fourth can start depends only on how many trades came
    // before, so the type bytes at every such place are read at once, and
    // the kinds pick the places with shifts rather than with loads that wait
    // on one another. Each place read lies at most k trades past p for the
    // k-th record, within the windows that `run` says are buffered. Padding
    // or a record of another type among the four leaves them to the steps
    // of two below.
    constexpr std::size_t kOrder = kOrderRecordSize;
    constexpr std::size_t kLonger = kTradeRecordSize - kOrderRecordSize;
    for (; i + 4 <= run; i += 4) {
      __builtin_prefetch(p + std::min<std::ptrdiff_t>(512, buffered - p));
      const auto trade_at = [p](std::size_t at) -> uint32_t { return p[at + 8] == 'T'; };
      const uint32_t j1 = trade_at(0);
      const uint32_t at1 = trade_at(kOrder) | trade_at(kOrder + kLonger) << 1;
      const uint32_t at2 = trade_at(2 * kOrder) | trade_at(2 * kOrder + kLonger) << 1 |
                           trade_at(2 * kOrder + 2 * kLonger) << 2;
      const uint32_t at3 = trade_at(3 * kOrder) | trade_at(3 * kOrder + kLonger) << 1 |
                           trade_at(3 * kOrder + 2 * kLonger) << 2 |
                           trade_at(3 * kOrder + 3 * kLonger) << 3;
      const uint32_t j2 = j1 + ((at1 >> j1) & 1);  // trades among the first two
      const uint32_t j3 = j2 + ((at2 >> j2) & 1);
      const uint32_t j4 = j3 + ((at3 >> j3) & 1);
      const uint8_t* const r1 = p + kOrder + kLonger * j1;
      const uint8_t* const r2 = p + 2 * kOrder + kLonger * j2;
      const uint8_t* const r3 = p + 3 * kOrder + kLonger * j3;
      if ((p[0] == ' ') | (r1[0] == ' ') | (r2[0] == ' ') | (r3[0] == ' ') |
          (kRecordLength[p[8]] == 0) | (kRecordLength[r1[8]] == 0) | (kRecordLength[r2[8]] == 0) |
          (kRecordLength[r3[8]] == 0)) {
        break;
      }
      if (keep(p)) std::memcpy(static_cast<void*>(out + n++), p, kTradeRecordSize);
      if (keep(r1)) std::memcpy(static_cast<void*>(out + n++), r1, kTradeRecordSize);
      if (keep(r2)) std::memcpy(static_cast<void*>(out + n++), r2, kTradeRecordSize);
      if (keep(r3)) std::memcpy(static_cast<void*>(out + n++), r3, kTradeRecordSize);
      p += 4 * kOrder + kLonger * j4;
    }
    // Two records per step: the type byte of the second is read at both
    // places it can start (after an order or after a trade) together with
    // the first's, so the step does not wait for one load before the next.
    for (; i + 2 <= run; i += 2) {
      // A large buffer outgrows the first-level cache by the time it is
      // framed: ask for the bytes a few records ahead.
      __builtin_prefetch(p + std::min<std::ptrdiff_t>(256, buffered - p));
      const uint8_t type = p[8];
      const bool trade = type == 'T';
      const uint8_t* const q = p + kOrderRecordSize + (kTradeRecordSize - kOrderRecordSize) * trade;
      const uint8_t next = trade ? p[kTradeRecordSize + 8] : p[kOrderRecordSize + 8];
      if (p[0] == ' ' || kRecordLength[type] == 0) break;  // padding or another type
      // A whole trade-sized window is buffered, so one fixed-size copy
      // serves both kinds.
      if (keep(p)) std::memcpy(static_cast<void*>(out + n++), p, kTradeRecordSize);
      if (q[0] == ' ' || kRecordLength[next] == 0) {
        p = q;
        ++i;
        break;
      }
      if (keep(q)) std::memcpy(static_cast<void*>(out + n++), q, kTradeRecordSize);
      p = q + kOrderRecordSize + (kTradeRecordSize - kOrderRecordSize) * (next == 'T');
    }
    if (i + 1 == run) {
      const uint8_t type = p[8];
      if (p[0] != ' ' && kRecordLength[type] != 0) {
        if (keep(p)) std::memcpy(static_cast<void*>(out + n++), p, kTradeRecordSize);
        p += kOrderRecordSize + (kTradeRecordSize - kOrderRecordSize) * (type == 'T');
        ++i;
      }
    }
    framed += i;
    file.begin_ = static_cast<std::size_t>(p - buf);
    if (i == run && i > 0) continue;
    if (n == max || framed >= budget) break;
    // Padding, a record of another type, or the end of the buffer: one
    // message the general way (which refills the buffer).
    FeedMessage m;
    last = read_next_message(file, m, error);
    if (last != ReadStep::kMessage) return n;
    ++framed;
    if (keep(reinterpret_cast<const uint8_t*>(&m))) out[n++] = m;
  }
  last = ReadStep::kMessage;
  return n;
}

// Validates the first record header of the file and leaves it at offset 0.
Status check_first_message(FeedFile& file);

// Opens `path` separately, validates its first header and counts the order
// and trade messages to the end, failing as read_next_message would.
Result<uint64_t> count_messages(const std::string& path);

}  // namespace tidemark
