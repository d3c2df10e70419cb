#include "feed_scan.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "feed_decoder.h"
#include "feed_message.h"

namespace tidemark::arrow {

namespace {

// Column positions, in schema order.
enum Column : std::size_t {
  kMessageKind,
  kSeqNo,
  kMsgLen,
  kStreamId,
  kMsgType,
  kExchTs,
  kLocalTs,
  kOrderId,
  kBuyOrderId,
  kSellOrderId,
  kToken,
  kOrderType,
  kPrice,
  kQuantity,
  kTradePrice,
  kTradeQuantity,
  kFlags,
  kTokenSymbol,  // the contract columns, present with a contract table
  kStrikePrice,
  kOptionType,
  kExpiry,
  kLotSize,
  kName,
  kColumnCount
};

constexpr std::size_t kMessageColumns = kTokenSymbol;

// Messages decoded per step of a batch: enough to make the decoder's loop
// cheap, small enough to stay in cache before they are spread into columns.
constexpr std::size_t kChunkMessages = 4096;

class FeedScan final : public BatchSource {
 public:
  FeedScan(std::unique_ptr<FeedFile> file, std::shared_ptr<const ContractTable> contracts,
           uint64_t batch_rows)
      : file_(std::move(file)),
        contracts_(std::move(contracts)),
        columns_(feed_scan_columns(contracts_ != nullptr)),
        chunk_(kChunkMessages) {
    builders_.reserve(columns_.size());
    for (const ColumnSpec& c : columns_) builders_.emplace_back(c.type);
    // A string column of a batch holds at most kMaxBatchText bytes (its
    // offsets are 32-bit), so a batch is cut short where its longest rows
    // could pass that.
    std::size_t row_text = 5 + 2 + 2;  // message_kind, msg_type, order_type
    if (contracts_ != nullptr) {
      std::size_t longest = 0;
      for (const ContractInfo& c : contracts_->records()) {
        longest = std::max(longest,
                           c.symbol.size() + c.option_type.size() + c.expiry.size() + c.name.size());
      }
      row_text += longest;
    }
    batch_rows_ = std::max<uint64_t>(1, std::min<uint64_t>(batch_rows, kMaxBatchText / row_text));
  }

  const std::vector<ColumnSpec>& columns() const override { return columns_; }

  BatchStep next_batch(ArrowArray* out, std::string& error) override {
    if (failed_) {
      error = error_;
      return BatchStep::kError;
    }
    std::size_t rows = 0;
    while (!ended_ && rows < batch_rows_) {
      const std::size_t want = static_cast<std::size_t>(
          std::min<uint64_t>(kChunkMessages, batch_rows_ - rows));
      ReadStep last = ReadStep::kMessage;
      std::string text;
      const std::size_t n = read_messages(*file_, chunk_.data(), want, last, text);
      append(chunk_.data(), n);
      rows += n;
      if (last == ReadStep::kEnd) ended_ = true;
      if (last == ReadStep::kError) {
        // The rows before the error go out first; the next call fails.
        ended_ = failed_ = true;
        error_ = std::move(text);
      }
    }
    if (rows == 0) {
      if (!failed_) return BatchStep::kEnd;
      error = error_;
      return BatchStep::kError;
    }
    std::vector<ArrowArray> arrays(builders_.size());
    for (std::size_t i = 0; i < builders_.size(); ++i) builders_[i].finish(&arrays[i]);
    finish_batch(arrays, static_cast<int64_t>(rows), out);
    return BatchStep::kBatch;
  }

