// Building Arrow record batches column by column, in plain C++.
//
// A ColumnBuilder is append-only: a validity bitmap, a values buffer (a bit
// per row for booleans) and, for strings, 32-bit offsets with the UTF-8 bytes
// behind them. finish() hands its buffers over to an ArrowArray whose release
// frees them, so a batch lives exactly as long as its consumer keeps it.
// finish_batch() wraps the finished columns in the struct array of one record
// batch; export_schema() describes the same columns as an ArrowSchema.
//
// A builder takes its buffers from a small pool of its own, and a finished
// batch gives them back to that pool when its consumer releases it, so a
// stream whose consumer drops each batch keeps reusing the same few blocks
// (memory already faulted in) instead of fresh pages for every batch. The
// pool is shared by the builder and the batches it made and lives as long as
// the last of them: a batch may be released after its stream is gone.
//
// Appending never fails on a reserved builder; reserve() and the string
// appends may throw std::bad_alloc. Nothing here touches Python, so batches
// can be built and released on any thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow_c.h"

namespace tidemark::arrow {

// kDict8 is a dictionary-encoded string column: one uint8 index per row
// into a dictionary of at most 256 strings given with each batch.
// kTimestampNs holds int64 nanoseconds since the epoch, shown in the ColumnSpec's
// time zone; kDecimal128 holds 16-byte little-endian two's-complement
// integers read as decimal128(precision, scale) of the ColumnSpec (38, 0 unless
// set).
enum class ColumnType : uint8_t {
  kUtf8,
  kBool,
  kInt32,
  kInt64,
  kUInt16,
  kUInt32,
  kUInt64,
  kDict8,
  kTimestampNs,
  kDecimal128
};

struct ColumnSpec {
  std::string name;
  ColumnType type;
  std::string time_zone = {};  // of a kTimestampNs column
  int precision = 38;          // of a kDecimal128 column: digits in all
  int scale = 0;               // of a kDecimal128 column: digits after the point
};

// Fills `out` with the schema of a record batch of `columns` (a struct whose
// fields are all nullable). The schema owns copies of the names.
void export_schema(const std::vector<ColumnSpec>& columns, ArrowSchema* out);

// Blocks of memory kept for reuse: at most kMaxBlocks of them, each handed
// out again for a request it can hold without wasting more than half of it.
// take() and give() may be called from any thread.
//
// Fresh memory costs a page fault per 4 KiB page on first write, which for a
// consumer that keeps every batch (pyarrow.table) outweighs the decoding.
// So a block of at least kPrefaultBytes handed out for a batch's first room
// (take_up_to) from the second batch on is faulted in up front in one call,
// and, when the pool has no other block of that size left, spares of the
// same size are allocated and faulted in on a helper thread while the caller
// fills the block it got: the next batches find them ready. While the
// consumer gives blocks back, one spare at a time is enough and the pool
// adds one block; while it keeps its batches, the pool asks for one more
// spare ahead at each batch, up to kMaxSpares and kSpareBytes, so that the
// helper thread stays a few batches ahead of the decoding. A batch that
// finds its spare still queued takes it over and faults it in itself; one
// that finds it on the helper thread waits for it about as long as faulting
// it in would take. A stream of one batch prepares none.
class BufferPool : public std::enable_shared_from_this<BufferPool> {
 public:
  static constexpr std::size_t kMaxBlocks = 6;
  static constexpr std::size_t kPrefaultBytes = std::size_t{64} << 10;
  static constexpr std::size_t kMaxSpares = 4;
  static constexpr std::size_t kSpareBytes = std::size_t{2} << 20;  // ahead, per pool

  BufferPool() { free_.reserve(kMaxBlocks); }
  BufferPool(const BufferPool&) = delete;
  BufferPool& operator=(const BufferPool&) = delete;
  ~BufferPool();

  // Returns a block of at least `bytes` (at least 1), a kept one when one
  // fits, and sets `bytes` to its size; throws std::bad_alloc.
  void* take(std::size_t& bytes);
  // The same for a buffer that may grow up to `most` bytes (at least
  // `bytes`): a kept block of up to that size is as good as one that fits,
  // since it saves growing (and copying) later. Prefers a kept block that
  // holds `most`, else the largest kept block that holds `bytes`, else a
  // new block: of `most` bytes when that is at most twice `bytes`. Blocks of
  // kPrefaultBytes or more are faulted in, and spares prepared, as said
  // above; the pool must then be owned by a shared_ptr.
  void* take_up_to(std::size_t& bytes, std::size_t most);
  // Keeps a block of `bytes` that take() gave, or frees it when the pool is
  // full or retired. Never fails.
  void give(void* block, std::size_t bytes) noexcept;
  // Frees the kept blocks and every block given from now on: the builder
  // is gone, so nothing will be taken again. Never fails.
  void retire() noexcept;
  // Returns the number of blocks kept.
  std::size_t kept() const;

