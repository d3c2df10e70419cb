#include "feed_scan.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <string_view>
#include <utility>

#include "feed_decoder.h"
#include "feed_input.h"
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

// The string of the one character whose code point is `byte`, in UTF-8: how
// the message dicts show msg_type and order_type.
std::string latin1_char(uint8_t byte) {
  if (byte < 0x80) return std::string(1, static_cast<char>(byte));
  return {static_cast<char>(0xC0 | (byte >> 6)), static_cast<char>(0x80 | (byte & 0x3F))};
}

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
    std::fill(std::begin(order_type_slot_), std::end(order_type_slot_), int16_t{-1});
    builders_.reserve(columns_.size());
    for (const ColumnSpec& c : columns_) builders_.emplace_back(c.type);
    // A string column of a batch holds at most kMaxBatchText bytes (its
    // offsets are 32-bit), so a batch is cut short where its longest rows
    // could pass that.
    std::size_t row_text = 1;
    if (contracts_ != nullptr) {
      std::size_t longest = 0;
      for (const ContractInfo& c : contracts_->records()) {
        longest = std::max(
            longest, c.symbol.size() + c.option_type.size() + c.expiry.size() + c.name.size());
      }
      row_text += longest;
    }
    batch_rows_ = std::max<uint64_t>(1, std::min<uint64_t>(batch_rows, kMaxBatchText / row_text));
    batch_rows_ = batch_row_limit(columns_, batch_rows_, row_text - 1);
    first_rows_ = first_reserve_rows(columns_, batch_rows_, row_text - 1);
  }

  const std::vector<ColumnSpec>& columns() const override { return columns_; }

  BatchStep next_batch(ArrowArray* out, std::string& error) override {
    if (failed_) {
      error = error_;
      return BatchStep::kError;
    }
    std::size_t rows = 0;
    if (!ended_) {
      // Room for a whole batch up front (up to a bound, beyond which the
      // columns grow as they fill), so that filling it copies nothing.
      for (ColumnBuilder& b : builders_) {
        b.reserve(first_rows_, b.type() == ColumnType::kUtf8 ? first_rows_ * 8 : 0);
      }
    }
    while (!ended_ && rows < batch_rows_) {
      if (interrupted()) {
        ended_ = failed_ = true;
        error = error_ = kInterruptedText;
        return BatchStep::kError;
      }
      const std::size_t want =
          static_cast<std::size_t>(std::min<uint64_t>(kChunkMessages, batch_rows_ - rows));
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
    finish(rows, out);
    return BatchStep::kBatch;
  }

 private:
  // Spreads n decoded messages into the columns. The message columns are
  // written in bulk; which rows are null follows from the kind alone (order
  // columns are null on trade rows and the other way round), so one bitmap of
  // order rows per batch serves them all.
  void append(const FeedMessage* messages, std::size_t n) {
    for (ColumnBuilder& b : builders_) {
      b.reserve(n, b.type() == ColumnType::kUtf8 ? n * 8 : 0, batch_rows_);
    }
    const std::size_t base = builders_[0].length();
    order_rows_.resize(bitmap_bytes(base + n), 0);
    ColumnBuilder* c = builders_.data();
    uint8_t* kind = c[kMessageKind].values<uint8_t>();
    uint32_t* seq_no = c[kSeqNo].values<uint32_t>();
    uint16_t* msg_len = c[kMsgLen].values<uint16_t>();
    uint16_t* stream_id = c[kStreamId].values<uint16_t>();
    uint8_t* msg_type = c[kMsgType].values<uint8_t>();
    uint64_t* exch_ts = c[kExchTs].values<uint64_t>();
    uint64_t* local_ts = c[kLocalTs].values<uint64_t>();
    uint64_t* order_id = c[kOrderId].values<uint64_t>();
    uint64_t* buy_order_id = c[kBuyOrderId].values<uint64_t>();
    uint64_t* sell_order_id = c[kSellOrderId].values<uint64_t>();
    int64_t* token = c[kToken].values<int64_t>();
    uint8_t* order_type = c[kOrderType].values<uint8_t>();
    uint32_t* price = c[kPrice].values<uint32_t>();
    uint32_t* quantity = c[kQuantity].values<uint32_t>();
    int32_t* trade_price = c[kTradePrice].values<int32_t>();
    int32_t* trade_quantity = c[kTradeQuantity].values<int32_t>();
    uint8_t* flags = c[kFlags].bits();
    uint8_t* order_rows = order_rows_.data();
    for (std::size_t i = 0; i < n; ++i) {
      const FeedMessage& m = messages[i];
      const std::size_t row = base + i;
      seq_no[i] = m.header.seq_no;
      msg_len[i] = m.header.msg_len;
      stream_id[i] = m.header.stream_id;
      msg_type[i] = msg_type_index(m.header.msg_type);
      bool flag;
      if (m.is_trade()) {
        const TradeMessage& t = m.trade;
        kind[i] = 1;
        exch_ts[i] = t.exch_ts;
        local_ts[i] = t.local_ts;
        order_id[i] = 0;
        buy_order_id[i] = t.buy_order_id;
        sell_order_id[i] = t.sell_order_id;
        token[i] = t.token;
        order_type[i] = 0;
        price[i] = 0;
        quantity[i] = 0;
        trade_price[i] = t.trade_price;
        trade_quantity[i] = t.trade_quantity;
        flag = t.flags != 0;
      } else {
        const OrderMessage& o = m.order;
        kind[i] = 0;
        exch_ts[i] = o.exch_ts;
        local_ts[i] = o.local_ts;
        order_id[i] = o.order_id;
        buy_order_id[i] = 0;
        sell_order_id[i] = 0;
        token[i] = o.token;
        order_type[i] = order_type_index(o.order_type);
        price[i] = o.price;
        quantity[i] = o.quantity;
        trade_price[i] = 0;
        trade_quantity[i] = 0;
        flag = o.flags != 0;
        order_rows[row >> 3] |= static_cast<uint8_t>(1u << (row & 7));
        ++orders_;
      }
      flags[row >> 3] |= static_cast<uint8_t>(flag << (row & 7));
    }
    for (std::size_t k = 0; k < kMessageColumns; ++k) c[k].advance(n);
    if (contracts_ != nullptr) {
      for (std::size_t i = 0; i < n; ++i) {
        const FeedMessage& m = messages[i];
        const uint32_t key = m.is_trade() ? static_cast<uint32_t>(m.trade.token) : m.order.token;
        append_contract(c, contracts_->find(key));
      }
    }
  }

  // Returns the dictionary index of an order_type byte in this batch,
  // adding it to the batch's dictionary on first sight.
  uint8_t order_type_index(uint8_t byte) {
    int16_t& slot = order_type_slot_[byte];
    if (slot < 0) {
      slot = static_cast<int16_t>(order_types_.size());
      order_types_.push_back(latin1_char(byte));
    }
    return static_cast<uint8_t>(slot);
  }

  // Finishes the batch of `rows` rows into `out`.
  void finish(std::size_t rows, ArrowArray* out) {
    const std::size_t bytes = bitmap_bytes(rows);
    std::vector<uint8_t> trade_rows(bytes);
    for (std::size_t i = 0; i < bytes; ++i) trade_rows[i] = static_cast<uint8_t>(~order_rows_[i]);
    if (rows % 8 != 0) trade_rows[rows / 8] &= static_cast<uint8_t>((1u << (rows % 8)) - 1);
    const std::size_t trades = rows - orders_;
    ColumnBuilder* c = builders_.data();
    c[kMessageKind].set_dictionary({"order", "trade"});
    c[kMsgType].set_dictionary(kMsgTypeDictionary);
    c[kOrderType].set_dictionary(std::move(order_types_));
    std::vector<ArrowArray> arrays(builders_.size());
    for (std::size_t k = 0; k < builders_.size(); ++k) {
      switch (k) {
        case kOrderId:
        case kOrderType:
        case kPrice:
        case kQuantity:
          c[k].finish(&arrays[k], order_rows_.data(), trades);
          break;
        case kBuyOrderId:
        case kSellOrderId:
        case kTradePrice:
        case kTradeQuantity:
          c[k].finish(&arrays[k], trade_rows.data(), orders_);
          break;
        default:
          c[k].finish(&arrays[k]);
      }
    }
    finish_batch(arrays, static_cast<int64_t>(rows), out);
    order_rows_.clear();
    orders_ = 0;
    order_types_.clear();
    std::fill(std::begin(order_type_slot_), std::end(order_type_slot_), int16_t{-1});
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
  // The rows of the batch being built that hold an order, as a bitmap, and
  // their number.
  std::vector<uint8_t> order_rows_;
  std::size_t orders_ = 0;
  // The order_type dictionary of the batch, in order of first sight, and the
  // index of each byte in it (-1 when not seen yet).
  std::vector<std::string> order_types_;
  int16_t order_type_slot_[256];
  uint64_t batch_rows_ = 1;     // the most rows of a batch
  std::size_t first_rows_ = 1;  // rows reserved at the start of a batch
  bool ended_ = false;
  bool failed_ = false;
  std::string error_;
};

}  // namespace

