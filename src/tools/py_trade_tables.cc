// trades(paths, tokens=None, start=None, end=None, batch_rows=65536,
// merge_by_time=False, follow_flush_ns=None, idle_timeout_ns=None, threads=1,
// file_column=False) and bars(paths, every_ns, tokens=None, start=None,
// end=None, batch_rows=65536, merge_by_time=False, threads=1,
// file_column=False):
// the trade tables of a replay (trade_tables.h) as ArrowSources. The inputs
// are opened and checked now; each stream replays them from their start.
#include <string>
#include <utility>

#include "binding.h"
#include "functions.h"
#include "py_arrow_source.h"
#include "py_table_args.h"
#include "trade_tables.h"

namespace tidemark::py {

namespace {

PyObject* trades(PyObject*, const Args& args) {
  std::vector<std::string> paths;
  arrow::TradeTableOptions options;
  std::optional<input::FollowOptions> follow;
  if (!take_paths(args, 0, paths) || !take_row_selection(args, 1, options.rows) ||
      !args.get(4, options.batch_rows) || !args.get(5, options.merge_by_time) ||
      !take_follow(args, 6, follow) || !take_threads(args, 8, options.threads) ||
      !args.get(9, options.file_column)) {
    return nullptr;
  }
  if (options.batch_rows == 0) {
    return raise_argument_value("batch_rows", "must be at least 1, got 0");
  }
  // A followed file is read at the pace it is written: one thread, as for
  // book_series, hands each pause's rows out at once.
  if (follow) options.threads = 1;
  arrow::ReplayEngine::Inputs inputs;
  if (!check_inputs(paths, inputs, follow ? &*follow : nullptr, options.merge_by_time)) {
    return nullptr;
  }
  ArrowSourceState state;
  state.columns = arrow::trades_columns(options.file_column);
  state.open = [inputs, options] { return arrow::open_trades(inputs, options); };
  if (follow) state.stop = [stop = follow->stop] { stop->store(true); };
  return new_arrow_source(std::move(state));
}

PyObject* bars(PyObject*, const Args& args) {
  std::vector<std::string> paths;
  arrow::TradeTableOptions options;
  if (!take_paths(args, 0, paths) || !args.get(1, options.every_ns) ||
      !take_row_selection(args, 2, options.rows) || !args.get(5, options.batch_rows) ||
      !args.get(6, options.merge_by_time) || !take_threads(args, 7, options.threads) ||
      !args.get(8, options.file_column)) {
    return nullptr;
  }
  if (options.every_ns == 0) return raise_argument_value("every_ns", "must be positive, got 0");
  if (options.batch_rows == 0) {
    return raise_argument_value("batch_rows", "must be at least 1, got 0");
  }
  arrow::ReplayEngine::Inputs inputs;
  if (!check_inputs(paths, inputs)) return nullptr;
  ArrowSourceState state;
  state.columns = arrow::bars_columns(options.file_column);
  state.open = [inputs, options] { return arrow::open_bars(inputs, options); };
  return new_arrow_source(std::move(state));
}

}  // namespace

const Function kTrades{"trades()",
                       trades,
                       {{{"paths", true},
                         {"tokens", false},
                         {"start", false},
                         {"end", false},
                         {"batch_rows", false},
                         {"merge_by_time", false},
                         {"follow_flush_ns", false},
                         {"idle_timeout_ns", false},
                         {"threads", false},
                         {"file_column", false}}}};

const Function kBars{"bars()",
                     bars,
                     {{{"paths", true},
                       {"every_ns", true},
                       {"tokens", false},
                       {"start", false},
                       {"end", false},
                       {"batch_rows", false},
                       {"merge_by_time", false},
                       {"threads", false},
                       {"file_column", false}}}};

}  // namespace tidemark::py
