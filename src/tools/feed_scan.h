// Feed files as Arrow record batches: one row per order or trade message,
// in file order (files one after another), read with the streaming loader's
// framing (padding, skipped records of other types, the same end-of-file
// rules and error texts).
//
// Row i holds the fields of the i-th message that passes the filters, as the
// message dict of get_next_msg shows them, with null where that dict has no
// such key; with a contract table, six contract columns follow, filled as an
// attached master enriches the dict and null where it writes nothing; a
// `file` column names the file a row came from. Only the columns asked for
// are built, in the order asked for. The filters (book keys, message types,
// an exch_ts range, a row limit) run on each decoded record before any column
// is written, so a dropped record costs its framing only.
//
// A decode error in the middle of a file ends the stream with the decoder's
// text after the rows read before it; with several files every error text
// starts with the file's name.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch_source.h"
#include "contract_master.h"
#include "feed_input.h"
#include "status.h"

namespace tidemark::arrow {

// msg_type is always one of the four decoded types (N, M, X, T), so every
// source writes it as a dictionary-encoded column with this dictionary.
extern const std::vector<std::string> kMsgTypeDictionary;
// Returns the index in kMsgTypeDictionary of a decoded message's type byte.
constexpr uint8_t msg_type_index(uint8_t msg_type) {
  return msg_type == 'N' ? 0 : msg_type == 'M' ? 1 : msg_type == 'X' ? 2 : 3;
}

// One file of a scan: the checked input to read (feed_input.h) and the name
// that rows and errors show for it (valid UTF-8).
struct ScanFile {
  std::shared_ptr<input::CheckedInput> input;
  std::string name;
  // A filtered scan may read a large file (regular, not compressed) as two
  // halves at once, the second on a thread of its own: false for a followed
  // file, whose reads wait for it to grow.
  bool split = false;
};

struct ScanOptions {
  // Names of the columns to build, in output order; empty for the default
  // set (every message column, the contract columns with a table, and
  // `file` with several files).
  std::vector<std::string> columns;
  std::shared_ptr<const ContractTable> contracts;  // may be null
  // A contract table per file (any may be null: no contracts for that
  // file's rows), used instead of `contracts` when not empty; `contracts`
  // must then be set (to any table) so that the contract columns exist.
  std::vector<std::shared_ptr<const ContractTable>> file_contracts;
  // Filters; an absent one keeps every row.
  std::optional<std::vector<uint32_t>> tokens;  // book keys
  std::optional<std::string> types;             // msg_type letters
  std::optional<uint64_t> start;                // exch_ts >= start
  std::optional<uint64_t> end;                  // exch_ts < end
  std::optional<uint64_t> limit;                // rows in all, after the filters
  // Conversions: a non-empty time zone makes exch_ts and local_ts
  // timestamp("ns", zone); a scale of 0 to 9 makes price and trade_price
  // decimal128(18, scale) (-1 keeps them integers).
  std::string time_zone;
  int price_scale = -1;
  uint64_t batch_rows = 65536;  // at least 1
  // Files one after another (false), or merged by exch_ts (true): at each
  // step the next message is the head of the file whose head has the
  // smallest exch_ts, ties going to the file listed first. A merge of the
  // files' own orders, not a sort; the filters apply to the merged order.
  // At most kMaxMergedFiles files.
  bool merge_by_time = false;
};

inline constexpr std::size_t kMaxMergedFiles = 256;

// Returns the columns of a scan of `files` files with `options`, or an error
// naming the valid columns when a name is unknown or repeated.
Result<std::vector<ColumnSpec>> feed_scan_columns(const ScanOptions& options, std::size_t files);

// Opens `path` as a feed input (feed_input.h) and validates its first record
// header, as open_stream does without counting. Fails with the same texts.
// A binding checks with input::CheckedInput instead, whose pipe handle the
// stream then reads.
Status check_feed(const std::string& path);

// Opens a scan of `files` (at least one) from the start of the first: each
// input's take() gives its reader. The first is taken now (in a merge, all
// of them) and an error is returned (named when there are several files);
// later files are taken when reached, and an error then fails the stream.
Result<std::unique_ptr<BatchSource>> open_feed_scan(std::vector<ScanFile> files,
                                                    ScanOptions options);

}  // namespace tidemark::arrow