const std::vector<std::string> kMsgTypeDictionary = {"N", "M", "X", "T"};

std::vector<ColumnSpec> feed_scan_columns(bool with_contracts) {
  std::vector<ColumnSpec> columns = {
      {"message_kind", ColumnType::kDict8},  {"seq_no", ColumnType::kUInt32},
      {"msg_len", ColumnType::kUInt16},      {"stream_id", ColumnType::kUInt16},
      {"msg_type", ColumnType::kDict8},      {"exch_ts", ColumnType::kUInt64},
      {"local_ts", ColumnType::kUInt64},     {"order_id", ColumnType::kUInt64},
      {"buy_order_id", ColumnType::kUInt64}, {"sell_order_id", ColumnType::kUInt64},
      {"token", ColumnType::kInt64},         {"order_type", ColumnType::kDict8},
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
  auto opened = input::open_input(path);
  if (!opened.ok()) return opened.status();
  return check_first_message(*opened.value().file);
}

Result<std::unique_ptr<BatchSource>> open_feed_scan(std::unique_ptr<FeedFile> file,
                                                    std::shared_ptr<const ContractTable> contracts,
                                                    uint64_t batch_rows) {
  Status s = check_first_message(*file);
  if (!s.ok()) return s;
  return std::unique_ptr<BatchSource>(
      new FeedScan(std::move(file), std::move(contracts), batch_rows));
}

}  // namespace tidemark::arrow
