#include "book_series.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "feed_scan.h"
#include "shard_pool.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tidemark::arrow {

namespace {

// Stores that bypass the cache, for the level columns of a batch: a batch's
// columns are several MiB, far more than the cache keeps, so a plain store
// first reads from memory each line it is about to overwrite. These write
// whole lines without reading them (the processor gathers the stores to a
// line), which halves the memory traffic of filling a batch.
template <class T>
inline void store_around_cache(T* to, T value) {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8);
#if defined(__SSE2__) && defined(__x86_64__)
  if constexpr (sizeof(T) == 4) {
    int v;
    std::memcpy(&v, &value, 4);
    _mm_stream_si32(reinterpret_cast<int*>(to), v);
  } else {
    long long v;
    std::memcpy(&v, &value, 8);
    _mm_stream_si64(reinterpret_cast<long long*>(to), v);
  }
#else
  *to = value;
#endif
}

// Copies n values of a staged column into a batch's column, as above.
template <class T>
void copy_into_batch(const T* from, std::size_t n, T* to) {
#if defined(__SSE2__) && defined(__x86_64__)
  std::size_t j = 0;
  for (; j < n && (reinterpret_cast<std::uintptr_t>(to + j) & 15) != 0; ++j) {
    store_around_cache(to + j, from[j]);
  }
  constexpr std::size_t kPer = 16 / sizeof(T);
  for (; j + kPer <= n; j += kPer) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(to + j),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + j)));
  }
  for (; j < n; ++j) store_around_cache(to + j, from[j]);
#else
  std::copy_n(from, n, to);
#endif
}

// Orders the stores above before any later one, as plain stores are.
void end_batch_stores() {
#if defined(__SSE2__) && defined(__x86_64__)
  _mm_sfence();
#endif
}

// Columns before the levels.
enum Column : std::size_t { kSeqNo, kExchTs, kLocalTs, kMsgType, kToken, kMidPrice, kLevels };

using GridTime = unsigned __int128;  // a grid time may pass 2^64 - 1

// Forces a row callback (a lambda, after its parameters) inline into the
// loop that applies the messages.
#define ROW_INLINE __attribute__((always_inline))

// Decides, per message, whether a row follows it (its key and time are
// selected and, with changes_only, its book's levels changed), reading the
// book's levels into view. Keeps the last row's levels of each token, so one
// picker serves the tokens of one set of books.
class RowPicker {
 public:
  explicit RowPicker(const BookSeriesOptions& options) : options_(options) {}

  bool take(const FeedMessage& m, const BookSet& books, const OrderBook* book) {
    if (!selected(m)) return false;
    books.collect_book_depth(book, options_.levels, view);
    return !options_.changes_only || changed(book_key(m));
  }

  // Whether m's key and time are selected (all that decides a row without
  // changes_only).
  bool selected(const FeedMessage& m) const {
    return options_.rows.token(book_key(m)) && options_.rows.time(exch_ts_of(m));
  }

  DepthView view;

 private:
  // Whether the levels in view differ from the last row of `token`; if
  // they do (or the token has had no row), they become its last row.
  bool changed(uint32_t token) {
    const std::size_t levels = static_cast<std::size_t>(options_.levels);
    scratch_.assign(4 * levels, 0);
    for (std::size_t i = 0; i < view.bids.size() && i < levels; ++i) {
      scratch_[4 * i] = view.bids[i].price;
      scratch_[4 * i + 1] = view.bids[i].quantity;
    }
    for (std::size_t i = 0; i < view.asks.size() && i < levels; ++i) {
      scratch_[4 * i + 2] = view.asks[i].price;
      scratch_[4 * i + 3] = view.asks[i].quantity;
    }
    auto [it, inserted] = last_rows_.try_emplace(token);
    if (!inserted && it->second == scratch_) return false;
    it->second.swap(scratch_);
    return true;
  }

  const BookSeriesOptions& options_;
  std::unordered_map<uint32_t, std::vector<uint64_t>> last_rows_;
  std::vector<uint64_t> scratch_;
};

// A row as a shard hands it over: the mid price's word, which also holds
// the number of bid levels (bits 32 to 47) and ask levels (bits 48 to 63)
// that the book had, for the nulls, then each level (LevelWords). The reading
// thread writes the columns before the mid price from its own copy of the
// message or from the grid's cut, so that they need not pass from one
// core's cache to the other's.
constexpr std::size_t kMessageMid = 0;
constexpr std::size_t kMessageLevels = 1;
std::size_t message_row_words(uint64_t levels) {
  return kMessageLevels + LevelWords::kPerLevel * static_cast<std::size_t>(levels);
}

uint64_t mid_word(const LevelCounts& c) { return c.word; }

// Writes the levels of `view` into a row's level words; returns its mid
// price word.
uint64_t put_view(const DepthView& view, uint64_t levels, uint64_t* level) {
  for (std::size_t i = 0; i < levels; ++i, level += LevelWords::kPerLevel) {
    const bool bid = i < view.bids.size();
    const bool ask = i < view.asks.size();
    const uint64_t bid_price = bid ? view.bids[i].price : 0;
    const uint64_t ask_price = ask ? view.asks[i].price : 0;
    level[0] = bid_price | ask_price << 32;
    level[1] = bid ? view.bids[i].quantity : 0;
    level[2] = ask ? view.asks[i].quantity : 0;
  }
  return mid_word(LevelCounts::of(view.bids.size(), view.asks.size(), view.mid_price));
}

