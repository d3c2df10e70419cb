#include "trade_tables.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "shard_pool.h"

namespace tidemark::arrow {

namespace {

// Which side took the other's resting order, as the books held them just
// before the trade: 0 buyer, 1 seller, -1 neither or both.
int aggressor_of(const BookSet& books, const TradeMessage& t) {
  const uint32_t token = static_cast<uint32_t>(t.token);
  const bool buy_rests = books.find_order(token, t.buy_order_id).has_value();
  const bool sell_rests = books.find_order(token, t.sell_order_id).has_value();
  if (buy_rests == sell_rests) return -1;
  return sell_rests ? 0 : 1;
}

const std::vector<std::string> kSideDictionary = {"B", "S"};

// What the books held just before a trade: its aggressor (aggressor_of)
// and the best level of each side, if any.
struct TradeQuote {
  int side = -1;
  bool bid = false;
  bool ask = false;
  DepthLevel best_bid{};
  DepthLevel best_ask{};
};

TradeQuote quote_before(const BookSet& books, const TradeMessage& t, const OrderBook* book,
                        DepthView& view) {
  TradeQuote q;
  q.side = book != nullptr ? aggressor_of(books, t) : -1;
  books.collect_book_depth(book, 1, view);
  if (!view.bids.empty()) {
    q.bid = true;
    q.best_bid = view.bids[0];
  }
  if (!view.asks.empty()) {
    q.ask = true;
    q.best_ask = view.asks[0];
  }
  return q;
}

// A TradeQuote as a shard hands it over: flags, both prices, both
// quantities.
constexpr std::size_t kQuoteWords = 4;

void pack_quote(const TradeQuote& q, uint64_t* out) {
  out[0] = static_cast<uint64_t>(q.side + 1) | (uint64_t{q.bid} << 8) | (uint64_t{q.ask} << 9);
  out[1] = q.best_bid.price | (uint64_t{q.best_ask.price} << 32);
  out[2] = q.best_bid.quantity;
  out[3] = q.best_ask.quantity;
}

TradeQuote unpack_quote(const uint64_t* words) {
  TradeQuote q;
  q.side = static_cast<int>(words[0] & 0xFF) - 1;
  q.bid = (words[0] >> 8) & 1;
  q.ask = (words[0] >> 9) & 1;
  q.best_bid = DepthLevel{static_cast<uint32_t>(words[1]), words[2]};
  q.best_ask = DepthLevel{static_cast<uint32_t>(words[1] >> 32), words[3]};
  return q;
}

bool selected_trade(const FeedMessage& m, const RowSelection& rows) {
  return m.is_trade() && rows.token(book_key(m)) && rows.time(m.trade.exch_ts);
}

// The bars of a replay, per (interval start, token), built trade by trade.
class BarSet {
 public:
  struct Key {
    uint64_t start;
    uint32_t token;
    bool operator==(const Key&) const = default;
    bool operator<(const Key& o) const {
      return start != o.start ? start < o.start : token < o.token;
    }
  };
  struct KeyHash {
    std::size_t operator()(const Key& k) const {
      return static_cast<std::size_t>((k.start * 0x9E3779B97F4A7C15ull) ^ k.token);
    }
  };
  static constexpr int64_t kNoFile = -1;
  static constexpr int64_t kSeveralFiles = -2;
  struct Bar {
    int32_t open, high, low, close;
    int64_t volume = 0, buy_volume = 0, sell_volume = 0;
    uint64_t trades = 0;
    __int128 turnover = 0;
    int64_t file = kNoFile;  // the file of the bar's trades (kSeveralFiles: more than one)
  };
  using Map = std::unordered_map<Key, Bar, KeyHash>;

  explicit BarSet(uint64_t every_ns) : every_ns_(every_ns) {}

  // Adds trade t, whose aggressor is `side` (aggressor_of).
  void add(const TradeMessage& t, int side, int64_t file = kNoFile) {
    const Key key{t.exch_ts - t.exch_ts % every_ns_, static_cast<uint32_t>(t.token)};
    auto [it, inserted] = bars_.try_emplace(key);
    Bar& bar = it->second;
    if (inserted) {
      bar.file = file;
    } else if (bar.file != file) {
      bar.file = kSeveralFiles;
    }
    // Copies of the packed record's fields: std::max and std::min take
    // references, which must not point at a misaligned field.
    const int32_t price = t.trade_price;
    const int32_t traded = t.trade_quantity;
    if (inserted) bar.open = bar.high = bar.low = price;
    bar.high = std::max(bar.high, price);
    bar.low = std::min(bar.low, price);
    bar.close = price;
    const int64_t quantity = std::max<int32_t>(traded, 0);
    bar.volume += quantity;
    ++bar.trades;
    bar.turnover += static_cast<__int128>(price) * quantity;
    if (side == 0) bar.buy_volume += quantity;
    if (side == 1) bar.sell_volume += quantity;
  }

