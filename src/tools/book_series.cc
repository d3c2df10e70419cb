#include "book_series.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "feed_decoder.h"
#include "feed_message.h"
#include "feed_scan.h"
#include "orderbook.h"

namespace tidemark::arrow {

namespace {

constexpr std::size_t kChunkMessages = 4096;
constexpr std::size_t kReserveRows = 1 << 20;
// Columns before the levels.
enum Column : std::size_t { kSeqNo, kExchTs, kLocalTs, kMsgType, kToken, kMidPrice, kLevels };

using GridTime = unsigned __int128;  // a grid time may pass 2^64 - 1

// The book key of a message: a trade's signed token read as unsigned.
uint32_t book_key(const FeedMessage& m) {
  return m.is_trade() ? static_cast<uint32_t>(m.trade.token) : m.order.token;
}
uint64_t exch_ts(const FeedMessage& m) { return m.is_trade() ? m.trade.exch_ts : m.order.exch_ts; }
uint64_t local_ts(const FeedMessage& m) {
  return m.is_trade() ? m.trade.local_ts : m.order.local_ts;
}

class BookSeries final : public BatchSource {
 public:
  BookSeries(std::unique_ptr<FeedFile> file, const BookSeriesOptions& options)
      : file_(std::move(file)),
        options_(options),
        columns_(book_series_columns(options.levels)),
        chunk_(kChunkMessages) {
    if (options_.tokens) {
      std::sort(options_.tokens->begin(), options_.tokens->end());
      options_.tokens->erase(std::unique(options_.tokens->begin(), options_.tokens->end()),
                             options_.tokens->end());
    }
    books_.set_type_filter(options_.types);
    builders_.reserve(columns_.size());
    for (const ColumnSpec& c : columns_) builders_.emplace_back(c.type);
  }

  const std::vector<ColumnSpec>& columns() const override { return columns_; }

  BatchStep next_batch(ArrowArray* out, std::string& error) override {
    if (failed_) {
      error = error_;
      return BatchStep::kError;
    }
    rows_ = synced_ = capacity_ = 0;
    // Asks whether to stop before the batch and every 64 steps of it (a step
    // writes at most one grid row or applies at most one chunk of messages).
    for (unsigned steps = 0; rows_ < options_.batch_rows; ++steps) {
      if (steps % 64 == 0 && interrupted()) {
        failed_ = true;
        error = error_ = kInterruptedText;
        return BatchStep::kError;
      }
      if (!step()) break;
    }
    if (rows_ == 0) {
      if (!failed_) return BatchStep::kEnd;
      error = error_;
      return BatchStep::kError;
    }
    sync_lengths();
    builders_[kMsgType].set_dictionary(kMsgTypeDictionary);
    std::vector<ArrowArray> arrays(builders_.size());
    for (std::size_t k = 0; k < builders_.size(); ++k) builders_[k].finish(&arrays[k]);
    finish_batch(arrays, static_cast<int64_t>(rows_), out);
    return BatchStep::kBatch;
  }

 private:
  bool grid() const { return options_.every_ns != 0; }

  bool selected(uint32_t token) const {
    return !options_.tokens ||
           std::binary_search(options_.tokens->begin(), options_.tokens->end(), token);
  }

  // Does one step of work: writes at most one row. Returns false when the
  // series has ended (or failed) and nothing was written.
  bool step() {
    if (emitting_) {
      if (emit_next_ < grid_tokens_.size()) {
        write_book_row(grid_tokens_[emit_next_++],
                       grid_time_ > kMaxTime ? kMaxTime : static_cast<uint64_t>(grid_time_),
                       last_seq_no_, last_local_ts_, last_msg_type_);
        return true;
      }
      emitting_ = false;
      grid_time_ += options_.every_ns;
      return true;
    }
    if (next_ == count_ && !refill()) return finish_grid();
    return grid() ? apply_until_cut() : apply_per_message();
  }

  // Per message: applies the read messages with a row after each one that
  // the books accept when its key is selected, until the batch is full or
  // the messages read are used up. Each accepted message gives at most one
  // row, so a run of as many messages as the batch has room for cannot
  // overflow it.
  bool apply_per_message() {
    const std::size_t n =
        static_cast<std::size_t>(std::min<uint64_t>(count_ - next_, options_.batch_rows - rows_));
    const FeedMessage* run = chunk_.data() + next_;
    next_ += n;
    books_.apply_messages(run, n, [&](std::size_t i, const OrderBook* book) {
      const FeedMessage& m = run[i];
      const uint32_t key = book_key(m);
      if (!selected(key)) return;
      books_.collect_book_depth(book, options_.levels, view_);
      write_row(key, exch_ts(m), m.header.seq_no, local_ts(m), msg_type_index(m.header.msg_type));
    });
    return true;
  }