// Whether a per-message series keeps each book's levels between rows (the
// books' depth cache): every row reads its book's levels, and over a book
// with many levels most messages change none of the few best. One level is
// read from the best page as cheaply as from a copy, and the copy would
// only cost the books the noting of their changes.
bool keeps_levels(const BookSeriesOptions& options) {
  return !options.changes_only && options.levels >= 2;
}

// Whether a grid keeps its books' levels between rows (the books' depth
// cache). Keeping them costs every message applied the noting of whether it
// reaches a side's kept levels, and saves each row of a book that no message
// reached since its last row the walk over its levels. A fine grid over many
// tokens writes more rows than it applies messages, and most of its books
// are unchanged from one grid time to the next; a coarse grid writes few
// rows per message. So the choice is made again after every window of
// messages, from the rows written per message applied in the last one; the
// rows come out the same either way.
class GridLevelKeeping {
 public:
  explicit GridLevelKeeping(const BookSeriesOptions& options)
      : possible_(options.levels >= 2 &&
                  static_cast<uint64_t>(options.levels) <= OrderBook::kCachedLevels) {}

  // Counts `count` messages about to be applied to `books`, after deciding
  // whether their books keep levels from here on.
  void applying(BookSet& books, std::size_t count) {
    if (!possible_) return;
    if (messages_ >= kWindow) {
      books.set_depth_cache(rows_ * 2 >= messages_);
      messages_ = 0;
      rows_ = 0;
    }
    messages_ += count;
  }
  void wrote(std::size_t rows) { rows_ += rows; }

 private:
  static constexpr std::size_t kWindow = std::size_t{1} << 16;

  bool possible_;
  std::size_t messages_ = 0;
  std::size_t rows_ = 0;
};

// One shard of a per-message series: the books of its tokens and their rows.
class SeriesShard final : public ShardWorker {
 public:
  explicit SeriesShard(const BookSeriesOptions& options) : options_(options), picker_(options) {
    books_.set_type_filter(options.types);
    books_.set_depth_cache(keeps_levels(options));
  }

  void apply(const FeedMessage* messages, std::size_t count, ShardRows& out) override {
    const std::size_t levels = static_cast<std::size_t>(options_.levels);
    // The row callbacks are forced inline: apply_messages is made for each
    // setting of the books' depth cache, and so grown, GCC called them.
    books_.apply_messages(messages, count, [&](std::size_t i, const OrderBook* book) ROW_INLINE {
      const FeedMessage& m = messages[i];
      if (options_.changes_only) {
        if (!picker_.take(m, books_, book)) return;
        uint64_t* words = out.add(i);
        words[kMessageMid] = put_view(picker_.view, levels, words + kMessageLevels);
      } else {
        if (!picker_.selected(m)) return;
        uint64_t* words = out.add(i);
        words[kMessageMid] =
            mid_word(books_.write_levels(book, levels, LevelWords{words + kMessageLevels}));
      }
    });
  }

 private:
  const BookSeriesOptions& options_;
  BookSet books_;
  RowPicker picker_;
};

// Whether message m creates its token's book when it has none: a new order
// or a modify that the type filter and the side rule let through.
bool creates_book(const FeedMessage& m, const std::optional<std::vector<uint8_t>>& types) {
  const uint8_t type = m.header.msg_type;
  if (type != 'N' && type != 'M') return false;
  if (types && std::find(types->begin(), types->end(), type) == types->end()) return false;
  return m.order.order_type == 'B' || m.order.order_type == 'S';
}

// A grid cut's data as the reading thread plans it (ShardCut::data).
enum CutWord : std::size_t {
  kCutRows,  // selected tokens with a book: the rows per grid time
  kCutFirstLow,
  kCutFirstHigh,  // the first grid time of the cut
  kCutCountLow,
  kCutCountHigh,  // how many grid times the cut writes
  kCutSeqNo,
  kCutLocalTs,
  kCutMsgType,  // of the last message before the cut
  kCutWords
};

// One shard of a grid series: at each cut, the levels of each of its own
// tokens among the cut's keys (the selected tokens that have a book), each
// written in the row that the key's place among the cut's keys gives.
class GridShard final : public ShardWorker {
 public:
  explicit GridShard(const BookSeriesOptions& options) : options_(options) {
    books_.set_type_filter(options.types);
  }

  void apply(const FeedMessage* messages, std::size_t count, ShardRows&) override {
    keeping_.applying(books_, count);
    books_.apply_messages(messages, count);
  }

  void apply_chunk(const ShardChunk& chunk, std::size_t shard, ShardRows&) override {
    const FeedMessage* messages = chunk.messages[shard].data();
    std::size_t done = 0;
    for (std::size_t k = 0; k < chunk.cuts.size(); ++k) {
      const std::size_t upto = chunk.cuts[k].local[shard];
      keeping_.applying(books_, upto - done);
      books_.apply_messages(messages + done, upto - done);
      done = upto;
      write_placed_rows(chunk, chunk.cuts[k], shard);
    }
    keeping_.applying(books_, chunk.messages[shard].size() - done);
    books_.apply_messages(messages + done, chunk.messages[shard].size() - done);
  }