  const Map& bars() const { return bars_; }

 private:
  uint64_t every_ns_;
  Map bars_;
};

// One shard of trades or bars: the books of its tokens, and either a row
// per selected trade (its TradeQuote) or the bars of its tokens.
class TradeShard final : public ShardWorker {
 public:
  TradeShard(const TradeTableOptions& options, bool bars) : options_(options) {
    if (bars) bars_.emplace(options.every_ns);
  }

  void apply(const FeedMessage* messages, std::size_t count, ShardRows& out) override {
    books_.apply_messages(
        messages, count,
        [&](std::size_t i, const OrderBook* book) {
          const FeedMessage& m = messages[i];
          if (!selected_trade(m, options_.rows)) return;
          if (bars_) {
            bars_->add(m.trade, book != nullptr ? aggressor_of(books_, m.trade) : -1);
          } else {
            pack_quote(quote_before(books_, m.trade, book, view_), out.add(i));
          }
        },
        [](std::size_t, const OrderBook*) {});
  }

  const BarSet& bars() const { return *bars_; }

 private:
  const TradeTableOptions& options_;
  BookSet books_;
  DepthView view_;
  std::optional<BarSet> bars_;
};

// Starts a pool of `threads` threads over TradeShards of `engine`.
Result<std::unique_ptr<ShardPool>> start_trade_shards(ReplayEngine& engine,
                                                      const TradeTableOptions& options, bool bars) {
  std::vector<std::unique_ptr<ShardWorker>> workers;
  for (std::size_t k = 0; k < shard_count(options.threads); ++k) {
    workers.push_back(std::make_unique<TradeShard>(options, bars));
  }
  auto pool = std::make_unique<ShardPool>(engine, std::move(workers), 1 + kQuoteWords,
                                          8 * kQuoteWords, static_cast<std::size_t>(options.threads));
  Status s = pool->start();
  if (!s.ok()) return s;
  return pool;
}

// Applies the available messages, up to the point where `room` selected
// trades have been met, calling on_trade(trade, book, file) just before each
// selected trade is applied. Returns false when the replay is over.
template <class OnTrade>
bool replay_trades(ReplayEngine& engine, const RowSelection& rows, std::size_t room,
                   OnTrade&& on_trade) {
  const std::size_t available = engine.available();
  if (available == 0) return false;
  const FeedMessage* run = engine.messages();
  std::size_t n = 0;
  for (std::size_t trades = 0; n < available && trades < room; ++n) {
    if (selected_trade(run[n], rows)) ++trades;
  }
  engine.consume(n);
  engine.books().apply_messages(
      run, n,
      [&](std::size_t i, const OrderBook* book) {
        if (selected_trade(run[i], rows)) on_trade(run[i].trade, book, engine.file_of(run[i]));
      },
      [](std::size_t, const OrderBook*) {});
  return true;
}

class Trades final : public ReplayTable {
 public:
  enum Column : std::size_t {
    kSeqNo,
    kExchTs,
    kLocalTs,
    kToken,
    kBuyOrderId,
    kSellOrderId,
    kPrice,
    kQuantity,
    kAggressor,
    kBidPrice,
    kBidQty,
    kAskPrice,
    kAskQty
  };

  Trades(ReplayEngine::Inputs inputs, const TradeTableOptions& options)
      : ReplayTable(std::move(inputs), std::nullopt, trades_columns(options.file_column),
                    options.batch_rows, options.merge_by_time),
        options_(options) {
    options_.rows.prepare();
    // A trade's row reads only its own token's book, so the books of the
    // other tokens need not be kept.
    engine_.set_token_filter(options_.rows.tokens);
  }

  Status start() {
    Status s = engine_.start();
    if (!s.ok() || options_.threads <= 1) return s;
    auto pool = start_trade_shards(engine_, options_, false);
    if (!pool.ok()) return pool.status();
    pool_ = std::move(pool.value());
    return Status();
  }

 private:
  bool step() override {
    if (pool_ != nullptr) return write_shard_rows();
    // The batch loop calls this only while the batch has room.
    const std::size_t room = static_cast<std::size_t>(options_.batch_rows) - batch_.rows();
    return replay_trades(engine_, options_.rows, room,
                         [&](const TradeMessage& t, const OrderBook* book, std::size_t file) {
                           write(t, quote_before(engine_.books(), t, book, view_), file);
                         });
  }

