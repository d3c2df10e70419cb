#include "feed_scan.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <limits>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "feed_decoder.h"
#include "feed_input.h"
#include "feed_message.h"
#include "merged_reader.h"

namespace tidemark::arrow {

namespace {

// Every column a scan can build, in the default order.
enum Column : uint8_t {
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
  kFile,  // the name of the file a row came from
  kColumnCount
};

constexpr std::array<const char*, kColumnCount> kColumnNames = {
    "message_kind", "seq_no",      "msg_len",      "stream_id",      "msg_type", "exch_ts",
    "local_ts",     "order_id",    "buy_order_id", "sell_order_id",  "token",    "order_type",
    "price",        "quantity",    "trade_price",  "trade_quantity", "flags",    "token_symbol",
    "strike_price", "option_type", "expiry",       "lot_size",       "name",     "file",
};

constexpr std::array<ColumnType, kColumnCount> kColumnTypes = {
    ColumnType::kDict8,  ColumnType::kUInt32, ColumnType::kUInt16, ColumnType::kUInt16,
    ColumnType::kDict8,  ColumnType::kUInt64, ColumnType::kUInt64, ColumnType::kUInt64,
    ColumnType::kUInt64, ColumnType::kUInt64, ColumnType::kInt64,  ColumnType::kDict8,
    ColumnType::kUInt32, ColumnType::kUInt32, ColumnType::kInt32,  ColumnType::kInt32,
    ColumnType::kBool,   ColumnType::kUtf8,   ColumnType::kInt64,  ColumnType::kUtf8,
    ColumnType::kUtf8,   ColumnType::kUInt32, ColumnType::kUtf8,   ColumnType::kDict8,
};

// Columns that hold a value on order rows only, and on trade rows only.
bool order_only(Column c) {
  return c == kOrderId || c == kOrderType || c == kPrice || c == kQuantity;
}
bool trade_only(Column c) {
  return c == kBuyOrderId || c == kSellOrderId || c == kTradePrice || c == kTradeQuantity;
}

// The name and type of column `c` under `options`.
ColumnSpec column_spec(Column c, const ScanOptions& options) {
  ColumnSpec spec{kColumnNames[c], kColumnTypes[c]};
  if ((c == kExchTs || c == kLocalTs) && !options.time_zone.empty()) {
    spec.type = ColumnType::kTimestampNs;
    spec.time_zone = options.time_zone;
  }
  if ((c == kPrice || c == kTradePrice) && options.price_scale >= 0) {
    spec.type = ColumnType::kDecimal128;
    spec.precision = 18;
    spec.scale = options.price_scale;
  }
  return spec;
}

// The columns a scan may build, in default order.
std::vector<Column> available_columns(const ScanOptions& options, bool several_files) {
  std::vector<Column> out;
  const std::size_t last = options.contracts != nullptr ? kFile : kTokenSymbol;
  for (std::size_t c = 0; c < last; ++c) out.push_back(static_cast<Column>(c));
  if (several_files) out.push_back(kFile);
  return out;
}

// Resolves the requested names to columns, or fails naming the valid ones.
Result<std::vector<Column>> chosen_columns(const ScanOptions& options, std::size_t files) {
  std::vector<Column> available = available_columns(options, files > 1);
  if (options.columns.empty()) return available;
  // `file` may be asked for by name with a single file too.
  if (files <= 1) available.push_back(kFile);
  std::vector<Column> out;
  for (const std::string& name : options.columns) {
    auto found = std::find_if(available.begin(), available.end(),
                              [&](Column c) { return name == kColumnNames[c]; });
    const bool repeated =
        found != available.end() && std::find(out.begin(), out.end(), *found) != out.end();
    if (found == available.end() || repeated) {
      std::string text = "argument 'columns': ";
      text +=
          repeated ? "column '" + name + "' is asked for twice" : "unknown column '" + name + "'";
      text += "; the columns are";
      for (std::size_t i = 0; i < available.size(); ++i) {
        text += (i == 0 ? " " : ", ");
        text += kColumnNames[available[i]];
      }
      return Status::error(std::move(text));
    }
    out.push_back(*found);
  }
  return out;
}

// The string of the one character whose code point is `byte`, in UTF-8: how
// the message dicts show msg_type and order_type.
std::string latin1_char(uint8_t byte) {
  if (byte < 0x80) return std::string(1, static_cast<char>(byte));
  return {static_cast<char>(0xC0 | (byte >> 6)), static_cast<char>(0x80 | (byte & 0x3F))};
}

// Messages decoded per step: enough to make the decoder's loop cheap, small
// enough to stay in cache before they are spread into columns.
constexpr std::size_t kChunkMessages = 4096;
// Records a filtered read frames at most per step, so that a filter that
// keeps little still comes back to ask whether to stop every few ms.
constexpr std::size_t kFramedPerStep = 1 << 18;
// The read buffer of a filtered scan: a system call per 1 MiB of the file
// instead of per 128 KiB (the default) costs noticeably less when most
// records are dropped.
constexpr std::size_t kFilteredReadBuffer = 1 << 20;

// A 16-byte decimal128 value: two's complement, low word first.
struct Decimal128 {
  uint64_t low;
  uint64_t high;
};
inline Decimal128 decimal(int64_t v) {
  return {static_cast<uint64_t>(v), v < 0 ? ~uint64_t{0} : 0};
}

inline uint64_t exch_ts_of(const FeedMessage& m) {
  return m.is_trade() ? m.trade.exch_ts : m.order.exch_ts;
}
inline uint64_t local_ts_of(const FeedMessage& m) {
  return m.is_trade() ? m.trade.local_ts : m.order.local_ts;
}
// The book key of a message: a trade's signed token read as unsigned.
inline uint32_t book_key(const FeedMessage& m) {
  return m.is_trade() ? static_cast<uint32_t>(m.trade.token) : m.order.token;
}

// The columns of an unfiltered scan that asks only for fixed-width message
// columns, written straight from each record as the framing passes over it:
// no copy of the message, no second pass, and the same few steps for every
// column rather than a jump by column type per row. A value is an 8-byte
// load at the field's offset in the record's kind, masked to the field's
// bytes (to none where that kind has no such field: the value under a
// null), sign-extended where the field is signed, mapped through a table
// for the dictionary columns, and stored at the column's width.
class DirectColumns {
 public:
  // Returns the fields of the columns `ids` under `options`, or nothing
  // when one of them cannot be written this way.
  static std::optional<DirectColumns> make(const std::vector<Column>& ids,
                                           const ScanOptions& options) {
    DirectColumns d;
    for (Column c : ids) {
      if ((c == kPrice || c == kTradePrice) && options.price_scale >= 0) return std::nullopt;
      // A timestamp column checks its values' range.
      if ((c == kExchTs || c == kLocalTs) && !options.time_zone.empty()) return std::nullopt;
      std::optional<Field> f = layout(c);
      if (!f) return std::nullopt;
      d.fields_.push_back(*f);
    }
    return d;
  }