 private:
  // Writes the rows of this shard's keys of `cut` where the cut's keys
  // place them: a key's row is the cut's first row plus the key's place.
  void write_placed_rows(const ShardChunk& chunk, const ShardCut& cut, std::size_t shard) {
    const std::vector<uint32_t>& keys = *cut.keys;
    if (cut.keys != placed_keys_) {
      placed_keys_ = cut.keys;
      mine_.clear();
      for (std::size_t r = 0; r < keys.size(); ++r) {
        if (shard_of_key(keys[r], chunk.messages.size()) == shard) mine_.push_back(r);
      }
    }
    const std::size_t n = mine_.size();
    books_at_.resize(n);
    for (std::size_t t = 0; t < n; ++t) books_at_[t] = books_.find_book(keys[mine_[t]]);
    const std::size_t levels = static_cast<std::size_t>(options_.levels);
    keeping_.wrote(n);
    for (std::size_t t = 0; t < n && t < kAhead; ++t) BookSet::prefetch_depth(books_at_[t], false);
    for (std::size_t t = 0; t < n && t < kAhead / 2; ++t) {
      BookSet::prefetch_depth(books_at_[t], true);
    }
    for (std::size_t t = 0; t < n; ++t) {
      if (t + kAhead < n) BookSet::prefetch_depth(books_at_[t + kAhead], false);
      if (t + kAhead / 2 < n) BookSet::prefetch_depth(books_at_[t + kAhead / 2], true);
      uint64_t* words = chunk.placed.row(cut.first_row + mine_[t]);
      words[kMessageMid] =
          mid_word(books_.write_levels(books_at_[t], levels, LevelWords{words + kMessageLevels}));
    }
  }

  static constexpr std::size_t kAhead = 8;

  const BookSeriesOptions& options_;
  BookSet books_;
  GridLevelKeeping keeping_{options_};
  // The keys of the cuts last written, and the places among them of this
  // shard's keys.
  std::shared_ptr<const std::vector<uint32_t>> placed_keys_;
  std::vector<std::size_t> mine_;
  std::vector<const OrderBook*> books_at_;  // their books at the cut
};

class BookSeries final : public BatchSource {
 public:
  BookSeries(ReplayEngine::Inputs inputs, const BookSeriesOptions& options)
      : engine_(std::move(inputs), options.types, options.merge_by_time),
        options_(options),
        columns_(book_series_columns(options.levels, options.file_column && !options.every_ns)),
        picker_(options_) {
    options_.rows.prepare();
    // A row per message reads only its own token's book, so the other
    // tokens' messages are passed over unread. A grid is cut by the time of
    // every message, so it reads them all.
    if (!grid()) engine_.set_token_filter(options_.rows.tokens);
    if (!grid()) engine_.books().set_depth_cache(keeps_levels(options_));
    options_.batch_rows = batch_row_limit(columns_, options_.batch_rows);
    builders_.reserve(columns_.size());
    for (const ColumnSpec& c : columns_) builders_.emplace_back(c.type);
  }

  const std::vector<ColumnSpec>& columns() const override { return columns_; }
  Status start() {
    Status s = engine_.start();
    if (!s.ok() || options_.threads <= 1) return s;
    std::vector<std::unique_ptr<ShardWorker>> workers;
    const std::size_t shards = shard_count(options_.threads);
    for (std::size_t k = 0; k < shards; ++k) {
      if (grid()) {
        workers.push_back(std::make_unique<GridShard>(options_));
      } else {
        workers.push_back(std::make_unique<SeriesShard>(options_));
      }
    }
    const std::size_t words = message_row_words(options_.levels);
    pool_ = std::make_unique<ShardPool>(engine_, std::move(workers), 1 + words, 8 * words,
                                        static_cast<std::size_t>(options_.threads));
    // A grid's rows are placed by the reading thread: a cut's rows are
    // ascending by token, and each shard writes the rows of its own tokens
    // where they go, so no merge of the shards' rows is needed.
    if (grid()) {
      pool_->set_cut_planner(
          [this](const FeedMessage* m, std::vector<uint64_t>& data) { return plan_cut(m, data); });
      pool_->place_rows(words, [this] { return cut_keys_; });
    }
    return pool_->start();
  }

  BatchStep next_batch(ArrowArray* out, std::string& error) override {
    if (failed_) {
      error = error_.empty() ? engine_.error() : error_;
      return BatchStep::kError;
    }
    rows_ = synced_ = capacity_ = 0;
    bool started = false;  // the batch has rows (and the flush clock knows)
    // Asks whether to stop before the batch and every 64 steps of it (a step
    // writes at most one grid row or applies at most one chunk of messages).
    for (unsigned steps = 0; rows_ < options_.batch_rows; ++steps) {
      if (steps % 64 == 0 && interrupted()) {
        failed_ = true;
        error = error_ = kInterruptedText;
        return BatchStep::kError;
      }
      if (step()) {
        if (!started && rows_ > 0) {
          engine_.batch_started();
          started = true;
        }
        continue;
      }
      // A followed file paused: the rows so far go out now; with none, read on.
      if (!engine_.take_pause() || rows_ > 0) break;
    }
    if (rows_ == 0) {
      if (!failed_) return BatchStep::kEnd;
      error = error_.empty() ? engine_.error() : error_;
      return BatchStep::kError;
    }
    sync_lengths();
    builders_[kMsgType].set_dictionary(kMsgTypeDictionary);
    std::vector<ArrowArray> arrays(builders_.size());
    for (std::size_t k = 0; k < builders_.size(); ++k) {
      if (options_.nulls && k >= kMidPrice && k < kLevels + 4 * options_.levels) {
        const std::size_t v = validity_index(k);
        builders_[k].finish(&arrays[k], validity_[v].data(), nulls_[v]);
      } else {
        builders_[k].finish(&arrays[k]);
      }
    }
    finish_batch(arrays, static_cast<int64_t>(rows_), out);
    return BatchStep::kBatch;
  }

 private:
  bool grid() const { return options_.every_ns != 0; }