  // Writes the rows of the chunks the shards are done with, in file order,
  // until the batch is full or a chunk's rows are out.
  bool write_shard_rows() {
    const FeedMessage* m = nullptr;
    const uint64_t* words = nullptr;
    while (!batch_.full()) {
      switch (pool_->next_row(m, words)) {
        case ShardPool::RowStep::kRow:
          write(m->trade, unpack_quote(words), pool_->row_file());
          break;
        case ShardPool::RowStep::kChunkDone:
          return true;
        case ShardPool::RowStep::kEnd:
          return false;
      }
    }
    return true;
  }

  void write(const TradeMessage& t, const TradeQuote& q, std::size_t file) {
    batch_.begin_row();
    batch_[kSeqNo].put<uint32_t>(t.header.seq_no);
    batch_[kExchTs].put<uint64_t>(t.exch_ts);
    batch_[kLocalTs].put<uint64_t>(t.local_ts);
    batch_[kToken].put<uint32_t>(static_cast<uint32_t>(t.token));
    batch_[kBuyOrderId].put<uint64_t>(t.buy_order_id);
    batch_[kSellOrderId].put<uint64_t>(t.sell_order_id);
    batch_[kPrice].put<int32_t>(t.trade_price);
    batch_[kQuantity].put<int32_t>(t.trade_quantity);
    if (q.side < 0) {
      batch_[kAggressor].put_null();
    } else {
      batch_[kAggressor].put<uint8_t>(static_cast<uint8_t>(q.side));
    }
    if (!q.bid) {
      batch_[kBidPrice].put_null();
      batch_[kBidQty].put_null();
    } else {
      batch_[kBidPrice].put<uint32_t>(q.best_bid.price);
      batch_[kBidQty].put<uint64_t>(q.best_bid.quantity);
    }
    if (!q.ask) {
      batch_[kAskPrice].put_null();
      batch_[kAskQty].put_null();
    } else {
      batch_[kAskPrice].put<uint32_t>(q.best_ask.price);
      batch_[kAskQty].put<uint64_t>(q.best_ask.quantity);
    }
    if (options_.file_column) batch_[kAskQty + 1].put<uint32_t>(static_cast<uint32_t>(file));
  }

  void before_finish() override { batch_.set_dictionary(kAggressor, kSideDictionary); }

  TradeTableOptions options_;
  DepthView view_;
  std::unique_ptr<ShardPool> pool_;  // over shards (threads > 1)
};

class Bars final : public ReplayTable {
 public:
  enum Column : std::size_t {
    kToken,
    kStart,
    kOpen,
    kHigh,
    kLow,
    kClose,
    kVolume,
    kTrades,
    kTurnover,
    kBuyVolume,
    kSellVolume
  };

  Bars(ReplayEngine::Inputs inputs, const TradeTableOptions& options)
      : ReplayTable(std::move(inputs), std::nullopt, bars_columns(options.file_column),
                    options.batch_rows, options.merge_by_time),
        options_(options) {
    options_.rows.prepare();
    // A bar counts trades of its own token only (the aggressor from that
    // token's book), so the books of the other tokens need not be kept.
    engine_.set_token_filter(options_.rows.tokens);
    // A shard sees its messages without their files, so bars that tell
    // their file are made on the reading thread.
    if (options_.file_column) options_.threads = 1;
  }

  Status start() {
    Status s = engine_.start();
    if (!s.ok() || options_.threads <= 1) return s;
    auto pool = start_trade_shards(engine_, options_, true);
    if (!pool.ok()) return pool.status();
    pool_ = std::move(pool.value());
    return Status();
  }

 private:
  using Key = BarSet::Key;
  using Bar = BarSet::Bar;