  std::size_t size() const { return fields_.size(); }

  // The test given to read_messages_if, for kFixed columns (0: any number):
  // writes the row of each record it is shown (a whole record of a known
  // type, with a trade-sized window readable from it) and keeps none.
  template <std::size_t kFixed>
  struct Writer {
    const DirectColumns* d;
    std::size_t written = 0;  // rows
    std::size_t orders = 0;   // of them, order rows

    bool operator()(const uint8_t* record) {
      const std::size_t trade = record[8] == 'T';
      const std::size_t i = written++;
      const Field* f = d->fields_.data();
      const std::size_t n = kFixed != 0 ? kFixed : d->fields_.size();
      for (std::size_t k = 0; k < n; ++k) {
        uint64_t v;
        std::memcpy(&v, record + f[k].offset[trade], sizeof v);
        v &= f[k].mask[trade];
        const unsigned shift = f[k].shift[trade];
        v = static_cast<uint64_t>(static_cast<int64_t>(v << shift) >> shift);
        if (f[k].table != nullptr) v = f[k].table[v];
        // The same widths come in the same order on every row, so these
        // branches are foreseen.
        uint8_t* const out = f[k].out + (i << f[k].log_width);
        if (f[k].log_width == 3) {
          std::memcpy(out, &v, 8);
        } else if (f[k].log_width == 2) {
          const auto x = static_cast<uint32_t>(v);
          std::memcpy(out, &x, 4);
        } else if (f[k].log_width == 1) {
          const auto x = static_cast<uint16_t>(v);
          std::memcpy(out, &x, 2);
        } else {
          *out = static_cast<uint8_t>(v);
        }
      }
      if (d->order_rows_ != nullptr) {
        const std::size_t row = d->row_ + i;
        d->order_rows_[row >> 3] |= static_cast<uint8_t>((trade ^ 1) << (row & 7));
        orders += trade ^ 1;
      }
      return false;
    }
  };

  // Points column k's writes at the next row of `b`, its builder, which has
  // room for the rows to come.
  void aim(std::size_t k, ColumnBuilder& b) {
    Field& f = fields_[k];
    f.out = f.log_width == 0   ? b.values<uint8_t>()
            : f.log_width == 1 ? reinterpret_cast<uint8_t*>(b.values<uint16_t>())
            : f.log_width == 2 ? reinterpret_cast<uint8_t*>(b.values<uint32_t>())
                               : reinterpret_cast<uint8_t*>(b.values<uint64_t>());
  }
  // Points the order-row bitmap at `bits` (null: not kept), whose row 0 is
  // the batch's, and the next row at `row` of it.
  void aim_kinds(uint8_t* bits, std::size_t row) {
    order_rows_ = bits;
    row_ = row;
  }

 private:
  struct Field {
    uint8_t* out = nullptr;
    const uint8_t* table = nullptr;   // maps a type byte to a dictionary index
    std::array<uint64_t, 2> mask{};   // by kind (order, trade)
    std::array<uint8_t, 2> offset{};  // in the record, by kind
    std::array<uint8_t, 2> shift{};   // 64 - the bits of a signed field, else 0
    uint8_t log_width = 0;            // of a column value: 1 << log_width bytes
  };

  // A field of `bytes` bytes at `order` in an order record and `trade` in a
  // trade record (-1: not in that kind), stored in 1 << `log_width` bytes.
  static Field field(int order, int trade, unsigned bytes, unsigned log_width) {
    Field f;
    const uint64_t mask = bytes == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * bytes)) - 1;
    // An absent field reads at the other kind's offset (always within the
    // record's window) and keeps none of it.
    f.offset = {static_cast<uint8_t>(order >= 0 ? order : trade),
                static_cast<uint8_t>(trade >= 0 ? trade : order)};
    f.mask = {order >= 0 ? mask : 0, trade >= 0 ? mask : 0};
    f.log_width = static_cast<uint8_t>(log_width);
    return f;
  }

  static constexpr std::array<uint8_t, 256> kTypeIndex = [] {
    std::array<uint8_t, 256> t{};
    for (std::size_t b = 0; b < 256; ++b) t[b] = msg_type_index(static_cast<uint8_t>(b));
    return t;
  }();
  static constexpr std::array<uint8_t, 256> kKindIndex = [] {
    std::array<uint8_t, 256> t{};
    t['T'] = 1;
    return t;
  }();

  static std::optional<Field> layout(Column c) {
    using O = OrderMessage;
    using T = TradeMessage;
    constexpr int kType = offsetof(RecordHeader, msg_type);
    constexpr int kSeq = offsetof(RecordHeader, seq_no);
    constexpr int kStream = offsetof(RecordHeader, stream_id);
    switch (c) {
      case kMessageKind: {
        Field f = field(kType, kType, 1, 0);
        f.table = kKindIndex.data();
        return f;
      }
      case kMsgType: {
        Field f = field(kType, kType, 1, 0);
        f.table = kTypeIndex.data();
        return f;
      }
      case kSeqNo:
        return field(kSeq, kSeq, 4, 2);
      case kMsgLen:
        return field(0, 0, 2, 1);
      case kStreamId:
        return field(kStream, kStream, 2, 1);
      case kExchTs:
        return field(offsetof(O, exch_ts), offsetof(T, exch_ts), 8, 3);
      case kLocalTs:
        return field(offsetof(O, local_ts), offsetof(T, local_ts), 8, 3);
      case kOrderId:
        return field(offsetof(O, order_id), -1, 8, 3);
      case kBuyOrderId:
        return field(-1, offsetof(T, buy_order_id), 8, 3);
      case kSellOrderId:
        return field(-1, offsetof(T, sell_order_id), 8, 3);
      case kToken: {  // an order's unsigned token, a trade's signed one, as int64
        Field f = field(offsetof(O, token), offsetof(T, token), 4, 3);
        f.shift = {0, 32};
        return f;
      }
      case kPrice:
        return field(offsetof(O, price), -1, 4, 2);
      case kQuantity:
        return field(offsetof(O, quantity), -1, 4, 2);
      case kTradePrice:
        return field(-1, offsetof(T, trade_price), 4, 2);
      case kTradeQuantity:
        return field(-1, offsetof(T, trade_quantity), 4, 2);
      case kFile: {  // a batch holds one file's rows: its index 0
        Field f = field(0, 0, 1, 0);
        f.mask = {0, 0};
        return f;
      }
      default:  // flags (bits), order_type (a batch's own dictionary), contracts
        return std::nullopt;
    }
  }