  // The validity bitmap of column k (mid price, then bid and ask per level:
  // a level's price and quantity share one).
  static std::size_t validity_index(std::size_t k) {
    if (k == kMidPrice) return 0;
    const std::size_t level = (k - kLevels) / 4;
    const bool ask = (k - kLevels) % 4 >= 2;
    return 1 + 2 * level + (ask ? 1 : 0);
  }

  // Does one step of work: writes at most one row (or the rows of a run of
  // messages that the batch has room for). Returns false when the series
  // has ended (or failed) and nothing was written.
  bool step() {
    if (emitting_) {
      if (emit_next_ < grid_tokens_.size()) {
        write_grid_rows();
        return true;
      }
      emitting_ = false;
      grid_time_ += options_.every_ns;
      return true;
    }
    if (pool_ != nullptr) return grid() ? write_grid_shard_rows() : write_shard_rows();
    if (engine_.available() == 0) {
      if (engine_.failed()) failed_ = true;  // a failed replay gets no final rows
      return !failed_ && finish_grid();
    }
    return grid() ? apply_until_cut() : apply_per_message();
  }

  // Per message: applies the read messages with a row after each one that
  // the books accept when its key is selected, until the batch is full or
  // the messages read are used up. Each accepted message gives at most one
  // row, so a run of as many messages as the batch has room for cannot
  // overflow it.
  bool apply_per_message() {
    const std::size_t n = static_cast<std::size_t>(
        std::min<uint64_t>(engine_.available(), options_.batch_rows - rows_));
    const FeedMessage* run = engine_.messages();
    engine_.consume(n);
    if (options_.changes_only) {
      engine_.books().apply_messages(run, n, [&](std::size_t i, const OrderBook* book) {
        const FeedMessage& m = run[i];
        if (!picker_.take(m, engine_.books(), book)) return;
        write_row(book_key(m), exch_ts_of(m), m.header.seq_no, local_ts_of(m),
                  msg_type_index(m.header.msg_type), picker_.view, engine_.file_of(m));
      });
      return true;
    }
    if (options_.levels >= 2) {
      apply_staged(run, n);
      return true;
    }
    // Without changes_only the levels go from the book straight into the
    // columns.
    engine_.books().apply_messages(run, n, [&](std::size_t i, const OrderBook* book) ROW_INLINE {
      const FeedMessage& m = run[i];
      if (!picker_.selected(m)) return;
      if (rows_ == capacity_) grow();
      if (file_ != nullptr) file_[rows_] = static_cast<uint32_t>(engine_.file_of(m));
      write_header(rows_, book_key(m), exch_ts_of(m), m.header.seq_no, local_ts_of(m),
                   msg_type_index(m.header.msg_type));
      write_book_levels(book);
      ++rows_;
    });
    return true;
  }

  // Per message with several levels: the levels of each row go first into
  // small columns of kStageRows rows, which stay in the processor's cache,
  // and from there, a block of rows at a time, into the batch's columns.
  // Written straight into the batch, the levels of a row would store into
  // as many places in memory at once as the row has columns, more than the
  // processor follows without waiting.
  void apply_staged(const FeedMessage* run, std::size_t n) {
    const std::size_t levels = static_cast<std::size_t>(options_.levels);
    if (stage_prices_.size() != 2 * levels) {
      stage_price_memory_.assign(2 * levels * kStageRows, 0);
      stage_qty_memory_.assign(2 * levels * kStageRows, 0);
      stage_prices_.resize(2 * levels);
      stage_qty_.resize(2 * levels);
      for (std::size_t c = 0; c < 2 * levels; ++c) {
        stage_prices_[c] = stage_price_memory_.data() + c * kStageRows;
        stage_qty_[c] = stage_qty_memory_.data() + c * kStageRows;
      }
    }
    std::size_t staged = 0;
    const BookSet& books = engine_.books();
    engine_.books().apply_messages(run, n, [&](std::size_t i, const OrderBook* book) ROW_INLINE {
      const FeedMessage& m = run[i];
      if (!picker_.selected(m)) return;
      if (rows_ + staged == capacity_) {
        write_staged(staged);
        staged = 0;
        grow();
      }
      const std::size_t row = rows_ + staged;
      if (file_ != nullptr) file_[row] = static_cast<uint32_t>(engine_.file_of(m));
      write_header(row, book_key(m), exch_ts_of(m), m.header.seq_no, local_ts_of(m),
                   msg_type_index(m.header.msg_type));
      const LevelColumns stage{stage_prices_.data(), stage_qty_.data(), staged};
      stage_mid_[staged] = books.write_levels(book, levels, stage).word;
      if (++staged == kStageRows) {
        write_staged(staged);
        staged = 0;
      }
    });
    write_staged(staged);
  }

  // Copies the first n staged rows into the next n rows of the batch (whose
  // other columns are written), and counts them.
  void write_staged(std::size_t n) {
    if (n == 0) return;
    for (std::size_t c = 0; c < stage_prices_.size(); ++c) {
      copy_into_batch(stage_prices_[c], n, level_prices_[c] + rows_);
      copy_into_batch(stage_qty_[c], n, level_qty_[c] + rows_);
    }
    end_batch_stores();
    for (std::size_t j = 0; j < n; ++j) {
      mid_price_[rows_ + j] = static_cast<uint32_t>(stage_mid_[j]);
    }
    if (options_.nulls) {
      const std::size_t levels = stage_prices_.size() / 2;
      for (std::size_t j = 0; j < n; ++j) {
        const LevelCounts c{stage_mid_[j]};
        set_validity(rows_ + j, levels, c.bids(), c.asks());
      }
    }
    rows_ += n;
  }