  bool step() override {
    if (!replayed_) {
      // Replays a chunk at a time: each call does a bounded amount of work.
      if (replay_chunk()) return true;
      replayed_ = true;
      if (engine_.failed()) return false;  // a failed replay gives no bars
      // Every shard is idle now; the shards' tokens are disjoint, so their
      // bars never share a key.
      std::vector<const BarSet*> sets = {&bars_};
      for (std::size_t k = 0; pool_ != nullptr && k < pool_->shards(); ++k) {
        sets.push_back(&static_cast<const TradeShard&>(pool_->worker(k)).bars());
      }
      std::size_t count = 0;
      for (const BarSet* set : sets) count += set->bars().size();
      order_.reserve(count);
      for (const BarSet* set : sets) {
        for (const auto& entry : set->bars()) order_.emplace_back(entry.first, &entry.second);
      }
      std::sort(order_.begin(), order_.end(),
                [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    if (next_ == order_.size()) return false;
    write(order_[next_].first, *order_[next_].second);
    ++next_;
    return true;
  }

  // Applies one chunk of messages (in the shards, when there are shards).
  // Returns false when the replay is over.
  bool replay_chunk() {
    if (pool_ != nullptr) {
      if (pool_->front() == nullptr) return false;
      pool_->pop();
      return true;
    }
    return replay_trades(engine_, options_.rows, std::size_t{1} << 20,
                         [&](const TradeMessage& t, const OrderBook* book, std::size_t file) {
                           bars_.add(t, book != nullptr ? aggressor_of(engine_.books(), t) : -1,
                                     static_cast<int64_t>(file));
                         });
  }

  void write(const Key& key, const Bar& bar) {
    batch_.begin_row();
    batch_[kToken].put<uint32_t>(key.token);
    batch_[kStart].put<uint64_t>(key.start);
    batch_[kOpen].put<int32_t>(bar.open);
    batch_[kHigh].put<int32_t>(bar.high);
    batch_[kLow].put<int32_t>(bar.low);
    batch_[kClose].put<int32_t>(bar.close);
    batch_[kVolume].put<int64_t>(bar.volume);
    batch_[kTrades].put<uint64_t>(bar.trades);
    batch_[kTurnover].put<__int128>(bar.turnover);
    batch_[kBuyVolume].put<int64_t>(bar.buy_volume);
    batch_[kSellVolume].put<int64_t>(bar.sell_volume);
    if (options_.file_column) {
      if (bar.file < 0) {
        batch_[kSellVolume + 1].put_null();
      } else {
        batch_[kSellVolume + 1].put<uint32_t>(static_cast<uint32_t>(bar.file));
      }
    }
  }

  TradeTableOptions options_;
  BarSet bars_{options_.every_ns};
  std::vector<std::pair<Key, const Bar*>> order_;
  std::size_t next_ = 0;
  bool replayed_ = false;
  std::unique_ptr<ShardPool> pool_;  // over shards (threads > 1)
};

template <class Table>
Result<std::unique_ptr<BatchSource>> open_table(ReplayEngine::Inputs inputs,
                                                const TradeTableOptions& options) {
  auto table = std::make_unique<Table>(std::move(inputs), options);
  Status s = table->start();
  if (!s.ok()) return s;
  return std::unique_ptr<BatchSource>(std::move(table));
}

}  // namespace

std::vector<ColumnSpec> trades_columns(bool file_column) {
  std::vector<ColumnSpec> columns = {
      {"seq_no", ColumnType::kUInt32},       {"exch_ts", ColumnType::kUInt64},
      {"local_ts", ColumnType::kUInt64},     {"token", ColumnType::kUInt32},
      {"buy_order_id", ColumnType::kUInt64}, {"sell_order_id", ColumnType::kUInt64},
      {"price", ColumnType::kInt32},         {"quantity", ColumnType::kInt32},
      {"aggressor", ColumnType::kDict8},     {"bid_price", ColumnType::kUInt32},
      {"bid_qty", ColumnType::kUInt64},      {"ask_price", ColumnType::kUInt32},
      {"ask_qty", ColumnType::kUInt64},
  };
  if (file_column) columns.push_back({"file", ColumnType::kUInt32});
  return columns;
}

std::vector<ColumnSpec> bars_columns(bool file_column) {
  std::vector<ColumnSpec> columns = {
      {"token", ColumnType::kUInt32},        {"start", ColumnType::kUInt64},
      {"open", ColumnType::kInt32},          {"high", ColumnType::kInt32},
      {"low", ColumnType::kInt32},           {"close", ColumnType::kInt32},
      {"volume", ColumnType::kInt64},        {"trades", ColumnType::kUInt64},
      {"turnover", ColumnType::kDecimal128}, {"buy_volume", ColumnType::kInt64},
      {"sell_volume", ColumnType::kInt64},
  };
  if (file_column) columns.push_back({"file", ColumnType::kUInt32});
  return columns;
}

Result<std::unique_ptr<BatchSource>> open_trades(ReplayEngine::Inputs inputs,
                                                 const TradeTableOptions& options) {
  return open_table<Trades>(std::move(inputs), options);
}

Result<std::unique_ptr<BatchSource>> open_bars(ReplayEngine::Inputs inputs,
                                               const TradeTableOptions& options) {
  return open_table<Bars>(std::move(inputs), options);
}

}  // namespace tidemark::arrow