  std::vector<Field> fields_;
  uint8_t* order_rows_ = nullptr;
  std::size_t row_ = 0;
};

// The filters of a scan, applied to records as stored (a decoded message's
// bytes are the record's bytes).
class RowFilter {
  enum TokenMode { kNoTokens, kOneToken, kFewTokens, kManyTokens };
  template <TokenMode kTokens, bool kTime, bool kTypes>
  struct Test;

 public:
  explicit RowFilter(const ScanOptions& o) {
    types_.fill(true);
    if (o.tokens) {
      tokens_ = *o.tokens;
      std::sort(tokens_.begin(), tokens_.end());
      tokens_.erase(std::unique(tokens_.begin(), tokens_.end()), tokens_.end());
      by_token_ = true;
    }
    if (o.types) {
      types_.fill(false);
      for (char t : *o.types) types_[static_cast<uint8_t>(t)] = true;
      by_type_ = true;
    }
    // start <= exch_ts < end as one unsigned comparison: exch_ts - start <=
    // last. An empty range keeps no type at all.
    start_ = o.start.value_or(0);
    last_ = std::numeric_limits<uint64_t>::max() - start_;
    if (o.end) {
      if (*o.end <= start_) {
        types_.fill(false);
        by_type_ = true;
      } else {
        last_ = *o.end - start_ - 1;
      }
    }
    by_time_ = o.start.has_value() || o.end.has_value();
  }

  bool any() const { return by_token_ || by_type_ || by_time_; }

  // Calls f with the test for token mode kTokens and the other filters.
  template <TokenMode kTokens, class F>
  decltype(auto) with_keep_tokens(F& f) const {
    const uint32_t one = tokens_.empty() ? 0 : tokens_[0];
    if (by_time_) {
      return by_type_ ? f(Test<kTokens, true, true>{this, one})
                      : f(Test<kTokens, true, false>{this, one});
    }
    return by_type_ ? f(Test<kTokens, false, true>{this, one})
                    : f(Test<kTokens, false, false>{this, one});
  }

  // Calls f with the test of a record's bytes, made for the filters in use
  // so that the test of each record does only what they need.
  template <class F>
  decltype(auto) with_keep(F&& f) const {
    if (!by_token_) return with_keep_tokens<kNoTokens>(f);
    if (tokens_.size() == 1) return with_keep_tokens<kOneToken>(f);
    if (tokens_.size() <= 16) return with_keep_tokens<kFewTokens>(f);
    return with_keep_tokens<kManyTokens>(f);
  }

  bool keep(const FeedMessage& m) const {
    return with_keep([&](auto keep) { return keep(reinterpret_cast<const uint8_t*>(&m)); });
  }

  // Moves the kept messages of `m[0..n)` to its front, and with `files`
  // their file indices alongside; returns their number.
  std::size_t compact(FeedMessage* m, std::size_t n, uint32_t* files = nullptr) const {
    if (!any()) return n;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (keep(m[i])) {
        if (kept != i) {
          m[kept] = m[i];
          if (files != nullptr) files[kept] = files[i];
        }
        ++kept;
      }
    }
    return kept;
  }

 private:
  template <TokenMode kTokens, bool kTime, bool kTypes>
  struct Test {
    const RowFilter* filter;
    // The one token, held here so that the test of each record does not
    // load it through the filter (whose memory the copies of kept records
    // might alias, as far as the compiler knows).
    uint32_t token;
    bool operator()(const uint8_t* record) const {
      return filter->test<kTokens, kTime, kTypes>(record, token);
    }
  };

  template <TokenMode kTokens, bool kTime, bool kTypes>
  bool test(const uint8_t* record, uint32_t one_token) const {
    const uint8_t type = record[8];
    if constexpr (kTypes) {
      if (!types_[type]) return false;
    }
    if constexpr (kTime) {
      uint64_t ts;  // at the same place in both kinds of record
      std::memcpy(&ts, record + offsetof(OrderMessage, exch_ts), sizeof ts);
      if (ts - start_ > last_) return false;
    }
    if constexpr (kTokens != kNoTokens) {
      // The token's place depends on the kind; choosing the offset rather
      // than branching keeps the test free of mispredicted jumps.
      uint32_t key;
      const std::size_t at =
          type == 'T' ? offsetof(TradeMessage, token) : offsetof(OrderMessage, token);
      std::memcpy(&key, record + at, sizeof key);
      if constexpr (kTokens == kOneToken) return key == one_token;
      if constexpr (kTokens == kFewTokens) {
        bool found = false;
        for (uint32_t t : tokens_) found |= t == key;
        return found;
      }
      if constexpr (kTokens == kManyTokens) {
        return std::binary_search(tokens_.begin(), tokens_.end(), key);
      }
    }
    return true;
  }

  std::vector<uint32_t> tokens_;
  std::array<bool, 256> types_{};
  uint64_t start_ = 0;
  uint64_t last_ = 0;
  bool by_token_ = false;
  bool by_type_ = false;
  bool by_time_ = false;
};

// A filtered scan of a large regular file, read as two halves at once: the
// calling thread frames the first half while a thread of its own frames the
// second, each reading its own bytes with read(2) into its own buffer (so
// neither copies into memory the other core holds). With two cores this
// nearly halves the time of a scan that keeps few rows.
//
// Where the second half starts (the cut) is a guess: a place near the middle
// where a run of records of the known types follows. It is used only once the
// first half, read as a file that ends at the cut, ends there cleanly: then a
// record starts exactly at the cut, and the second half's messages are the
// ones a reading from the start would give. Otherwise (a record overlaps the
// cut, or the first half fails or ends early, as when the file shrank) the
// second half's work is dropped and the first half's last step is read again
// from the whole file, so every row and error is that of a plain reading.
//
// The file is read, never mapped: a file shortened under a mapping kills the
// process with SIGBUS, while read(2) just ends early.
class SplitRead {
 public:
  // Files smaller than this are read in one piece.
  static constexpr uint64_t kMinSize = 32 << 20;
  // Messages the second half keeps at most before the first half is done
  // (past them it stops, and the rest is framed after the first half): about
  // a quarter of the records of the second half, so that a filter keeping a
  // tenth of the messages (one type, say) reads the whole second half at
  // once, within bounds that keep the held messages to tens of megabytes.
  static constexpr std::size_t kMinHeld = 1 << 16;
  static constexpr std::size_t kMaxHeld = 1 << 20;
  static constexpr std::size_t kHeldPerBytes = 4 * kTradeRecordSize;