  // Writes the grid time's rows of the selected tokens with a book, from
  // emit_next_ on, until the batch is full.
  void write_grid_rows() {
    const std::size_t n = grid_tokens_.size();
    if (emit_next_ == 0) {
      // The books do not change while a grid time's rows are written.
      grid_books_.resize(n);
      for (std::size_t t = 0; t < n; ++t)
        grid_books_[t] = engine_.books().find_book(grid_tokens_[t]);
    }
    const uint64_t ts = grid_time_ > kMaxTime ? kMaxTime : static_cast<uint64_t>(grid_time_);
    const std::size_t room = static_cast<std::size_t>(
        options_.batch_rows - std::min<uint64_t>(rows_, options_.batch_rows));
    const std::size_t end = std::min(n, emit_next_ + std::max<std::size_t>(room, 1));
    // The books' best pages are far apart in memory: fetch them ahead.
    constexpr std::size_t kAhead = 8;
    for (std::size_t t = emit_next_; t < end && t < emit_next_ + kAhead; ++t) {
      BookSet::prefetch_depth(grid_books_[t], false);
    }
    for (std::size_t t = emit_next_; t < end && t < emit_next_ + kAhead / 2; ++t) {
      BookSet::prefetch_depth(grid_books_[t], true);
    }
    for (std::size_t t = emit_next_; t < end; ++t) {
      if (t + kAhead < end) BookSet::prefetch_depth(grid_books_[t + kAhead], false);
      if (t + kAhead / 2 < end) BookSet::prefetch_depth(grid_books_[t + kAhead / 2], true);
      if (rows_ == capacity_) grow();
      write_header(rows_, grid_tokens_[t], ts, last_seq_no_, last_local_ts_, last_msg_type_);
      write_book_levels(grid_books_[t]);
      ++rows_;
    }
    keeping_.wrote(end - emit_next_);
    emit_next_ = end;
  }

  // Writes the columns of row `row` before its levels.
  void write_header(std::size_t row, uint32_t token, uint64_t ts, uint32_t seq_no, uint64_t local,
                    uint8_t type) {
    seq_no_[row] = seq_no;
    exch_ts_[row] = ts;
    local_ts_[row] = local;
    msg_type_[row] = type;
    token_[row] = token;
  }

  // Writes the levels of `book` (nullptr: none, zeros) and its mid price.
  void write_book_levels(const OrderBook* book) {
    const std::size_t levels = level_prices_.size() / 2;
    const LevelCounts c = engine_.books().write_levels(
        book, levels, LevelColumns{level_prices_.data(), level_qty_.data(), rows_});
    mid_price_[rows_] = c.mid_price();
    if (options_.nulls) set_validity(rows_, levels, c.bids(), c.asks());
  }

  // Writes the rows of messages[0, n) into the next n rows of the batch,
  // which has room for them: the columns before the mid price from the
  // messages, the rest from rows[j], a shard's words of message j
  // (message_row_words); files[j] is row j's file (with the file column).
  void write_message_rows(const FeedMessage* const* messages, const uint64_t* const* rows,
                          const uint32_t* files, std::size_t n) {
    if (rows_ + n > capacity_) grow(n);
    for (std::size_t j = 0; j < n; ++j) {
      const FeedMessage& m = *messages[j];
      const std::size_t row = rows_ + j;
      seq_no_[row] = m.header.seq_no;
      exch_ts_[row] = exch_ts_of(m);
      local_ts_[row] = local_ts_of(m);
      msg_type_[row] = msg_type_index(m.header.msg_type);
      token_[row] = book_key(m);
    }
    if (file_ != nullptr) {
      for (std::size_t j = 0; j < n; ++j) file_[rows_ + j] = files[j];
    }
    write_level_words(RowPointers{rows}, n, kMessageMid, kMessageLevels);
  }

  // Rows given as a pointer to each row's words.
  struct RowPointers {
    const uint64_t* const* rows;
    uint64_t operator()(std::size_t j, std::size_t word) const { return rows[j][word]; }
  };
  // Rows one after another, `stride` words apart.
  struct RowBlock {
    const uint64_t* first;
    std::size_t stride;
    uint64_t operator()(std::size_t j, std::size_t word) const { return first[j * stride + word]; }
  };

  // Word `word` of rows[0, n) into the next n rows of `column`: column by
  // column, so that each loop stores to one column only.
  template <class Rows, class T>
  void copy_word(const Rows& rows, std::size_t n, T* column, std::size_t word) {
    T* out = column + rows_;
    for (std::size_t j = 0; j < n; ++j) store_around_cache(out + j, static_cast<T>(rows(j, word)));
  }

  // Writes the mid price (word `mid` of each row) and the levels (from word
  // `level` on) of rows[0, n) into the next n rows of the batch, and counts
  // the rows.
  template <class Rows>
  void write_level_words(const Rows& rows, std::size_t n, std::size_t mid, std::size_t level) {
    auto copy = [&]<class T>(T* column, std::size_t word) { copy_word(rows, n, column, word); };
    copy(mid_price_, mid);
    const std::size_t levels = level_prices_.size() / 2;
    for (std::size_t i = 0; i < levels; ++i) {
      const std::size_t w = level + LevelWords::kPerLevel * i;
      // The level's two prices share a word (LevelWords).
      uint32_t* bids = level_prices_[2 * i] + rows_;
      uint32_t* asks = level_prices_[2 * i + 1] + rows_;
      for (std::size_t j = 0; j < n; ++j) {
        const uint64_t prices = rows(j, w);
        store_around_cache(bids + j, static_cast<uint32_t>(prices));
        store_around_cache(asks + j, static_cast<uint32_t>(prices >> 32));
      }
      copy(level_qty_[2 * i], w + 1);
      copy(level_qty_[2 * i + 1], w + 2);
    }
    if (options_.nulls) {
      for (std::size_t j = 0; j < n; ++j) {
        const uint64_t word = rows(j, mid);
        set_validity(rows_ + j, levels, static_cast<std::size_t>((word >> 32) & 0xFFFF),
                     static_cast<std::size_t>(word >> 48));
      }
    }
    end_batch_stores();
    rows_ += n;
  }