 private:
  struct Block {
    void* memory;
    std::size_t bytes;
  };
  void* take_block(std::size_t& bytes, std::size_t most, bool room);
  // Returns the index in free_ of the block that serves a request of
  // `bytes` up to `most`, or free_.size() when none does.
  std::size_t best_fit_locked(std::size_t bytes, std::size_t most) const;
  // Returns the number of kept blocks of at least `bytes`.
  std::size_t kept_of_locked(std::size_t bytes) const;
  // Asks the helper thread for faulted-in spares of `bytes` until
  // spares_ahead_ of them are kept or on their way; called with mutex_
  // held. Never fails (without memory or a thread, no spare comes).
  void prepare_spares_locked(std::size_t bytes) noexcept;
  // Keeps a spare made ready by the helper thread (nullptr: none could be
  // allocated), and sets `*delivered` while it holds mutex_.
  void spare_arrived(void* block, std::size_t bytes, bool* delivered) noexcept;
  // Keeps a block or frees it; called with mutex_ held; returns the block to
  // free (after unlocking) or nullptr.
  void* keep_locked(void* block, std::size_t bytes) noexcept;
  friend class Prefaulter;

  mutable std::mutex mutex_;
  std::condition_variable arrived_;  // a spare was kept
  std::vector<Block> free_;          // room for kMaxBlocks, so give() never allocates
  std::size_t coming_ = 0;           // spares on the helper thread (queued or in work)
  std::size_t spares_ahead_ = 1;     // spares to keep ready for the next batches
  std::size_t rooms_ = 0;            // take_up_to calls so far: batches begun
  bool returned_ = false;            // a block of kPrefaultBytes came back since the last room
  bool retired_ = false;
};

class ColumnBuilder {
 public:
  // A pooled builder takes its buffers from a pool of its own (see above);
  // an unpooled one, for a short-lived column, from malloc.
  explicit ColumnBuilder(ColumnType type, bool pooled = true);
  ColumnBuilder(const ColumnBuilder&) = delete;
  ColumnBuilder& operator=(const ColumnBuilder&) = delete;
  ColumnBuilder(ColumnBuilder&& other) noexcept;
  ~ColumnBuilder();

  ColumnType type() const { return type_; }
  // Returns the number of rows appended since the last finish().
  std::size_t length() const { return length_; }

  // Makes room for `rows` more rows (and, for strings, `bytes` more bytes of
  // text), so that the appends below need no allocation. The room grows by
  // doubling, but never past `most_rows` rows unless more are asked for.
  void reserve(std::size_t rows, std::size_t bytes = 0, std::size_t most_rows = SIZE_MAX);

  // Bulk appends: reserve(n), write up to n values (or bits) from
  // values<T>() on, then advance(n). The rows count as valid unless finish()
  // is given a validity bitmap.
  template <class T>
  T* values() {
    return reinterpret_cast<T*>(values_) + length_;
  }
  uint8_t* bits() { return values_; }  // a bool column's bits, from row 0
  void advance(std::size_t n) { length_ += n; }

  // Sets the dictionary of a kDict8 column for the rows since the last
  // finish(); indices must lie below its size.
  void set_dictionary(std::vector<std::string> dictionary) { dictionary_ = std::move(dictionary); }

  // Appends a value of a fixed-width column; T must match its type.
  template <class T>
  void put(T value) {
    std::memcpy(values_ + length_ * sizeof(T), &value, sizeof(T));
    set_valid();
  }
  void put_bool(bool value) {
    if (value) values_[length_ >> 3] |= static_cast<uint8_t>(1u << (length_ & 7));
    set_valid();
  }
  // Appends a string; grows the text buffer when needed.
  void put_string(std::string_view text) {
    if (data_size_ + text.size() > data_capacity_) grow_data(text.size());
    std::memcpy(data_ + data_size_, text.data(), text.size());
    data_size_ += text.size();
    offsets()[length_ + 1] = static_cast<int32_t>(data_size_);
    set_valid();
  }
  // Appends the one-character string of the code point `byte` (Latin-1), as
  // the message dicts show a type byte.
  void put_char(uint8_t byte) {
    if (data_size_ + 2 > data_capacity_) grow_data(2);
    if (byte < 0x80) {
      data_[data_size_++] = byte;
    } else {
      data_[data_size_++] = static_cast<uint8_t>(0xC0 | (byte >> 6));
      data_[data_size_++] = static_cast<uint8_t>(0x80 | (byte & 0x3F));
    }
    offsets()[length_ + 1] = static_cast<int32_t>(data_size_);
    set_valid();
  }
  void put_null() {
    ++null_count_;
    if (type_ == ColumnType::kUtf8) {
      offsets()[length_ + 1] = static_cast<int32_t>(data_size_);
    } else if (width_ != 0) {
      std::memset(values_ + length_ * width_, 0, width_);  // a defined value under the null
    }
    ++length_;
  }