  // Opens `path` for a split reading, or returns null when it is not a
  // large regular file, no cut is found, or the thread cannot start; the
  // caller then reads it in one piece. `keep` is the filter's test.
  template <class Keep>
  static std::unique_ptr<SplitRead> open(const std::string& path, const Keep& keep) {
    try {
      std::unique_ptr<SplitRead> split(new SplitRead(path));
      if (!split->find_cut()) return nullptr;
      split->thread_ = std::thread([s = split.get(), keep] { s->read_tail(keep); });
      return split;
    } catch (const std::bad_alloc&) {
      return nullptr;
    } catch (const std::system_error&) {
      return nullptr;
    }
  }

  ~SplitRead() {
    stop_tail();
    if (spare_fd_ >= 0) ::close(spare_fd_);
  }
  SplitRead(const SplitRead&) = delete;
  SplitRead& operator=(const SplitRead&) = delete;

  // Reads on as read_messages_if does over the whole file.
  template <class Keep>
  std::size_t read_if(FeedMessage* out, std::size_t max, std::size_t budget, Keep&& keep,
                      ReadStep& last, std::string& error) {
    if (phase_ == kHead) {
      const uint64_t before = head_->position();
      const std::size_t n = read_messages_if(*head_, out, max, budget, keep, last, error);
      if (last == ReadStep::kMessage) return n;
      stop_tail();
      if (last == ReadStep::kEnd && head_->position() == cut_ && !tail_broken_) {
        // A record starts at the cut: the second half goes on from here.
        head_.reset();
        phase_ = kHeld;
        last = ReadStep::kMessage;
        return n;
      }
      // The guess was wrong or the first half did not read to the cut:
      // this step again, from where it began, with a descriptor of its own
      // opened with the others (so a file removed since is still read).
      head_.reset();
      tail_.reset();
      held_.clear();
      phase_ = kRest;
      if (::lseek(spare_fd_, static_cast<off_t>(before), SEEK_SET) < 0) {
        error = os_error_text(errno);
        last = ReadStep::kError;
        return 0;
      }
      tail_ = FeedFile::over(std::make_unique<FdReader>(std::exchange(spare_fd_, -1)),
                             kFilteredReadBuffer);
    }
    if (phase_ == kHeld) {
      const std::size_t n = std::min(max, held_.size() - handed_);
      std::copy_n(held_.data() + handed_, n, out);
      handed_ += n;
      last = ReadStep::kMessage;
      if (handed_ < held_.size()) return n;
      held_ = {};
      phase_ = kRest;
      if (tail_step_ != ReadStep::kMessage) {
        // The second half ended where it was read: that ending comes now.
        phase_ = kDone;
        if (n > 0) return n;
        last = tail_step_;
        error = tail_error_;
        return 0;
      }
      if (n > 0) return n;
    }
    if (phase_ == kDone) {
      last = tail_step_;
      error = tail_error_;
      return 0;
    }
    return read_messages_if(*tail_, out, max, budget, keep, last, error);
  }

 private:
  explicit SplitRead(std::string path) : path_(std::move(path)) {}

  // Opens the file twice (a descriptor per half) and looks for the cut: the
  // first place after the middle from which framing finds kChain records of
  // known types in a row (padding and short records of other types between
  // them allowed). False when the file is small, not regular, or has no
  // such place near its middle.
  bool find_cut() {
    int fd;
    do {
      fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    auto tail_reader = std::make_unique<FdReader>(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) < kMinSize) {
      return false;
    }
    // The framing's own steps (padding, records of other types) are taken
    // on the way, so a run need not be of known records only.
    constexpr std::size_t kLook = 1 << 16;
    constexpr std::size_t kChain = 64;
    constexpr std::size_t kLongestSkip = 4096;
    std::vector<uint8_t> bytes(2 * kLook);
    const uint64_t middle = static_cast<uint64_t>(st.st_size) / 2;
    const ssize_t got = ::pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(middle));
    if (got != static_cast<ssize_t>(bytes.size())) return false;
    const std::size_t room = bytes.size() - kTradeRecordSize;
    std::size_t at = 0;
    for (; at < kLook; ++at) {
      if (bytes[at] == ' ' || kRecordLength[bytes[at + 8]] == 0) continue;
      std::size_t p = at;
      std::size_t chained = 0;
      while (chained < kChain && p < room) {
        if (bytes[p] == ' ') {
          ++p;
          continue;
        }
        const std::size_t length = kRecordLength[bytes[p + 8]];
        if (length == 0) {
          const std::size_t msg_len = bytes[p] | (bytes[p + 1] << 8);
          const std::size_t skip = std::max(msg_len, kHeaderSize);
          if (skip > kLongestSkip) break;
          p += skip;
          continue;
        }
        p += length;
        ++chained;
      }
      if (chained == kChain) break;
    }
    if (at == kLook) return false;
    cut_ = middle + at;
    max_held_ = std::clamp<std::size_t>(
        static_cast<std::size_t>((static_cast<uint64_t>(st.st_size) - cut_) / kHeldPerBytes),
        kMinHeld, kMaxHeld);
    if (::lseek(fd, static_cast<off_t>(cut_), SEEK_SET) < 0) return false;
    tail_ = FeedFile::over(std::move(tail_reader), kFilteredReadBuffer);

