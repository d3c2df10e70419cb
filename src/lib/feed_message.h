// Decoded order and trade messages of a tick-by-tick feed file.
//
// A feed file is a plain sequence of little-endian records, each starting
// with a 9-byte RecordHeader. Order records (types N, M, X) are 47 bytes,
// trade records (type T) 54 bytes. The structs below are packed so that their
// memory layout equals the file layout: decoding a record is one memcpy.
// FeedMessage values are plain values with no references into any buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tidemark {

inline constexpr std::size_t kHeaderSize = 9;
inline constexpr std::size_t kOrderRecordSize = 47;
inline constexpr std::size_t kTradeRecordSize = 54;

#pragma pack(push, 1)

struct RecordHeader {
  uint16_t msg_len;
  uint16_t stream_id;
  uint32_t seq_no;
  uint8_t msg_type;
};

struct OrderMessage {
  RecordHeader header;
  uint64_t exch_ts;
  uint64_t order_id;
  uint32_t token;
  uint8_t order_type;
  uint32_t price;
  uint32_t quantity;
  uint64_t local_ts;
  uint8_t flags;
};

struct TradeMessage {
  RecordHeader header;
  uint64_t exch_ts;
  uint64_t buy_order_id;
  uint64_t sell_order_id;
  int32_t token;
  int32_t trade_price;
  int32_t trade_quantity;
  uint64_t local_ts;
  uint8_t flags;
};

#pragma pack(pop)

static_assert(sizeof(RecordHeader) == kHeaderSize);
static_assert(sizeof(OrderMessage) == kOrderRecordSize);
static_assert(sizeof(TradeMessage) == kTradeRecordSize);

// Which record a message type byte names, and how long that record is.
enum class RecordKind : uint8_t { kOrder, kTrade, kUnknown };

inline constexpr RecordKind record_kind(uint8_t msg_type) {
  switch (msg_type) {
    case 'N':
    case 'M':
    case 'X':
      return RecordKind::kOrder;
    case 'T':
      return RecordKind::kTrade;
    default:
      return RecordKind::kUnknown;
  }
}

// One decoded order or trade message. The kind follows msg_type alone, so
// the header (shared by both layouts) tells which member is live.
struct FeedMessage {
  union {
    RecordHeader header;
    OrderMessage order;
    TradeMessage trade;
  };

  FeedMessage() : trade{} {}

  bool is_order() const { return record_kind(header.msg_type) == RecordKind::kOrder; }
  bool is_trade() const { return header.msg_type == 'T'; }

  // Copies a whole record of a known type; `bytes` must hold 47 bytes for an
  // order type and 54 for 'T'.
  static FeedMessage from_record(const uint8_t* bytes) {
    FeedMessage m;
    if (record_kind(bytes[8]) == RecordKind::kTrade) {
      std::memcpy(&m.trade, bytes, kTradeRecordSize);
    } else {
      std::memcpy(&m.order, bytes, kOrderRecordSize);
    }
    return m;
  }
};

static_assert(sizeof(FeedMessage) == kTradeRecordSize);

}  // namespace tidemark