 private:
  void append(const FeedMessage* messages, std::size_t n) {
    for (ColumnBuilder& b : builders_) b.reserve(n, b.type() == ColumnType::kUtf8 ? n * 2 : 0);
    ColumnBuilder* c = builders_.data();
    for (std::size_t i = 0; i < n; ++i) {
      const FeedMessage& m = messages[i];
      const RecordHeader& h = m.header;
      uint32_t key;
      c[kSeqNo].put<uint32_t>(h.seq_no);
      c[kMsgLen].put<uint16_t>(h.msg_len);
      c[kStreamId].put<uint16_t>(h.stream_id);
      c[kMsgType].put_char(h.msg_type);
      if (m.is_trade()) {
        const TradeMessage& t = m.trade;
        c[kMessageKind].put_string("trade");
        c[kExchTs].put<uint64_t>(t.exch_ts);
        c[kLocalTs].put<uint64_t>(t.local_ts);
        c[kOrderId].put_null();
        c[kBuyOrderId].put<uint64_t>(t.buy_order_id);
        c[kSellOrderId].put<uint64_t>(t.sell_order_id);
        c[kToken].put<int64_t>(t.token);
        c[kOrderType].put_null();
        c[kPrice].put_null();
        c[kQuantity].put_null();
        c[kTradePrice].put<int32_t>(t.trade_price);
        c[kTradeQuantity].put<int32_t>(t.trade_quantity);
        c[kFlags].put_bool(t.flags != 0);
        key = static_cast<uint32_t>(t.token);
      } else {
        const OrderMessage& o = m.order;
        c[kMessageKind].put_string("order");
        c[kExchTs].put<uint64_t>(o.exch_ts);
        c[kLocalTs].put<uint64_t>(o.local_ts);
        c[kOrderId].put<uint64_t>(o.order_id);
        c[kBuyOrderId].put_null();
        c[kSellOrderId].put_null();
        c[kToken].put<int64_t>(o.token);
        c[kOrderType].put_char(o.order_type);
        c[kPrice].put<uint32_t>(o.price);
        c[kQuantity].put<uint32_t>(o.quantity);
        c[kTradePrice].put_null();
        c[kTradeQuantity].put_null();
        c[kFlags].put_bool(o.flags != 0);
        key = o.token;
      }
      if (contracts_ != nullptr) append_contract(c, contracts_->find(key));
    }
  }

  static void append_contract(ColumnBuilder* c, const ContractInfo* info) {
    if (info == nullptr) {
      for (std::size_t k = kTokenSymbol; k < kColumnCount; ++k) c[k].put_null();
      return;
    }
    c[kTokenSymbol].put_string(info->symbol);
    c[kStrikePrice].put<int64_t>(info->strike);
    c[kOptionType].put_string(info->option_type);
    c[kExpiry].put_string(info->expiry);
    c[kLotSize].put<uint32_t>(info->lot_size);
    c[kName].put_string(info->name);
  }

  std::unique_ptr<FeedFile> file_;
  std::shared_ptr<const ContractTable> contracts_;
  std::vector<ColumnSpec> columns_;
  std::vector<ColumnBuilder> builders_;
  std::vector<FeedMessage> chunk_;
  uint64_t batch_rows_ = 1;
  bool ended_ = false;
  bool failed_ = false;
  std::string error_;
};

}  // namespace

std::vector<ColumnSpec> feed_scan_columns(bool with_contracts) {
  std::vector<ColumnSpec> columns = {
      {"message_kind", ColumnType::kUtf8},   {"seq_no", ColumnType::kUInt32},
      {"msg_len", ColumnType::kUInt16},      {"stream_id", ColumnType::kUInt16},
      {"msg_type", ColumnType::kUtf8},       {"exch_ts", ColumnType::kUInt64},
      {"local_ts", ColumnType::kUInt64},     {"order_id", ColumnType::kUInt64},
      {"buy_order_id", ColumnType::kUInt64}, {"sell_order_id", ColumnType::kUInt64},
      {"token", ColumnType::kInt64},         {"order_type", ColumnType::kUtf8},
      {"price", ColumnType::kUInt32},        {"quantity", ColumnType::kUInt32},
      {"trade_price", ColumnType::kInt32},   {"trade_quantity", ColumnType::kInt32},
      {"flags", ColumnType::kBool},
  };
  if (with_contracts) {
    columns.insert(columns.end(), {
                                      {"token_symbol", ColumnType::kUtf8},
                                      {"strike_price", ColumnType::kInt64},
                                      {"option_type", ColumnType::kUtf8},
                                      {"expiry", ColumnType::kUtf8},
                                      {"lot_size", ColumnType::kUInt32},
                                      {"name", ColumnType::kUtf8},
                                  });
  }
  return columns;
}

Status check_feed(const std::string& path) {
  auto opened = FeedFile::open(path);
  if (!opened.ok()) return opened.status();
  return check_first_message(*opened.value());
}

Result<std::unique_ptr<BatchSource>> open_feed_scan(
    const std::string& path, std::shared_ptr<const ContractTable> contracts, uint64_t batch_rows) {
  auto opened = FeedFile::open(path);
  if (!opened.ok()) return opened.status();
  Status s = check_first_message(*opened.value());
  if (!s.ok()) return s;
  return std::unique_ptr<BatchSource>(
      new FeedScan(std::move(opened.value()), std::move(contracts), batch_rows));
}

}  // namespace tidemark::arrow