    int head_fd;
    do {
      head_fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (head_fd < 0 && errno == EINTR);
    if (head_fd < 0) return false;
    head_ = FeedFile::over(std::make_unique<PrefixReader>(head_fd, cut_), kFilteredReadBuffer);
    do {
      spare_fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (spare_fd_ < 0 && errno == EINTR);
    return spare_fd_ >= 0;
  }

  // The second half, on its own thread: frames from the cut and holds what
  // the filter keeps, until it ends, holds max_held_ messages, or is stopped.
  template <class Keep>
  void read_tail(const Keep& keep) {
    try {
      std::vector<FeedMessage> chunk(kChunkMessages);
      // Address space for every message it may hold: only the pages used
      // are backed, and the held messages are never copied to grow.
      held_.reserve(max_held_);
      while (!stop_.load(std::memory_order_relaxed)) {
        ReadStep step = ReadStep::kMessage;
        std::string error;
        const std::size_t n = read_messages_if(*tail_, chunk.data(), kChunkMessages,
                                               kTailStep, keep, step, error);
        held_.insert(held_.end(), chunk.begin(), chunk.begin() + n);
        if (step != ReadStep::kMessage) {
          tail_step_ = step;
          tail_error_ = std::move(error);
          return;
        }
        if (held_.size() >= max_held_) return;
      }
    } catch (const std::bad_alloc&) {
      tail_broken_ = true;  // the first half then reads the whole file
    }
  }

  // Stops the second half's thread (after its current step) and waits.
  void stop_tail() {
    stop_.store(true, std::memory_order_relaxed);
    if (thread_.joinable()) thread_.join();
  }

  // The first `limit` bytes of a descriptor: the first half ends at the cut.
  class PrefixReader final : public ByteReader {
   public:
    PrefixReader(int fd, uint64_t limit) : inner_(fd), left_(limit) {}
    std::ptrdiff_t read(uint8_t* buf, std::size_t n, std::string& error) override {
      if (left_ == 0) return 0;
      const std::ptrdiff_t got = inner_.read(buf, std::min<uint64_t>(n, left_), error);
      if (got > 0) left_ -= static_cast<uint64_t>(got);
      return got;
    }
    Status seek(uint64_t) override { return Status::error("the first half cannot seek"); }

   private:
    FdReader inner_;
    uint64_t left_;
  };

  // Records the second half frames between looks at whether to stop.
  static constexpr std::size_t kTailStep = 1 << 16;

  enum Phase {
    kHead,  // the first half, while the second is read
    kHeld,  // the second half's held messages
    kRest,  // the rest of the file, read here
    kDone,  // the second half's ending, handed out
  };
  std::string path_;
  uint64_t cut_ = 0;
  // The most messages the second half holds (set by find_cut).
  std::size_t max_held_ = kMinHeld;
  std::unique_ptr<FeedFile> head_;  // the first half: the file up to the cut
  std::unique_ptr<FeedFile> tail_;  // from the cut on (or the whole file)
  int spare_fd_ = -1;               // for reading the whole file after all
  Phase phase_ = kHead;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  // Written by the thread, read here only after it was joined.
  std::vector<FeedMessage> held_;
  std::size_t handed_ = 0;  // of held_, already handed out
  ReadStep tail_step_ = ReadStep::kMessage;
  std::string tail_error_;
  bool tail_broken_ = false;
};

class FeedScan final : public BatchSource {
 public:
  FeedScan(std::vector<ScanFile> files, std::vector<std::unique_ptr<FeedFile>> opened,
           ScanOptions options, std::vector<Column> ids)
      : files_(std::move(files)),
        file_(std::move(opened.front())),
        options_(std::move(options)),
        filter_(options_),
        ids_(std::move(ids)),
        chunk_(kChunkMessages) {
    std::fill(std::begin(order_type_slot_), std::end(order_type_slot_), int16_t{-1});
    if (options_.merge_by_time) {
      opened.front() = std::move(file_);
      merged_ = std::make_unique<MergedReader>(std::move(opened));
      row_files_.resize(kChunkMessages);
    } else {
      start_split();
    }
    columns_.reserve(ids_.size());
    builders_.reserve(ids_.size());
    for (Column c : ids_) {
      columns_.push_back(column_spec(c, options_));
      builders_.emplace_back(columns_.back().type);
      if (order_only(c) || trade_only(c)) need_kinds_ = true;
      if (c >= kTokenSymbol && c <= kName) need_contracts_ = true;
      if (!options_.time_zone.empty() && (c == kExchTs || c == kLocalTs)) check_ts_ = true;
    }
    if (options_.contracts == nullptr) need_contracts_ = false;
    if (!filter_.any() && merged_ == nullptr) direct_ = DirectColumns::make(ids_, options_);
    limit_left_ = options_.limit.value_or(std::numeric_limits<uint64_t>::max());
    // A limit of no rows (also how an empty time range arrives) reads
    // nothing: whether it met an error must not depend on what the first
    // read happened to keep.
    if (limit_left_ == 0) ended_ = true;
    // A string column of a batch holds at most kMaxBatchText bytes (its
    // offsets are 32-bit), so a batch is cut short where its longest rows
    // could pass that.
    std::size_t row_text = 1;
    if (need_contracts_) {
      std::size_t longest = 0;
      auto measure = [&](const ContractTable& table) {
        for (const ContractInfo& c : table.records()) {
          longest = std::max(
              longest, c.symbol.size() + c.option_type.size() + c.expiry.size() + c.name.size());
        }
      };
      measure(*options_.contracts);
      for (const auto& table : options_.file_contracts) {
        if (table != nullptr) measure(*table);
      }
      row_text += longest;
    }
    batch_rows_ =
        std::max<uint64_t>(1, std::min<uint64_t>(options_.batch_rows, kMaxBatchText / row_text));
    batch_rows_ = batch_row_limit(columns_, batch_rows_, row_text - 1);
    first_rows_ = first_reserve_rows(columns_, batch_rows_, row_text - 1);
  }

  // The second half of a split reading tests rows with filter_: it stops
  // before the filter goes.
  ~FeedScan() override { split_.reset(); }
  FeedScan(const FeedScan&) = delete;
  FeedScan& operator=(const FeedScan&) = delete;

  const std::vector<ColumnSpec>& columns() const override { return columns_; }
  void set_flush_clock(std::shared_ptr<input::FlushClock> clock) {
    if (merged_ != nullptr) merged_->set_flush_clock(clock);
    clock_ = std::move(clock);
  }

