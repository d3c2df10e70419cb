// Tables of the trade messages of a replay.
//
// Trades: one row per trade message of the selected tokens (and exch_ts
// range), in file order. The books take every message of the files (no
// type filter), and each trade row also tells what they held just before
// the trade:
// - aggressor: "B" when the sell order rested in the token's book and the
//   buy order did not (the buyer took a resting offer), "S" for the reverse,
//   null when both or neither rested;
// - bid_price, bid_qty, ask_price, ask_qty: the token's best level on each
//   side, null where the side is empty or the token has no book.
// Columns: seq_no, exch_ts, local_ts, token (the book key), buy_order_id,
// sell_order_id, price, quantity (the trade's own signed fields), aggressor,
// bid_price, bid_qty, ask_price, ask_qty.
//
// Bars: per token and interval [start, start + every) of exch_ts counted
// from 0, for intervals with at least one selected trade: open, high, low,
// close of the trade prices (in file order), volume (the sum of the traded
// quantities, a negative quantity counting as 0 as in the books), trades,
// turnover (the exact sum of price times counted quantity, a 128-bit
// integer), buy_volume and sell_volume (by aggressor; a trade without one
// counts in neither). Rows come at the end of the replay, ordered by start
// and then token; memory grows with the number of rows.
//
// With threads > 1 the books (and bars) are split by token over that many
// shards, each on a thread of its own (shard_pool.h); the rows are the
// same, in the same order.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "batch_source.h"
#include "replay_engine.h"
#include "status.h"

namespace tidemark::arrow {

struct TradeTableOptions {
  RowSelection rows;
  uint64_t batch_rows = 65536;
  uint64_t every_ns = 0;       // bars only: the interval, at least 1
  bool merge_by_time = false;  // files merged by exch_ts
  uint64_t threads = 1;        // shards on threads of their own (1: none)
  // A last column `file`: the index of the file of the row's trade (uint32);
  // for a bar, of its trades, null when they come from several files.
  bool file_column = false;
};

std::vector<ColumnSpec> trades_columns(bool file_column = false);
std::vector<ColumnSpec> bars_columns(bool file_column = false);

Result<std::unique_ptr<BatchSource>> open_trades(ReplayEngine::Inputs inputs,
                                                 const TradeTableOptions& options);
Result<std::unique_ptr<BatchSource>> open_bars(ReplayEngine::Inputs inputs,
                                               const TradeTableOptions& options);

}  // namespace tidemark::arrow
