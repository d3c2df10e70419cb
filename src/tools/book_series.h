// Order books over time as Arrow record batches: a feed file decoded with the
// streaming loader's framing and applied to a BookSet with exactly the rules
// of OrderbookBuilder (its public operations only), with the state of the
// books written out as rows.
//
// - Per message (every_ns 0): one row right after each message that the books
//   accept, when its book key is selected: that book's best `levels` levels,
//   as get_snapshot shows them (a book not made yet gives zeros).
// - On a time grid (every_ns = D > 0): at each multiple g of D in exch_ts,
//   one row per selected token that has a book, in ascending token order,
//   holding the state after every message in file order before the first
//   message stamped at or after g. Grid times run from the first multiple of
//   D above the first message's exch_ts to the first multiple of D above the
//   largest exch_ts of the file, so the last rows hold the state after the
//   whole file. The grid never goes back: a message stamped before the
//   current grid time (a timestamp that runs backwards) is applied before
//   the next cut. A grid time past 2^64 - 1 is written as 2^64 - 1.
//
// Columns: seq_no, exch_ts, local_ts, msg_type, token, mid_price, then per
// level i: bid_price_i, bid_qty_i, ask_price_i, ask_qty_i (0 where the book
// has fewer levels). In grid rows exch_ts is the grid time and seq_no,
// local_ts and msg_type are those of the last message before the cut (the
// last one offered to the books, whether they accepted it or the type filter
// or the side rule skipped it).
//
// A grid stretch in which no selected token has a book writes no rows and is
// passed over in one step, however many grid times it spans (a timestamp
// far in the future costs nothing). A stretch with books writes a row per
// grid time and book, however far apart the messages are.
//
// Changes only (per message): a row only when the token's levels differ
// from that token's previous row (price or quantity of any of the `levels`
// levels on either side); a token's first accepted message always gives a
// row. With `nulls`, missing levels and the mid price of a book without both
// sides are null instead of 0 (the quote table).
//
// Several files are replayed into the same books, one after another or
// merged by exch_ts (merged_reader.h).
//
// With threads > 1 the books are split by token over that many shards, each
// on a thread of its own (shard_pool.h); the rows are the same, in the same
// order. On a grid the reading thread plans the cuts (which books exist
// follows from the messages alone) and each shard reads its books at them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch_source.h"
#include "replay_engine.h"
#include "status.h"

namespace tidemark::arrow {

struct BookSeriesOptions {
  RowSelection rows;                          // tokens and exch_ts range of the rows
  uint64_t levels = 5;                        // 1 to 1000
  uint64_t every_ns = 0;                      // 0: a row per message
  std::optional<std::vector<uint8_t>> types;  // the books' type filter
  uint64_t batch_rows = 65536;                // at least 1
  bool changes_only = false;                  // per message: rows only on a change
  bool nulls = false;                         // missing levels as nulls
  bool merge_by_time = false;                 // files merged by exch_ts
  uint64_t threads = 1;                       // shards on threads of their own (1: none)
  bool file_column = false;                   // per message: a last column, the file index (uint32)
};

// Returns the columns of a series with `levels` levels per side (and the
// file column).
std::vector<ColumnSpec> book_series_columns(uint64_t levels, bool file_column = false);

// Starts a series over `inputs` (checked at the call); each file is taken
// from its input when the replay reaches it.
Result<std::unique_ptr<BatchSource>> open_book_series(ReplayEngine::Inputs inputs,
                                                      const BookSeriesOptions& options);

}  // namespace tidemark::arrow