  // Per message over shards: writes the rows of the chunks the shards are
  // done with, in file order, until the batch is full or a chunk's rows are
  // out. Returns false at the end of the replay.
  bool write_shard_rows() {
    const FeedMessage* m = nullptr;
    const uint64_t* words = nullptr;
    // Rows are taken in blocks and written column by column; a block ends
    // with its chunk, whose rows are released with the next step.
    constexpr std::size_t kBlock = 256;
    const uint64_t* block[kBlock];
    const FeedMessage* messages[kBlock];
    uint32_t files[kBlock];
    while (rows_ < options_.batch_rows) {
      const std::size_t room =
          std::min<std::size_t>(kBlock, static_cast<std::size_t>(options_.batch_rows - rows_));
      std::size_t n = 0;
      ShardPool::RowStep step = ShardPool::RowStep::kRow;
      while (n < room) {
        step = pool_->next_row(m, words);
        if (step != ShardPool::RowStep::kRow) break;
        block[n] = words;
        messages[n] = m;
        files[n] = static_cast<uint32_t>(pool_->row_file());
        ++n;
      }
      if (n != 0) write_message_rows(messages, block, files, n);
      if (step == ShardPool::RowStep::kChunkDone) return true;
      if (step == ShardPool::RowStep::kEnd) {
        if (engine_.failed()) failed_ = true;
        return false;
      }
    }
    return true;
  }

  // Grid over shards, on the reading thread: whether a cut (grid rows) goes
  // before message m (nullptr: after the last message), by the rules of
  // apply_until_cut and finish_grid; a selected token has a book from its
  // first message that creates one (creates_book).
  bool plan_cut(const FeedMessage* m, std::vector<uint64_t>& data) {
    GridTime count = 0;
    if (m == nullptr) {
      const GridTime last = first_multiple_above(max_ts_);
      if (!started_ || book_tokens_.empty() || grid_time_ > last) return false;
      count = (last - grid_time_) / options_.every_ns + 1;
    } else {
      const uint64_t ts = exch_ts_of(*m);
      if (!started_) {
        started_ = true;
        grid_time_ = first_multiple_above(ts);
      }
      if (ts >= grid_time_) {
        if (book_tokens_.empty()) {
          grid_time_ = first_multiple_above(ts);
        } else {
          count = (GridTime{ts} - grid_time_) / options_.every_ns + 1;
        }
      }
      max_ts_ = std::max(max_ts_, ts);
    }
    if (count != 0) {
      if (cut_keys_ == nullptr || cut_keys_->size() != sorted_tokens_.size()) {
        // The tokens changed since the last cut (they only ever grow).
        cut_keys_ = std::make_shared<const std::vector<uint32_t>>(sorted_tokens_);
      }
      data.assign(kCutWords, 0);
      data[kCutRows] = book_tokens_.size();
      data[kCutFirstLow] = static_cast<uint64_t>(grid_time_);
      data[kCutFirstHigh] = static_cast<uint64_t>(grid_time_ >> 64);
      data[kCutCountLow] = static_cast<uint64_t>(count);
      data[kCutCountHigh] = static_cast<uint64_t>(count >> 64);
      data[kCutSeqNo] = last_seq_no_;
      data[kCutLocalTs] = last_local_ts_;
      data[kCutMsgType] = last_msg_type_;
      grid_time_ += count * options_.every_ns;
    }
    if (m != nullptr) {
      last_seq_no_ = m->header.seq_no;
      last_local_ts_ = local_ts_of(*m);
      last_msg_type_ = msg_type_index(m->header.msg_type);
      const uint32_t key = book_key(*m);
      if (options_.rows.token(key) && creates_book(*m, options_.types) &&
          book_tokens_.insert(key).second) {
        sorted_tokens_.insert(std::lower_bound(sorted_tokens_.begin(), sorted_tokens_.end(), key),
                              key);
      }
    }
    return count != 0;
  }

  // Grid over shards: writes the rows of the cuts of the chunks the shards
  // are done with, each cut's rows (from every shard, ascending by token)
  // once per grid time of the cut, until the batch is full or a chunk is
  // done. Returns false at the end of the replay.
  bool write_grid_shard_rows() {
    if (grid_chunk_ == nullptr) {
      grid_chunk_ = pool_->front();
      if (grid_chunk_ == nullptr) {
        if (engine_.failed()) failed_ = true;
        return false;
      }
      cut_ = 0;
    }
    while (rows_ < options_.batch_rows) {
      if (cut_ == grid_chunk_->cuts.size()) {
        grid_chunk_ = nullptr;
        pool_->pop();
        return true;
      }
      write_placed_cut_rows(grid_chunk_->cuts[cut_]);
    }
    return true;
  }