  // Grid mode: applies the read messages up to the next cut (the first one
  // stamped at or after the grid time) in one run, and starts the grid
  // time's rows when the cut is reached.
  bool apply_until_cut() {
    const FeedMessage* run = chunk_.data() + next_;
    if (!started_) {
      started_ = true;
      grid_time_ = first_multiple_above(exch_ts(run[0]));
    }
    std::size_t n = 0;
    const std::size_t available = count_ - next_;
    for (; n < available; ++n) {
      const uint64_t ts = exch_ts(run[n]);
      if (ts >= grid_time_) break;
      max_ts_ = std::max(max_ts_, ts);
    }
    if (n != 0) {
      const std::size_t books_before = books_.book_count();
      books_.apply_messages(run, n);
      const FeedMessage& last = run[n - 1];
      last_seq_no_ = last.header.seq_no;
      last_local_ts_ = local_ts(last);
      last_msg_type_ = msg_type_index(last.header.msg_type);
      if (books_.book_count() != books_before) take_grid_tokens();
      next_ += n;
    }
    if (n != available) {
      max_ts_ = std::max(max_ts_, exch_ts(run[n]));
      start_emitting();
    }
    return true;
  }

  // Takes the selected tokens that have a book, ascending.
  void take_grid_tokens() {
    grid_tokens_ = books_.sorted_tokens();
    if (options_.tokens) {
      std::erase_if(grid_tokens_, [&](uint32_t token) { return !selected(token); });
    }
  }

  // Reads the next chunk of messages. Returns false at the end of the file or
  // on an error (kept for the next call, after the rows before it).
  bool refill() {
    if (ended_) return false;
    ReadStep last = ReadStep::kMessage;
    std::string text;
    count_ = read_messages(*file_, chunk_.data(), chunk_.size(), last, text);
    next_ = 0;
    if (last == ReadStep::kEnd) ended_ = true;
    if (last == ReadStep::kError) {
      ended_ = true;
      error_pending_ = true;
      error_ = std::move(text);
    }
    return count_ != 0;
  }

  // At the end of the file: the grid's last times, up to the first multiple
  // above the largest timestamp. Returns false when nothing is left.
  bool finish_grid() {
    if (error_pending_) {
      failed_ = true;  // a failed file gets no final rows
      return false;
    }
    if (!grid() || !started_ || grid_time_ > first_multiple_above(max_ts_)) return false;
    start_emitting();
    return true;
  }

  void start_emitting() {
    emitting_ = true;
    emit_next_ = 0;
  }

  GridTime first_multiple_above(uint64_t ts) const {
    return (GridTime{ts} / options_.every_ns + 1) * options_.every_ns;
  }

  // Writes the row of `token`'s book as it is now.
  void write_book_row(uint32_t token, uint64_t ts, uint32_t seq_no, uint64_t local, uint8_t type) {
    const bool found = books_.collect_depth(token, options_.levels, view_);
    (void)found;  // a token without a book reads as zeros, as get_snapshot shows it
    write_row(token, ts, seq_no, local, type);
  }

  // Writes a row whose levels are those read into view_.
  void write_row(uint32_t token, uint64_t ts, uint32_t seq_no, uint64_t local, uint8_t type) {
    if (rows_ == capacity_) grow();
    seq_no_[rows_] = seq_no;
    exch_ts_[rows_] = ts;
    local_ts_[rows_] = local;
    msg_type_[rows_] = type;
    token_[rows_] = token;
    mid_price_[rows_] = view_.mid_price;
    const std::size_t levels = level_prices_.size() / 2;
    for (std::size_t i = 0; i < levels; ++i) {
      const bool bid = i < view_.bids.size();
      const bool ask = i < view_.asks.size();
      level_prices_[2 * i][rows_] = bid ? view_.bids[i].price : 0;
      level_qty_[2 * i][rows_] = bid ? view_.bids[i].quantity : 0;
      level_prices_[2 * i + 1][rows_] = ask ? view_.asks[i].price : 0;
      level_qty_[2 * i + 1][rows_] = ask ? view_.asks[i].quantity : 0;
    }
    ++rows_;
  }

  // Counts the rows written since the last call into every column.
  void sync_lengths() {
    for (ColumnBuilder& b : builders_) b.advance(rows_ - synced_);
    synced_ = rows_;
  }

