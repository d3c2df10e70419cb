// One replay of feed files into order books, shared by every table that is
// computed from the books (book series, quote changes, trades, bars, the
// integrity check).
//
// ReplayEngine reads the files with the streaming loader's framing, a chunk
// of messages at a time, either one after another or merged by exch_ts
// (merged_reader.h), and owns the BookSet that the messages are applied to.
// Books are keyed by token alone, whichever file a message comes from: in a
// merge, a token that appears in several files has one book fed by all of
// them in merged order. It does not apply anything itself: a table
// (an "emitter") takes the messages read, applies them to the books with the
// BookSet's own operations, reads the books around each message as it needs
// and writes its rows. The books (the per-token state) stay inside the
// engine and the rows inside the emitter, so a replay can later be split by
// token without touching either.
//
// TableBatch holds the columns of the batch being written, and ReplayTable
// is the batch loop that every emitter shares: it asks the emitter for rows
// until the batch is full or the replay is over.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arrow_columns.h"
#include "batch_source.h"
#include "feed_decoder.h"
#include "feed_input.h"
#include "feed_message.h"
#include "merged_reader.h"
#include "orderbook.h"
#include "status.h"

namespace tidemark::arrow {

// The book key of a message: a trade's signed token read as unsigned.
inline uint32_t book_key(const FeedMessage& m) {
  return m.is_trade() ? static_cast<uint32_t>(m.trade.token) : m.order.token;
}
inline uint64_t exch_ts_of(const FeedMessage& m) {
  return m.is_trade() ? m.trade.exch_ts : m.order.exch_ts;
}
inline uint64_t local_ts_of(const FeedMessage& m) {
  return m.is_trade() ? m.trade.local_ts : m.order.local_ts;
}

// Which rows a table writes: the book keys (absent: all) and the exch_ts
// range [start, end). The books always take every message; only rows are
// selected.
struct RowSelection {
  std::optional<std::vector<uint32_t>> tokens;  // sorted, unique once prepared
  uint64_t start = 0;
  uint64_t end = std::numeric_limits<uint64_t>::max();
  bool end_set = false;  // end absent: no upper bound (2^64 - 1 included)

  void prepare() {
    if (!tokens) return;
    std::sort(tokens->begin(), tokens->end());
    tokens->erase(std::unique(tokens->begin(), tokens->end()), tokens->end());
  }
  bool token(uint32_t key) const {
    return !tokens || std::binary_search(tokens->begin(), tokens->end(), key);
  }
  bool time(uint64_t ts) const { return ts >= start && (!end_set || ts < end); }
};

class ReplayEngine : private MergedReader::SkipObserver {
 public:
  // Called for each record of an unknown type that the framing skips, with
  // its header; only in reads with a tally (set_observer).
  struct Observer {
    virtual ~Observer() = default;
    // `before` is the index in the chunk of the message the record precedes
    // (in a merge, the next message of the merged order), `file` the index
    // of the file the record is in.
    virtual void skipped(const RecordHeader& header, std::size_t before, std::size_t file) = 0;
  };

  // The inputs read one after another, each checked at the call.
  using Inputs = std::vector<std::shared_ptr<input::CheckedInput>>;

  // Reads `inputs` into books with the type filter `types`: one after
  // another, or with `merge_by_time` merged by exch_ts (the head with the
  // smallest exch_ts first, ties to the file listed first).
  ReplayEngine(Inputs inputs, std::optional<std::vector<uint8_t>> types,
               bool merge_by_time = false);
  // Reads one file, open at offset 0 (its first record not checked yet).
  ReplayEngine(std::unique_ptr<FeedFile> file, std::optional<std::vector<uint8_t>> types);
  // Reads `files`, each open at offset 0 (first records not checked yet),
  // merged by exch_ts.
  ReplayEngine(std::vector<std::unique_ptr<FeedFile>> files,
               std::optional<std::vector<uint8_t>> types);

  // Takes the first file from its input now (in a merge, every file), so
  // that a stream over an input that cannot be read again fails when it is
  // made. The other files are taken when the replay reaches them.
  Status start();

  // Messages read and not yet consumed, reading more when none are left:
  // messages()[0, available()). Returns 0 at the end of the last file or at
  // a decode error (failed() then tells).
  std::size_t available() {
    if (next_ == count_) refill();
    return count_ - next_;
  }
  const FeedMessage* messages() const { return chunk_.data() + next_; }
  void consume(std::size_t n) { next_ += n; }
  // True once after available() returned 0 only because a followed file
  // paused (it has not grown for a flush interval): the replay has not
  // ended, and the table should hand out the rows it has before reading on.
  bool take_pause() { return std::exchange(paused_, false); }
  // Whether such a pause is waiting to be taken (without taking it).
  bool paused() const { return paused_; }
  // Tells a followed replay that the batch being written has its first
  // row: a wait for more bytes then ends when the batch is due.
  void batch_started() { flush_clock_->arm(); }

  BookSet& books() { return books_; }
  const BookSet& books() const { return books_; }

  // Whether the replay stopped at an error, and its text (naming the file
  // when several are read).
  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }
  // Where the failed record began in its file, and that file's index.
  uint64_t error_offset() const { return error_offset_; }
  // The index of the file the available messages come from (read one
  // after another; in a merge, the file of the last failure).
  std::size_t file_index() const { return file_index_; }
  // The index of the file that messages()[i] comes from.
  std::size_t file_of(std::size_t i) const {
    return merged_ != nullptr ? files_[next_ + i] : file_index_;
  }
  // The index of the file of a message of the current chunk (one that
  // messages() gave, also after it was consumed).
  std::size_t file_of(const FeedMessage& m) const {
    return merged_ != nullptr ? files_[static_cast<std::size_t>(&m - chunk_.data())] : file_index_;
  }
  bool merged() const { return merge_by_time_; }
  // The number of files given open (a merge of opened files), else 0.
  std::size_t given_file_count() const { return given_files_.size(); }
  // Whether the current file has been read to its end.
  bool file_done() const { return file_ == nullptr; }

