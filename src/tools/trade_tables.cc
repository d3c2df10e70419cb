#include "trade_tables.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

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

// Applies the available messages, up to the point where `room` selected
// trades have been met, calling on_trade(trade, book) just before each
// selected trade is applied. Returns false when the replay is over.
template <class OnTrade>
bool replay_trades(ReplayEngine& engine, const RowSelection& rows, std::size_t room,
                   OnTrade&& on_trade) {
  const std::size_t available = engine.available();
  if (available == 0) return false;
  const FeedMessage* run = engine.messages();
  std::size_t n = 0;
  for (std::size_t trades = 0; n < available && trades < room; ++n) {
    const FeedMessage& m = run[n];
    if (m.is_trade() && rows.token(book_key(m)) && rows.time(m.trade.exch_ts)) ++trades;
  }
  engine.consume(n);
  engine.books().apply_messages(
      run, n,
      [&](std::size_t i, const OrderBook* book) {
        const FeedMessage& m = run[i];
        if (m.is_trade() && rows.token(book_key(m)) && rows.time(m.trade.exch_ts)) {
          on_trade(m.trade, book);
        }
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
      : ReplayTable(std::move(inputs), std::nullopt, trades_columns(), options.batch_rows,
                    options.merge_by_time),
        options_(options) {
    options_.rows.prepare();
  }

  Status start() { return engine_.start(); }

 private:
  bool step() override {
    // The batch loop calls this only while the batch has room.
    const std::size_t room = static_cast<std::size_t>(options_.batch_rows) - batch_.rows();
    return replay_trades(engine_, options_.rows, room,
                         [&](const TradeMessage& t, const OrderBook* book) { write(t, book); });
  }

  void write(const TradeMessage& t, const OrderBook* book) {
    const BookSet& books = engine_.books();
    batch_.begin_row();
    batch_[kSeqNo].put<uint32_t>(t.header.seq_no);
    batch_[kExchTs].put<uint64_t>(t.exch_ts);
    batch_[kLocalTs].put<uint64_t>(t.local_ts);
    batch_[kToken].put<uint32_t>(static_cast<uint32_t>(t.token));
    batch_[kBuyOrderId].put<uint64_t>(t.buy_order_id);
    batch_[kSellOrderId].put<uint64_t>(t.sell_order_id);
    batch_[kPrice].put<int32_t>(t.trade_price);
    batch_[kQuantity].put<int32_t>(t.trade_quantity);
    const int side = book != nullptr ? aggressor_of(books, t) : -1;
    if (side < 0) {
      batch_[kAggressor].put_null();
    } else {
      batch_[kAggressor].put<uint8_t>(static_cast<uint8_t>(side));
    }
    books.collect_book_depth(book, 1, view_);
    if (view_.bids.empty()) {
      batch_[kBidPrice].put_null();
      batch_[kBidQty].put_null();
    } else {
      batch_[kBidPrice].put<uint32_t>(view_.bids[0].price);
      batch_[kBidQty].put<uint64_t>(view_.bids[0].quantity);
    }
    if (view_.asks.empty()) {
      batch_[kAskPrice].put_null();
      batch_[kAskQty].put_null();
    } else {
      batch_[kAskPrice].put<uint32_t>(view_.asks[0].price);
      batch_[kAskQty].put<uint64_t>(view_.asks[0].quantity);
    }
  }

  void before_finish() override { batch_.set_dictionary(kAggressor, kSideDictionary); }

  TradeTableOptions options_;
  DepthView view_;
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
      : ReplayTable(std::move(inputs), std::nullopt, bars_columns(), options.batch_rows,
                    options.merge_by_time),
        options_(options) {
    options_.rows.prepare();
  }

  Status start() { return engine_.start(); }

 private:
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
  struct Bar {
    int32_t open, high, low, close;
    int64_t volume = 0, buy_volume = 0, sell_volume = 0;
    uint64_t trades = 0;
    __int128 turnover = 0;
  };

  bool step() override {
    if (!replayed_) {
      // Replays a chunk at a time: each call does a bounded amount of work.
      const bool more =
          replay_trades(engine_, options_.rows, std::size_t{1} << 20,
                        [&](const TradeMessage& t, const OrderBook* book) { add(t, book); });
      if (more) return true;
      replayed_ = true;
      if (engine_.failed()) return false;  // a failed replay gives no bars
      order_.reserve(bars_.size());
      for (const auto& entry : bars_) order_.push_back(entry.first);
      std::sort(order_.begin(), order_.end());
    }
    if (next_ == order_.size()) return false;
    write(order_[next_], bars_.at(order_[next_]));
    ++next_;
    return true;
  }

  void add(const TradeMessage& t, const OrderBook* book) {
    const Key key{t.exch_ts - t.exch_ts % options_.every_ns, static_cast<uint32_t>(t.token)};
    auto [it, inserted] = bars_.try_emplace(key);
    Bar& bar = it->second;
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
    const int side = book != nullptr ? aggressor_of(engine_.books(), t) : -1;
    if (side == 0) bar.buy_volume += quantity;
    if (side == 1) bar.sell_volume += quantity;
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
  }

  TradeTableOptions options_;
  std::unordered_map<Key, Bar, KeyHash> bars_;
  std::vector<Key> order_;
  std::size_t next_ = 0;
  bool replayed_ = false;
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

std::vector<ColumnSpec> trades_columns() {
  return {
      {"seq_no", ColumnType::kUInt32},       {"exch_ts", ColumnType::kUInt64},
      {"local_ts", ColumnType::kUInt64},     {"token", ColumnType::kUInt32},
      {"buy_order_id", ColumnType::kUInt64}, {"sell_order_id", ColumnType::kUInt64},
      {"price", ColumnType::kInt32},         {"quantity", ColumnType::kInt32},
      {"aggressor", ColumnType::kDict8},     {"bid_price", ColumnType::kUInt32},
      {"bid_qty", ColumnType::kUInt64},      {"ask_price", ColumnType::kUInt32},
      {"ask_qty", ColumnType::kUInt64},
  };
}

std::vector<ColumnSpec> bars_columns() {
  return {
      {"token", ColumnType::kUInt32},        {"start", ColumnType::kUInt64},
      {"open", ColumnType::kInt32},          {"high", ColumnType::kInt32},
      {"low", ColumnType::kInt32},           {"close", ColumnType::kInt32},
      {"volume", ColumnType::kInt64},        {"trades", ColumnType::kUInt64},
      {"turnover", ColumnType::kDecimal128}, {"buy_volume", ColumnType::kInt64},
      {"sell_volume", ColumnType::kInt64},
  };
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
