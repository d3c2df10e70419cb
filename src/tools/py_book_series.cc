// book_series(paths, tokens=None, start=None, end=None, levels=5,
// every_ns=None, types=None, batch_rows=65536, changes_only=False,
// nulls=False, merge_by_time=False, threads=1, follow_flush_ns=None,
// idle_timeout_ns=None, file_column=False): the order books of feed files over
// time, as an ArrowSource of record batches (book_series.h). The files are
// opened and their first records checked now; each stream replays them from
// their start.
#include <string>
#include <utility>

#include "binding.h"
#include "book_series.h"
#include "functions.h"
#include "py_arrow_source.h"
#include "py_table_args.h"

namespace tidemark::py {

namespace {

// Returns a new ArrowSource, or nullptr with an exception set.
PyObject* book_series(PyObject*, const Args& args) {
  std::vector<std::string> paths;
  arrow::BookSeriesOptions options;
  std::optional<uint64_t> every_ns;
  if (!take_paths(args, 0, paths) || !take_row_selection(args, 1, options.rows) ||
      !args.get(4, options.levels) || !args.get(5, every_ns)) {
    return nullptr;
  }
  if (options.levels < 1 || options.levels > 1000) {
    return raise_argument_value("levels",
                                "must be from 1 to 1000, got " + std::to_string(options.levels));
  }
  if (every_ns) {
    if (*every_ns == 0) return raise_argument_value("every_ns", "must be positive, got 0");
    options.every_ns = *every_ns;
  }
  if (!args.absent(6)) {
    if (!PyBytes_Check(args[6])) {
      raise_cannot_convert(args[6], "bytes");
      prefix_argument_error("types");
      return nullptr;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(args[6]));
    options.types.emplace(bytes, bytes + PyBytes_GET_SIZE(args[6]));
  }
  std::optional<input::FollowOptions> follow;
  if (!args.get(7, options.batch_rows) || !args.get(8, options.changes_only) ||
      !args.get(9, options.nulls) || !args.get(10, options.merge_by_time) ||
      !take_follow(args, 12, follow) || !args.get(14, options.file_column)) {
    return nullptr;
  }
  if (follow && options.every_ns != 0) {
    return raise_argument_value("follow_flush_ns",
                                "a series on a time grid cannot follow a growing file");
  }
  if (options.batch_rows == 0)
    return raise_argument_value("batch_rows", "must be at least 1, got 0");
  if (!take_threads(args, 11, options.threads)) return nullptr;
  if (options.changes_only && options.every_ns != 0) {
    return raise_argument_value("changes_only", "applies to rows per message, not to a grid");
  }
  // A followed file is read at the pace it is written: the rows are the
  // same with one thread, which hands each pause's batch out at once.
  if (follow) options.threads = 1;
  arrow::ReplayEngine::Inputs inputs;
  if (!check_inputs(paths, inputs, follow ? &*follow : nullptr, options.merge_by_time)) {
    return nullptr;
  }

  ArrowSourceState state;
  if (options.every_ns != 0) options.file_column = false;  // grid rows come from no one file
  state.columns = arrow::book_series_columns(options.levels, options.file_column);
  state.open = [inputs, options]() -> Result<std::unique_ptr<arrow::BatchSource>> {
    return arrow::open_book_series(inputs, options);
  };
  if (follow) state.stop = [stop = follow->stop] { stop->store(true); };
  return new_arrow_source(std::move(state));
}

}  // namespace

const Function kBookSeries{"book_series()",
                           book_series,
                           {{{"paths", true},
                             {"tokens", false},
                             {"start", false},
                             {"end", false},
                             {"levels", false},
                             {"every_ns", false},
                             {"types", false},
                             {"batch_rows", false},
                             {"changes_only", false},
                             {"nulls", false},
                             {"merge_by_time", false},
                             {"threads", false},
                             {"follow_flush_ns", false},
                             {"idle_timeout_ns", false},
                             {"file_column", false}}}};

}  // namespace tidemark::py