  // Writes the placed rows of `cut` (data[kCutRows] rows, ascending by
  // token) from cut_row_ on, once per grid time of the cut, until the batch
  // is full; moves on to the next cut when they are all out.
  void write_placed_cut_rows(const ShardCut& cut) {
    const std::vector<uint64_t>& data = cut.data;
    const std::size_t count_rows = static_cast<std::size_t>(data[kCutRows]);
    if (count_rows == 0) {  // cannot happen: the cut has a book
      ++cut_;
      return;
    }
    const GridTime first = (GridTime{data[kCutFirstHigh]} << 64) | data[kCutFirstLow];
    const GridTime count = (GridTime{data[kCutCountHigh]} << 64) | data[kCutCountLow];
    const GridTime time = first + cut_time_ * options_.every_ns;
    const uint64_t ts = time > kMaxTime ? kMaxTime : static_cast<uint64_t>(time);
    const std::size_t n = std::min({kPlacedBlock, count_rows - cut_row_,
                                    static_cast<std::size_t>(options_.batch_rows - rows_)});
    if (rows_ + n > capacity_) grow(n);
    std::fill(seq_no_ + rows_, seq_no_ + rows_ + n, static_cast<uint32_t>(data[kCutSeqNo]));
    std::fill(exch_ts_ + rows_, exch_ts_ + rows_ + n, ts);
    std::fill(local_ts_ + rows_, local_ts_ + rows_ + n, data[kCutLocalTs]);
    std::fill(msg_type_ + rows_, msg_type_ + rows_ + n, static_cast<uint8_t>(data[kCutMsgType]));
    std::copy_n(cut.keys->data() + cut_row_, n, token_ + rows_);
    const ShardChunk& chunk = *grid_chunk_;
    write_level_words(RowBlock{chunk.placed.row(cut.first_row + cut_row_), chunk.placed.stride()},
                      n, kMessageMid, kMessageLevels);
    cut_row_ += n;
    if (cut_row_ == count_rows) {
      cut_row_ = 0;
      if (++cut_time_ == count) {
        cut_time_ = 0;
        ++cut_;
      }
    }
  }

  // Grid mode: applies the read messages up to the next cut (the first one
  // stamped at or after the grid time) in one run, and starts the grid
  // time's rows when the cut is reached.
  bool apply_until_cut() {
    const FeedMessage* run = engine_.messages();
    const std::size_t available = engine_.available();
    if (!started_) {
      started_ = true;
      grid_time_ = first_multiple_above(exch_ts_of(run[0]));
    }
    std::size_t n = 0;
    for (; n < available; ++n) {
      const uint64_t ts = exch_ts_of(run[n]);
      if (ts >= grid_time_) break;
      max_ts_ = std::max(max_ts_, ts);
    }
    if (n != 0) {
      const std::size_t books_before = engine_.books().book_count();
      keeping_.applying(engine_.books(), n);
      engine_.books().apply_messages(run, n);
      const FeedMessage& last = run[n - 1];
      last_seq_no_ = last.header.seq_no;
      last_local_ts_ = local_ts_of(last);
      last_msg_type_ = msg_type_index(last.header.msg_type);
      if (engine_.books().book_count() != books_before) take_grid_tokens();
      engine_.consume(n);
    }
    if (n != available) {
      const uint64_t ts = exch_ts_of(run[n]);
      max_ts_ = std::max(max_ts_, ts);
      if (grid_tokens_.empty()) {
        // No selected book, so no rows until the next message is applied:
        // go straight to the first grid time after it.
        grid_time_ = first_multiple_above(ts);
      } else {
        start_emitting();
      }
    }
    return true;
  }

  // Takes the selected tokens that have a book, ascending.
  void take_grid_tokens() {
    grid_tokens_ = engine_.books().sorted_tokens();
    if (options_.rows.tokens) {
      std::erase_if(grid_tokens_, [&](uint32_t token) { return !options_.rows.token(token); });
    }
  }