  BatchStep next_batch(ArrowArray* out, std::string& error) override {
    std::size_t rows = 0;
    if (!ended_ && !filter_.any() && !options_.limit) {
      // Room for a batch up front (up to a bound, beyond which the columns
      // grow as they fill), so that filling it copies little. A filtered
      // scan grows its columns as rows are kept instead.
      for (ColumnBuilder& b : builders_) {
        b.reserve(first_rows_, b.type() == ColumnType::kUtf8 ? first_rows_ * 8 : 0, batch_rows_);
      }
    }
    batch_file_ = file_index_;
    while (!ended_ && rows < batch_rows_) {
      if (interrupted()) {
        ended_ = failed_ = true;
        error = error_ = kInterruptedText;
        return BatchStep::kError;
      }
      if (pos_ == count_ && merged_ != nullptr) {
        if (step_ == ReadStep::kError) {
          ended_ = failed_ = true;
          error_ = std::move(step_error_);  // named by merge()
          break;
        }
        if (step_ == ReadStep::kEnd) {
          ended_ = true;
          break;
        }
        if (std::exchange(merge_paused_, false)) {
          // A followed file paused: hand out the rows there are, then read on.
          if (rows > 0) break;
          continue;
        }
        merge();
        count_ = filter_.compact(chunk_.data(), count_, row_files_.data());
        pos_ = 0;
        continue;
      }
      if (pos_ == count_) {
        // The chunk is used up: what ended it comes now, else decode more.
        if (step_ == ReadStep::kError) {
          fail(std::move(step_error_));
          break;
        }
        if (step_ == ReadStep::kEnd && file_->take_pause()) {
          // A followed file that did not grow for a while: hand out the
          // rows there are, then read on.
          step_ = ReadStep::kMessage;
          if (rows > 0) break;
          continue;
        }
        if (step_ == ReadStep::kEnd) {
          // A batch holds the rows of one file: the next file starts the next.
          if (!next_file()) break;
          if (rows > 0) break;
          batch_file_ = file_index_;
          continue;
        }
        if (direct_) {
          const std::size_t step = direct_step(rows);
          rows += step;
          limit_left_ -= step;
          if (limit_left_ == 0) ended_ = true;
          continue;
        }
        if (split_ != nullptr) {
          count_ = filter_.with_keep([&](auto keep) {
            return split_->read_if(chunk_.data(), kChunkMessages, kFramedPerStep, keep, step_,
                                   step_error_);
          });
        } else if (filter_.any()) {
          // Dropped records are framed where they lie and never copied; with
          // framing this cheap the reads themselves weigh, so they are large.
          file_->grow_buffer(kFilteredReadBuffer);
          count_ = filter_.with_keep([&](auto keep) {
            return read_messages_if(*file_, chunk_.data(), kChunkMessages, kFramedPerStep, keep,
                                    step_, step_error_);
          });
        } else {
          count_ = read_messages(*file_, chunk_.data(), kChunkMessages, step_, step_error_);
        }
        pos_ = 0;
        continue;
      }
      std::size_t take = static_cast<std::size_t>(
          std::min<uint64_t>({count_ - pos_, batch_rows_ - rows, limit_left_}));
      if (check_ts_) take = checked_timestamps(chunk_.data() + pos_, take);
      append_files_ = merged_ == nullptr ? nullptr : row_files_.data() + pos_;
      append(chunk_.data() + pos_, take, rows);
      if (rows == 0 && take > 0) clock_->arm();  // the batch's first rows
      pos_ += take;
      rows += take;
      limit_left_ -= take;
      if (limit_left_ == 0) ended_ = true;
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
  // Fills chunk_ (and row_files_) with the next messages of the merge by
  // exch_ts, before the filters; sets step_ to kEnd when every file has
  // ended, or to kError (named) when a file fails where its next head was
  // needed.
  void merge() {
    count_ = merged_->read(chunk_.data(), row_files_.data(), kChunkMessages);
    merge_paused_ = merged_->take_pause();
    if (merged_->step() == ReadStep::kError) {
      step_ = ReadStep::kError;
      file_index_ = merged_->failed_file();
      step_error_ = named(merged_->error());
    } else if (merged_->step() == ReadStep::kEnd) {
      step_ = ReadStep::kEnd;
    }
  }

  // Error texts name the file when the scan has several.
  std::string named(std::string_view text) const {
    if (files_.size() <= 1) return std::string(text);
    return files_[file_index_].name + ": " + std::string(text);
  }

  // Ends the scan with `text` (named); the rows before it go out first.
  void fail(std::string text) {
    ended_ = failed_ = true;
    error_ = named(text);
  }

  // Moves on to the next file. Returns false when there is none (the scan
  // has ended) or it cannot be opened (the scan has failed).
  bool next_file() {
    split_.reset();
    file_.reset();
    if (file_index_ + 1 >= files_.size()) {
      ended_ = true;
      return false;
    }
    ++file_index_;
    step_ = ReadStep::kMessage;
    count_ = pos_ = 0;
    auto opened = files_[file_index_].input->take(clock_);
    Status s = opened.ok() ? check_first_message(*opened.value()) : opened.status();
    if (!s.ok()) {
      fail(s.text());
      return false;
    }
    file_ = std::move(opened.value());
    start_split();
    return true;
  }

  // A filtered scan reads a large regular file in two halves at once
  // (SplitRead) when it may: not followed, not decompressed. Otherwise, or
  // when the thread cannot start, file_ reads it in one piece.
  void start_split() {
    const ScanFile& f = files_[file_index_];
    if (!filter_.any() || !f.split || f.input == nullptr ||
        f.input->kind() != input::Kind::kFile) {
      return;
    }
    const std::string& path = f.input->path();
    if (input::compressed_path(path)) return;
    // On one core the halves would only take turns.
    cpu_set_t cpus;
    if (::sched_getaffinity(0, sizeof cpus, &cpus) != 0 || CPU_COUNT(&cpus) < 2) return;
    split_ = filter_.with_keep([&](auto keep) { return SplitRead::open(path, keep); });
  }

  // Frames the next records of the file straight into the columns, as rows
  // `base` on of the batch: at most the batch's room, the rows left under
  // the limit, and kFramedPerStep. Sets step_ as a decoding step does and
  // returns the number of rows written.
  std::size_t direct_step(std::size_t base) {
    const std::size_t room = static_cast<std::size_t>(
        std::min<uint64_t>({batch_rows_ - base, limit_left_, kFramedPerStep}));
    DirectColumns& d = *direct_;
    for (std::size_t k = 0; k < builders_.size(); ++k) {
      ColumnBuilder& b = builders_[k];
      b.reserve(room, 0, batch_rows_);
      d.aim(k, b);
    }
    if (need_kinds_) {
      order_rows_.resize(bitmap_bytes(base + room), 0);
      d.aim_kinds(order_rows_.data(), base);
    }
    // Framing is as cheap as when a filter drops most records, so the reads
    // are as large (kFilteredReadBuffer).
    file_->grow_buffer(kFilteredReadBuffer);
    auto frame = [&](auto writer) {
      // The writer keeps no record, so chunk_ is never written.
      read_messages_if(*file_, chunk_.data(), kChunkMessages, room, writer, step_, step_error_);
      return std::pair(writer.written, writer.orders);
    };
    // One to four columns: the loop over them unrolled.
    const auto [n, orders] = d.size() == 1   ? frame(DirectColumns::Writer<1>{&d})
                             : d.size() == 2 ? frame(DirectColumns::Writer<2>{&d})
                             : d.size() == 3 ? frame(DirectColumns::Writer<3>{&d})
                             : d.size() == 4 ? frame(DirectColumns::Writer<4>{&d})
                                             : frame(DirectColumns::Writer<0>{&d});
    for (ColumnBuilder& b : builders_) b.advance(n);
    orders_ += orders;
    if (base == 0 && n > 0) clock_->arm();  // the batch's first rows
    return n;
  }

  // Returns how many of the first `n` messages have timestamps that fit a
  // signed 64-bit nanosecond count; at the first that does not, the scan
  // fails after them with an error naming the column and the seq_no.
  std::size_t checked_timestamps(const FeedMessage* m, std::size_t n) {
    constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    const bool exch = std::find(ids_.begin(), ids_.end(), kExchTs) != ids_.end();
    const bool local = std::find(ids_.begin(), ids_.end(), kLocalTs) != ids_.end();
    for (std::size_t i = 0; i < n; ++i) {
      const char* column = nullptr;
      uint64_t value = 0;
      if (exch && exch_ts_of(m[i]) > kMax) {
        column = "exch_ts";
        value = exch_ts_of(m[i]);
      } else if (local && local_ts_of(m[i]) > kMax) {
        column = "local_ts";
        value = local_ts_of(m[i]);
      }
      if (column != nullptr) {
        if (merged_ != nullptr) file_index_ = row_files_[pos_ + i];
        fail(std::string(column) + " of the message with seq_no " +
             std::to_string(m[i].header.seq_no) + " is " + std::to_string(value) +
             ", above 2^63 - 1: not a timestamp in nanoseconds");
        return i;
      }
    }
    return n;
  }

  // Spreads n messages into the columns, as rows `base` on of the batch.
  // Each column is written in one pass over the messages; which rows are
  // null follows from the kind alone (order columns are null on trade rows
  // and the other way round), so one bitmap of order rows per batch serves
  // them all.
  void append(const FeedMessage* m, std::size_t n, std::size_t base) {
    if (n == 0) return;
    if (need_kinds_) {
      order_rows_.resize(bitmap_bytes(base + n), 0);
      uint8_t* order_rows = order_rows_.data();
      for (std::size_t i = 0; i < n; ++i) {
        if (!m[i].is_trade()) {
          const std::size_t row = base + i;
          order_rows[row >> 3] |= static_cast<uint8_t>(1u << (row & 7));
          ++orders_;
        }
      }
    }
    if (need_contracts_) {
      contracts_.resize(n);
      if (options_.file_contracts.empty()) {
        for (std::size_t i = 0; i < n; ++i) contracts_[i] = options_.contracts->find(book_key(m[i]));
      } else {
        // Each row's contracts come from its own file's table.
        for (std::size_t i = 0; i < n; ++i) {
          const std::size_t file = append_files_ != nullptr ? append_files_[i] : file_index_;
          const ContractTable* table = options_.file_contracts[file].get();
          contracts_[i] = table != nullptr ? table->find(book_key(m[i])) : nullptr;
        }
      }
    }
    for (std::size_t k = 0; k < ids_.size(); ++k) {
      ColumnBuilder& b = builders_[k];
      b.reserve(n, b.type() == ColumnType::kUtf8 ? n * 8 : 0, batch_rows_);
      write_column(ids_[k], b, m, n, base);
    }
  }

  template <class T, class F>
  static void fill(ColumnBuilder& b, const FeedMessage* m, std::size_t n, F&& value) {
    T* out = b.values<T>();
    for (std::size_t i = 0; i < n; ++i) out[i] = value(m[i]);
    b.advance(n);
  }

  // Writes an integer price column, or its decimal form.
  template <class Int, class F>
  void fill_price(ColumnBuilder& b, const FeedMessage* m, std::size_t n, F&& value) {
    if (options_.price_scale >= 0) {
      fill<Decimal128>(b, m, n, [&](const FeedMessage& x) { return decimal(value(x)); });
    } else {
      fill<Int>(b, m, n, value);
    }
  }

  void write_column(Column c, ColumnBuilder& b, const FeedMessage* m, std::size_t n,
                    std::size_t base) {
    using M = const FeedMessage&;
    switch (c) {
      case kMessageKind:
        return fill<uint8_t>(b, m, n, [](M x) -> uint8_t { return x.is_trade() ? 1 : 0; });
      case kSeqNo:
        return fill<uint32_t>(b, m, n, [](M x) { return x.header.seq_no; });
      case kMsgLen:
        return fill<uint16_t>(b, m, n, [](M x) { return x.header.msg_len; });
      case kStreamId:
        return fill<uint16_t>(b, m, n, [](M x) { return x.header.stream_id; });
      case kMsgType:
        return fill<uint8_t>(b, m, n, [](M x) { return msg_type_index(x.header.msg_type); });
      case kExchTs:
        return fill<uint64_t>(b, m, n, [](M x) { return exch_ts_of(x); });
      case kLocalTs:
        return fill<uint64_t>(b, m, n, [](M x) { return local_ts_of(x); });
      case kOrderId:
        return fill<uint64_t>(b, m, n,
                              [](M x) -> uint64_t { return x.is_trade() ? 0 : x.order.order_id; });
      case kBuyOrderId:
        return fill<uint64_t>(
            b, m, n, [](M x) -> uint64_t { return x.is_trade() ? x.trade.buy_order_id : 0; });
      case kSellOrderId:
        return fill<uint64_t>(
            b, m, n, [](M x) -> uint64_t { return x.is_trade() ? x.trade.sell_order_id : 0; });
      case kToken:
        return fill<int64_t>(b, m, n, [](M x) -> int64_t {
          return x.is_trade() ? int64_t{x.trade.token} : int64_t{x.order.token};
        });
      case kOrderType:
        return fill<uint8_t>(b, m, n, [this](M x) -> uint8_t {
          return x.is_trade() ? 0 : order_type_index(x.order.order_type);
        });
      case kPrice:
        return fill_price<uint32_t>(
            b, m, n, [](M x) -> uint32_t { return x.is_trade() ? 0 : x.order.price; });
      case kQuantity:
        return fill<uint32_t>(b, m, n,
                              [](M x) -> uint32_t { return x.is_trade() ? 0 : x.order.quantity; });
      case kTradePrice:
        return fill_price<int32_t>(
            b, m, n, [](M x) -> int32_t { return x.is_trade() ? x.trade.trade_price : 0; });
      case kTradeQuantity:
        return fill<int32_t>(
            b, m, n, [](M x) -> int32_t { return x.is_trade() ? x.trade.trade_quantity : 0; });
      case kFlags: {
        uint8_t* bits = b.bits();
        for (std::size_t i = 0; i < n; ++i) {
          const bool flag = (m[i].is_trade() ? m[i].trade.flags : m[i].order.flags) != 0;
          const std::size_t row = base + i;
          bits[row >> 3] |= static_cast<uint8_t>(flag << (row & 7));
        }
        b.advance(n);
        return;
      }
      case kFile:
        if (append_files_ != nullptr) {  // merged: each row's file
          uint8_t* out = b.values<uint8_t>();
          for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(append_files_[i]);
        } else {
          std::memset(b.values<uint8_t>(), 0, n);  // the batch's one file
        }
        b.advance(n);
        return;
      default:
        for (std::size_t i = 0; i < n; ++i) put_contract(c, b, contracts_[i]);
        return;
    }
  }

  // Appends one contract column's value of a row; null without a contract.
  static void put_contract(Column c, ColumnBuilder& b, const ContractInfo* info) {
    if (info == nullptr) return b.put_null();
    switch (c) {
      case kTokenSymbol:
        return b.put_string(info->symbol);
      case kStrikePrice:
        return b.put<int64_t>(info->strike);
      case kOptionType:
        return b.put_string(info->option_type);
      case kExpiry:
        return b.put_string(info->expiry);
      case kLotSize:
        return b.put<uint32_t>(info->lot_size);
      default:
        return b.put_string(info->name);
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
    std::vector<uint8_t> trade_rows;
    if (need_kinds_) {
      const std::size_t bytes = bitmap_bytes(rows);
      order_rows_.resize(bytes, 0);
      trade_rows.resize(bytes);
      for (std::size_t i = 0; i < bytes; ++i) trade_rows[i] = static_cast<uint8_t>(~order_rows_[i]);
      if (rows % 8 != 0) trade_rows[rows / 8] &= static_cast<uint8_t>((1u << (rows % 8)) - 1);
    }
    const std::size_t trades = rows - orders_;
    std::vector<ArrowArray> arrays(builders_.size());
    for (std::size_t k = 0; k < builders_.size(); ++k) {
      ColumnBuilder& b = builders_[k];
      const Column c = ids_[k];
      if (c == kMessageKind) b.set_dictionary({"order", "trade"});
      if (c == kMsgType) b.set_dictionary(kMsgTypeDictionary);
      if (c == kOrderType) b.set_dictionary(order_types_);
      if (c == kFile) {
        std::vector<std::string> names;
        if (merged_ == nullptr) {
          names.push_back(files_[batch_file_].name);
        } else {
          for (const ScanFile& f : files_) names.push_back(f.name);
        }
        b.set_dictionary(std::move(names));
      }
      if (order_only(c)) {
        b.finish(&arrays[k], order_rows_.data(), trades);
      } else if (trade_only(c)) {
        b.finish(&arrays[k], trade_rows.data(), orders_);
      } else {
        b.finish(&arrays[k]);
      }
    }
    finish_batch(arrays, static_cast<int64_t>(rows), out);
    order_rows_.clear();
    orders_ = 0;
    order_types_.clear();
    std::fill(std::begin(order_type_slot_), std::end(order_type_slot_), int16_t{-1});
  }

  std::vector<ScanFile> files_;
  // When the batch being filled got its first row; shared with the
  // followed files, whose waits end when it is due.
  std::shared_ptr<input::FlushClock> clock_ = std::make_shared<input::FlushClock>();
  bool merge_paused_ = false;               // the last merge() stopped at a followed file's pause
  std::unique_ptr<MergedReader> merged_;    // a merge's files; null when read in order
  std::vector<uint32_t> row_files_;         // the file of each message of chunk_ (merge)
  const uint32_t* append_files_ = nullptr;  // of the messages being appended
  std::size_t file_index_ = 0;              // the file being read
  std::size_t batch_file_ = 0;              // the file of the batch being built
  std::unique_ptr<FeedFile> file_;
  std::unique_ptr<SplitRead> split_;  // reads file_'s file instead, when set
  // Set when the columns are written straight from the records (an
  // unfiltered scan of fixed-width message columns, files in order).
  std::optional<DirectColumns> direct_;
  ScanOptions options_;
  RowFilter filter_;
  std::vector<Column> ids_;
  std::vector<ColumnSpec> columns_;
  std::vector<ColumnBuilder> builders_;
  bool need_kinds_ = false;
  bool need_contracts_ = false;
  bool check_ts_ = false;
  // Decoded messages that passed the filters, [pos_, count_) not yet in a
  // batch, and how the decoding step that filled them ended.
  std::vector<FeedMessage> chunk_;
  std::size_t pos_ = 0;
  std::size_t count_ = 0;
  ReadStep step_ = ReadStep::kMessage;
  std::string step_error_;
  std::vector<const ContractInfo*> contracts_;  // of the messages being appended
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
  uint64_t limit_left_ = 0;
  bool ended_ = false;
  bool failed_ = false;
  std::string error_;
};

}  // namespace

const std::vector<std::string> kMsgTypeDictionary = {"N", "M", "X", "T"};

Result<std::vector<ColumnSpec>> feed_scan_columns(const ScanOptions& options, std::size_t files) {
  auto ids = chosen_columns(options, files);
  if (!ids.ok()) return ids.status();
  std::vector<ColumnSpec> out;
  for (Column c : ids.value()) out.push_back(column_spec(c, options));
  return out;
}

Status check_feed(const std::string& path) {
  auto opened = input::open_input(path);
  if (!opened.ok()) return opened.status();
  return check_first_message(*opened.value().file);
}

Result<std::unique_ptr<BatchSource>> open_feed_scan(std::vector<ScanFile> files,
                                                    ScanOptions options) {
  auto ids = chosen_columns(options, files.size());
  if (!ids.ok()) return ids.status();
  if (options.merge_by_time && files.size() > kMaxMergedFiles) {
    return Status::error("a merge by exch_ts reads at most " + std::to_string(kMaxMergedFiles) +
                         " files");
  }
  std::vector<std::unique_ptr<FeedFile>> readers;
  const std::size_t now = options.merge_by_time ? files.size() : 1;
  // The followed files of one stream pause together, when its batch is due.
  auto clock = std::make_shared<input::FlushClock>();
  for (std::size_t i = 0; i < now; ++i) {
    auto opened = files[i].input->take(clock);
    Status s = opened.ok() ? check_first_message(*opened.value()) : opened.status();
    if (!s.ok()) {
      if (files.size() <= 1) return s;
      return Status::error(files[i].name + ": " + s.text());
    }
    readers.push_back(std::move(opened.value()));
  }
  auto* scan = new FeedScan(std::move(files), std::move(readers), std::move(options),
                            std::move(ids.value()));
  scan->set_flush_clock(std::move(clock));
  return std::unique_ptr<BatchSource>(scan);
}

}  // namespace tidemark::arrow