  // Returns the number of text bytes of a string column.
  std::size_t text_bytes() const { return data_size_; }

  // Moves the rows appended so far into `out` and starts over empty. With
  // `validity`, the column's nulls are those of that bitmap (copied; it holds
  // `null_count` zero bits among the rows) instead of the ones appended.
  void finish(ArrowArray* out, const uint8_t* validity = nullptr, std::size_t null_count = 0);

 private:
  int32_t* offsets() { return reinterpret_cast<int32_t*>(values_); }
  void set_valid() {
    validity_[length_ >> 3] |= static_cast<uint8_t>(1u << (length_ & 7));
    ++length_;
  }
  void grow_data(std::size_t more);
  void release_buffers();
  // Makes `block` (of `block_bytes`, the first `used` of which hold data)
  // hold at least `wanted` bytes, zeroing those from `used` to `wanted`
  // when `zero` is set; throws std::bad_alloc (the block then stays).
  uint8_t* regrow(uint8_t* block, std::size_t& block_bytes, std::size_t used, std::size_t wanted,
                  bool zero);
  void drop(uint8_t* block, std::size_t bytes) noexcept;
  // The rows that a values block of `values_bytes` holds, and the bytes of
  // a values block for `rows`.
  std::size_t rows_held(std::size_t values_bytes) const;
  std::size_t values_size(std::size_t rows) const;
  // Takes the first blocks of an empty builder from the pool, as large as
  // `most_rows` rows when the pool has blocks that size; throws
  // std::bad_alloc (the builder then stays empty).
  void start_from_pool(std::size_t rows, std::size_t most_rows);

  ColumnType type_;
  std::size_t width_;  // bytes per fixed-width value; 0 for bits and strings
  std::size_t length_ = 0;
  std::size_t capacity_ = 0;  // rows
  std::size_t null_count_ = 0;
  uint8_t* validity_ = nullptr;
  uint8_t* values_ = nullptr;  // values, bits, or offsets (capacity_ + 1)
  uint8_t* data_ = nullptr;    // text of a string column
  std::size_t data_size_ = 0;
  std::size_t data_capacity_ = 0;
  std::size_t validity_bytes_ = 0;  // sizes of the blocks behind the pointers
  std::size_t values_bytes_ = 0;
  std::vector<std::string> dictionary_;  // of a kDict8 column
  std::shared_ptr<BufferPool> pool_;     // null in an unpooled builder
};

// Returns the number of bytes of a bitmap of `rows` bits, padded to 8 bytes.
inline std::size_t bitmap_bytes(std::size_t rows) { return (rows + 63) / 64 * 8; }

// Fills `out` with one record batch: a struct array of `length` rows whose
// children are the finished `columns` (moved in; each entry is released).
void finish_batch(std::vector<ArrowArray>& columns, int64_t length, ArrowArray* out);

// The most text a string column of a batch may hold: its offsets are 32-bit.
inline constexpr std::size_t kMaxBatchText = (std::size_t{1} << 31) - 1;

// The most bytes the buffers of one batch may take: every source cuts its
// batches short so that none passes it, whatever batch_rows asks. A source
// reserves at most kFirstReserveBytes at the start of a batch and grows the
// room as rows come, never past the rows the batch may hold.
inline constexpr std::size_t kMaxBatchBytes = std::size_t{64} << 20;
inline constexpr std::size_t kFirstReserveBytes = std::size_t{4} << 20;

// Returns the bytes one row of `columns` takes in a batch (its values,
// validity bits and string offsets) plus `text_bytes` of string data.
std::size_t row_bytes(const std::vector<ColumnSpec>& columns, std::size_t text_bytes = 0);

// Returns the rows a batch of `columns` may hold: at most `batch_rows` and at
// most what kMaxBatchBytes holds, but at least 1.
uint64_t batch_row_limit(const std::vector<ColumnSpec>& columns, uint64_t batch_rows,
                         std::size_t text_bytes = 0);

// Returns the rows to reserve at the start of a batch of at most `limit`
// rows: all of them when they fit in kFirstReserveBytes.
std::size_t first_reserve_rows(const std::vector<ColumnSpec>& columns, uint64_t limit,
                               std::size_t text_bytes = 0);

}  // namespace tidemark::arrow