  // Reads record by record from now on, reporting skipped records and
  // padding to `observer` (a slower read, for the integrity check).
  void set_observer(Observer* observer) { observer_ = observer; }
  // Reads one file only: after it ends, available() returns 0 until
  // next_file() is called. For tables that keep one result per file.
  void stop_at_file_end(bool stop) { stop_at_file_end_ = stop; }
  // Moves on to the next file; returns false when there is none.
  bool next_file();
  // In a merge (set before start()): a file that fails to decode, or whose
  // first record is not valid, ends there, its error kept in file_errors(),
  // and the others are read on (the integrity check).
  void set_keep_going(bool keep_going) { keep_going_ = keep_going; }
  std::vector<MergedReader::FileError> file_errors() const;
  // Hands out only the messages whose book key is one of `tokens` (absent:
  // every message); set before the first read. The others are framed and
  // passed over, never applied: a book depends on its own token's messages
  // alone, so the selected books are those of reading everything. Framing,
  // errors and follow pauses stay as they are. Not for reads with an
  // observer, which see every record.
  void set_token_filter(std::optional<std::vector<uint32_t>> tokens);

 private:
  void refill();
  void refill_merged();
  bool open_current();
  bool open_merged();
  void skipped(std::size_t file, const RecordHeader& header, std::size_t before) override;
  static void on_skipped(void* context, const RecordHeader& header);
  bool wanted(const uint8_t* record) const;
  std::size_t read_wanted(std::string& text, ReadStep& last);
  std::size_t drop_unwanted(std::size_t count);

  Inputs inputs_;
  std::unique_ptr<FeedFile> given_;
  std::size_t file_index_ = 0;
  bool opened_any_ = false;
  std::unique_ptr<FeedFile> file_;
  BookSet books_;
  std::vector<FeedMessage> chunk_;
  std::size_t next_ = 0;
  std::size_t count_ = 0;
  bool failed_ = false;
  bool stop_at_file_end_ = false;
  bool waiting_ = false;  // a file ended and stop_at_file_end holds the next
  bool paused_ = false;   // see take_pause()
  bool pause_pending_ = false;
  // When the rows of the batch being filled started to arrive, for every
  // followed file of this replay.
  std::shared_ptr<input::FlushClock> flush_clock_ =
      std::make_shared<input::FlushClock>();  // the messages read end at a pause: report it next
  std::string error_;
  uint64_t error_offset_ = 0;
  Observer* observer_ = nullptr;
  SkipTally tally_;
  // A merge: its reader (made by start()) and the file of each message of
  // the chunk.
  bool merge_by_time_ = false;
  bool keep_going_ = false;
  std::unique_ptr<MergedReader> merged_;
  std::vector<uint32_t> files_;
  std::vector<std::unique_ptr<FeedFile>> given_files_;  // a merge of opened files
  std::vector<MergedReader::FileError> first_errors_;   // their bad first records
  std::optional<std::vector<uint32_t>> tokens_;         // sorted, unique (set_token_filter)
};

// The columns of the batch being written: rows are appended value by value
// with the ColumnBuilders' put/put_null after begin_row().
class TableBatch {
 public:
  TableBatch(std::vector<ColumnSpec> columns, uint64_t batch_rows);

  const std::vector<ColumnSpec>& columns() const { return columns_; }
  ColumnBuilder& operator[](std::size_t k) { return builders_[k]; }
  // Makes room for one more row: call before writing each row.
  void begin_row() {
    if (rows_ == capacity_) grow();
    ++rows_;
  }
  std::size_t rows() const { return rows_; }
  bool full() const { return rows_ >= batch_rows_; }
  // Sets the dictionary of a dictionary-encoded column for this batch.
  void set_dictionary(std::size_t k, std::vector<std::string> dictionary) {
    builders_[k].set_dictionary(std::move(dictionary));
  }
  // Moves the rows into a record batch and starts an empty one.
  void finish(ArrowArray* out);

 private:
  void grow();

  std::vector<ColumnSpec> columns_;
  std::vector<ColumnBuilder> builders_;
  uint64_t batch_rows_;
  std::size_t rows_ = 0;
  std::size_t capacity_ = 0;
};

// The batch loop of a table over a replay: step() writes rows (any number,
// but it should return soon after the batch is full) and returns false once
// nothing is left.
class ReplayTable : public BatchSource {
 public:
  ReplayTable(ReplayEngine::Inputs inputs, std::optional<std::vector<uint8_t>> types,
              std::vector<ColumnSpec> columns, uint64_t batch_rows, bool merge_by_time = false)
      : engine_(std::move(inputs), std::move(types), merge_by_time),
        batch_(std::move(columns), batch_rows) {}

  const std::vector<ColumnSpec>& columns() const override { return batch_.columns(); }
  BatchStep next_batch(ArrowArray* out, std::string& error) override;

 protected:
  virtual bool step() = 0;
  // Sets the dictionaries of the batch's dictionary columns before it is
  // finished.
  virtual void before_finish() {}

  ReplayEngine engine_;
  TableBatch batch_;

 private:
  bool over_ = false;
  bool interrupted_ = false;
};

}  // namespace tidemark::arrow