  // Makes room for more rows in every column and takes their addresses.
  void grow() {
    // A whole batch up front (to a bound), then doubling.
    const std::size_t more =
        capacity_ != 0
            ? capacity_
            : static_cast<std::size_t>(std::min<uint64_t>(options_.batch_rows, kReserveRows));
    sync_lengths();
    for (ColumnBuilder& b : builders_) b.reserve(more);
    capacity_ = rows_ + more;
    // Addresses of row 0 of the batch: values<T>() points at the next row.
    seq_no_ = builders_[kSeqNo].values<uint32_t>() - rows_;
    exch_ts_ = builders_[kExchTs].values<uint64_t>() - rows_;
    local_ts_ = builders_[kLocalTs].values<uint64_t>() - rows_;
    msg_type_ = builders_[kMsgType].values<uint8_t>() - rows_;
    token_ = builders_[kToken].values<uint32_t>() - rows_;
    mid_price_ = builders_[kMidPrice].values<uint32_t>() - rows_;
    const std::size_t levels = static_cast<std::size_t>(options_.levels);
    level_prices_.resize(2 * levels);
    level_qty_.resize(2 * levels);
    for (std::size_t i = 0; i < levels; ++i) {
      const std::size_t c = kLevels + 4 * i;
      level_prices_[2 * i] = builders_[c].values<uint32_t>() - rows_;
      level_qty_[2 * i] = builders_[c + 1].values<uint64_t>() - rows_;
      level_prices_[2 * i + 1] = builders_[c + 2].values<uint32_t>() - rows_;
      level_qty_[2 * i + 1] = builders_[c + 3].values<uint64_t>() - rows_;
    }
  }

  static constexpr uint64_t kMaxTime = std::numeric_limits<uint64_t>::max();

  std::unique_ptr<FeedFile> file_;
  BookSeriesOptions options_;
  std::vector<ColumnSpec> columns_;
  std::vector<ColumnBuilder> builders_;
  BookSet books_;
  DepthView view_;

  // Messages read but not yet applied: chunk_[next_, count_).
  std::vector<FeedMessage> chunk_;
  std::size_t next_ = 0;
  std::size_t count_ = 0;
  bool ended_ = false;
  bool error_pending_ = false;
  bool failed_ = false;
  std::string error_;

  // The batch being written: its rows, the rows it has room for, and the
  // address of row 0 of each column (bid and ask alternate per level).
  std::size_t rows_ = 0;
  std::size_t synced_ = 0;  // rows already counted in the columns' lengths
  std::size_t capacity_ = 0;
  uint32_t* seq_no_ = nullptr;
  uint64_t* exch_ts_ = nullptr;
  uint64_t* local_ts_ = nullptr;
  uint8_t* msg_type_ = nullptr;
  uint32_t* token_ = nullptr;
  uint32_t* mid_price_ = nullptr;
  std::vector<uint32_t*> level_prices_;
  std::vector<uint64_t*> level_qty_;

  // The grid: the next grid time, whether its rows are being written (and
  // which token is next), the selected tokens that have a book, ascending,
  // the largest timestamp so far, and the last message before the cut.
  bool started_ = false;
  GridTime grid_time_ = 0;
  bool emitting_ = false;
  std::size_t emit_next_ = 0;
  std::vector<uint32_t> grid_tokens_;
  uint64_t max_ts_ = 0;
  uint32_t last_seq_no_ = 0;
  uint64_t last_local_ts_ = 0;
  uint8_t last_msg_type_ = 0;
};

}  // namespace

std::vector<ColumnSpec> book_series_columns(uint64_t levels) {
  std::vector<ColumnSpec> columns = {
      {"seq_no", ColumnType::kUInt32},   {"exch_ts", ColumnType::kUInt64},
      {"local_ts", ColumnType::kUInt64}, {"msg_type", ColumnType::kDict8},
      {"token", ColumnType::kUInt32},    {"mid_price", ColumnType::kUInt32},
  };
  for (uint64_t i = 0; i < levels; ++i) {
    const std::string n = std::to_string(i);
    columns.push_back({"bid_price_" + n, ColumnType::kUInt32});
    columns.push_back({"bid_qty_" + n, ColumnType::kUInt64});
    columns.push_back({"ask_price_" + n, ColumnType::kUInt32});
    columns.push_back({"ask_qty_" + n, ColumnType::kUInt64});
  }
  return columns;
}

Result<std::unique_ptr<BatchSource>> open_book_series(std::unique_ptr<FeedFile> file,
                                                      const BookSeriesOptions& options) {
  Status s = check_first_message(*file);
  if (!s.ok()) return s;
  return std::unique_ptr<BatchSource>(new BookSeries(std::move(file), options));
}

}  // namespace tidemark::arrow
