// book_series(path, tokens=None, levels=5, every_ns=None, types=None,
// batch_rows=65536): the order books of a feed file over time, as an
// ArrowSource of record batches (book_series.h). The input is opened and its
// first record checked now; each stream replays a file from its start, while
// a pipe is read once, by the first stream.
#include <string>
#include <utility>

#include "binding.h"
#include "book_series.h"
#include "feed_scan.h"
#include "functions.h"
#include "py_arrow_source.h"
#include "py_feed_input.h"

namespace tidemark::py {

namespace {

// Sets ValueError "argument '{name}': {text}"; returns nullptr.
PyObject* raise_argument_value(const char* name, const std::string& text) {
  PyErr_Format(PyExc_ValueError, "argument '%s': %s", name, text.c_str());
  return nullptr;
}

// Reads argument i, None or a list or tuple of tokens, into `out`. Returns
// true, or false with an exception naming the argument.
bool take_tokens(const Args& args, std::size_t i, std::optional<std::vector<uint32_t>>& out) {
  if (args.absent(i)) return true;
  PyObject* items = PySequence_Fast(args[i], "must be a list or tuple of tokens");
  if (items == nullptr) {
    prefix_argument_error("tokens");
    return false;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(items);
  std::vector<uint32_t> tokens;
  tokens.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    uint32_t token;
    if (!extract(PySequence_Fast_GET_ITEM(items, k), token)) {
      Py_DECREF(items);
      prefix_argument_error("tokens");
      return false;
    }
    tokens.push_back(token);
  }
  Py_DECREF(items);
  out = std::move(tokens);
  return true;
}

// Returns a new ArrowSource, or nullptr with an exception set.
PyObject* book_series(PyObject*, const Args& args) {
  std::string path;
  arrow::BookSeriesOptions options;
  std::optional<uint64_t> every_ns;
  if (!args.get(0, path) || !take_tokens(args, 1, options.tokens) || !args.get(2, options.levels) ||
      !args.get(3, every_ns)) {
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
  if (!args.absent(4)) {
    if (!PyBytes_Check(args[4])) {
      raise_cannot_convert(args[4], "bytes");
      prefix_argument_error("types");
      return nullptr;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(args[4]));
    options.types.emplace(bytes, bytes + PyBytes_GET_SIZE(args[4]));
  }
  if (!args.get(5, options.batch_rows)) return nullptr;
  if (options.batch_rows == 0)
    return raise_argument_value("batch_rows", "must be at least 1, got 0");
  std::shared_ptr<input::CheckedInput> input = checked_input(path);
  if (input == nullptr) return nullptr;

  ArrowSourceState state;
  state.columns = arrow::book_series_columns(options.levels);
  state.open = [input, options]() -> Result<std::unique_ptr<arrow::BatchSource>> {
    auto file = input->take();
    if (!file.ok()) return file.status();
    return arrow::open_book_series(std::move(file.value()), options);
  };
  return new_arrow_source(std::move(state));
}

}  // namespace

const Function kBookSeries{"book_series()",
                           book_series,
                           {{{"path", true},
                             {"tokens", false},
                             {"levels", false},
                             {"every_ns", false},
                             {"types", false},
                             {"batch_rows", false}}}};

}  // namespace tidemark::py