  // At the end of the replay: the grid's last times, up to the first
  // multiple above the largest timestamp. Returns false when nothing is left.
  bool finish_grid() {
    if (!grid() || !started_ || grid_tokens_.empty() ||
        grid_time_ > first_multiple_above(max_ts_)) {
      return false;
    }
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

  // Writes a row whose levels are those of `view`, from file `file`.
  void write_row(uint32_t token, uint64_t ts, uint32_t seq_no, uint64_t local, uint8_t type,
                 const DepthView& view, std::size_t file = 0) {
    if (rows_ == capacity_) grow();
    if (file_ != nullptr) file_[rows_] = static_cast<uint32_t>(file);
    seq_no_[rows_] = seq_no;
    exch_ts_[rows_] = ts;
    local_ts_[rows_] = local;
    msg_type_[rows_] = type;
    token_[rows_] = token;
    mid_price_[rows_] = view.mid_price;
    const std::size_t levels = level_prices_.size() / 2;
    for (std::size_t i = 0; i < levels; ++i) {
      const bool bid = i < view.bids.size();
      const bool ask = i < view.asks.size();
      level_prices_[2 * i][rows_] = bid ? view.bids[i].price : 0;
      level_qty_[2 * i][rows_] = bid ? view.bids[i].quantity : 0;
      level_prices_[2 * i + 1][rows_] = ask ? view.asks[i].price : 0;
      level_qty_[2 * i + 1][rows_] = ask ? view.asks[i].quantity : 0;
    }
    if (options_.nulls) set_validity(rows_, levels, view.bids.size(), view.asks.size());
    ++rows_;
  }

  // Marks the levels that the row has (and its mid price when both sides
  // have a level) as valid, the others as null.
  void set_validity(std::size_t row, std::size_t levels, std::size_t bids, std::size_t asks) {
    const std::size_t byte = row >> 3;
    const auto bit = static_cast<uint8_t>(1u << (row & 7));
    auto mark = [&](std::size_t v, bool valid) {
      if (valid) {
        validity_[v][byte] |= bit;
      } else {
        ++nulls_[v];
      }
    };
    mark(0, bids != 0 && asks != 0);
    for (std::size_t i = 0; i < levels; ++i) {
      mark(1 + 2 * i, i < bids);
      mark(2 + 2 * i, i < asks);
    }
  }

  // Counts the rows written since the last call into every column.
  void sync_lengths() {
    for (ColumnBuilder& b : builders_) b.advance(rows_ - synced_);
    synced_ = rows_;
  }

  // Makes room for at least `need` more rows in every column and takes
  // their addresses.
  void grow(std::size_t need = 1) {
    // At most kFirstReserveBytes up front, then doubling, never past the
    // rows the batch may hold (unless needed).
    const std::size_t limit = static_cast<std::size_t>(options_.batch_rows);
    const std::size_t more = std::max(need, capacity_ != 0 ? std::min(capacity_, limit - rows_)
                                                           : first_reserve_rows(columns_, limit));
    sync_lengths();
    for (ColumnBuilder& b : builders_) b.reserve(more, 0, limit);
    const bool first = capacity_ == 0;
    capacity_ = rows_ + more;
    // Addresses of row 0 of the batch: values<T>() points at the next row.
    seq_no_ = builders_[kSeqNo].values<uint32_t>() - rows_;
    exch_ts_ = builders_[kExchTs].values<uint64_t>() - rows_;
    local_ts_ = builders_[kLocalTs].values<uint64_t>() - rows_;
    msg_type_ = builders_[kMsgType].values<uint8_t>() - rows_;
    token_ = builders_[kToken].values<uint32_t>() - rows_;
    mid_price_ = builders_[kMidPrice].values<uint32_t>() - rows_;
    if (columns_.back().name == "file") file_ = builders_.back().values<uint32_t>() - rows_;
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
    if (options_.nulls) {
      validity_.resize(1 + 2 * levels);
      nulls_.resize(validity_.size());
      for (std::size_t v = 0; v < validity_.size(); ++v) {
        if (first) {
          validity_[v].clear();
          nulls_[v] = 0;
        }
        validity_[v].resize(bitmap_bytes(capacity_), 0);
      }
    }
  }

  static constexpr uint64_t kMaxTime = std::numeric_limits<uint64_t>::max();

  ReplayEngine engine_;
  BookSeriesOptions options_;
  std::vector<ColumnSpec> columns_;
  std::vector<ColumnBuilder> builders_;
  bool failed_ = false;
  std::string error_;  // an interruption's text (else the engine's error)

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
  uint32_t* file_ = nullptr;  // the file column, when asked for
  std::vector<uint32_t*> level_prices_;
  std::vector<uint64_t*> level_qty_;
  // With nulls: the validity bitmaps of the batch and their null counts
  // (validity_index).
  std::vector<std::vector<uint8_t>> validity_;
  std::vector<std::size_t> nulls_;
  RowPicker picker_;
  // Per message with several levels: the rows on their way to the batch
  // (apply_staged), their levels as columns (bid and ask alternate per
  // level, as in level_prices_) and their write_levels words.
  static constexpr std::size_t kStageRows = 64;
  std::vector<uint32_t> stage_price_memory_;
  std::vector<uint64_t> stage_qty_memory_;
  std::vector<uint32_t*> stage_prices_;
  std::vector<uint64_t*> stage_qty_;
  uint64_t stage_mid_[kStageRows] = {};

  // Over shards (threads > 1): the pool.
  std::unique_ptr<ShardPool> pool_;
  // Grid rows are copied into the batch this many at a time, few enough to
  // stay in the processor's cache while they are copied column by column.
  static constexpr std::size_t kPlacedBlock = 128;
  // A grid over shards: the selected tokens with a book as read so far (as a
  // set, ascending, and ascending as they were at the last cut), the chunk
  // whose cuts are being written, the cut, its next row and the grid time of
  // the cut being written.
  std::unordered_set<uint32_t> book_tokens_;
  std::vector<uint32_t> sorted_tokens_;
  std::shared_ptr<const std::vector<uint32_t>> cut_keys_;
  const ShardChunk* grid_chunk_ = nullptr;
  std::size_t cut_ = 0;
  std::size_t cut_row_ = 0;
  GridTime cut_time_ = 0;

  // The grid: the next grid time, whether its rows are being written (and
  // which token is next), the selected tokens that have a book, ascending,
  // the largest timestamp so far, and the last message before the cut.
  bool started_ = false;
  GridTime grid_time_ = 0;
  GridLevelKeeping keeping_{options_};
  bool emitting_ = false;
  std::size_t emit_next_ = 0;
  std::vector<uint32_t> grid_tokens_;
  std::vector<const OrderBook*> grid_books_;  // their books while a grid time is written
  uint64_t max_ts_ = 0;
  uint32_t last_seq_no_ = 0;
  uint64_t last_local_ts_ = 0;
  uint8_t last_msg_type_ = 0;
};

}  // namespace

std::vector<ColumnSpec> book_series_columns(uint64_t levels, bool file_column) {
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
  if (file_column) columns.push_back({"file", ColumnType::kUInt32});
  return columns;
}

Result<std::unique_ptr<BatchSource>> open_book_series(ReplayEngine::Inputs inputs,
                                                      const BookSeriesOptions& options) {
  auto series = std::make_unique<BookSeries>(std::move(inputs), options);
  Status s = series->start();
  if (!s.ok()) return s;
  return std::unique_ptr<BatchSource>(std::move(series));
}

}  // namespace tidemark::arrow
