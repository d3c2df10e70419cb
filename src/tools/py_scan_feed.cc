// scan_feed(paths, names, master, columns, tokens, types, start, end, limit,
//           time_zone, price_scale, batch_rows):
// feed files as an ArrowSource of record batches (feed_scan.h). Every file is
// opened and its first record checked now; each stream opens a file again
// from its start, while a pipe is read once, by the first stream. The Python layer checks the
// arguments' ranges; this binding takes them as they come from there:
// - paths: list of bytes (what to open); names: list of str (what rows and
//   errors show), one per path;
// - master: None, a SymbolMaster, the path (bytes) of a contract master, or
//   a list with one entry per path, each None or a SymbolMaster (that
//   file's contracts);
// - columns: None or a list of str; tokens: None or a list of ints;
//   types: None or a str of message type letters;
// - start, end, limit: None or ints; time_zone: "" for integer timestamps;
//   price_scale: -1 for integer prices.
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding.h"
#include "contract_master.h"
#include "feed_scan.h"
#include "functions.h"
#include "py_arrow_source.h"
#include "py_feed_input.h"
#include "py_symbol_master.h"

namespace tidemark::py {

namespace {

// Copies the bytes of a bytes object into `out`. Returns true, or false with
// TypeError set.
bool take_bytes(PyObject* obj, std::string& out) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!PyBytes_Check(obj)) {
    raise_cannot_convert(obj, "bytes");
    return false;
  }
  if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

// Converts every item of the list argument `i` with `take`. Returns true, or
// false with an exception set naming the argument.
template <class T, class Take>
bool take_list(const Args& args, std::size_t i, const char* name, std::vector<T>& out,
               Take&& take) {
  PyObject* list = args[i];
  if (!PyList_Check(list)) {
    raise_cannot_convert(list, "list");
    prefix_argument_error(name);
    return false;
  }
  out.clear();
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list); ++k) {
    T value{};
    if (!take(PyList_GET_ITEM(list, k), value)) {
      prefix_argument_error(name);
      return false;
    }
    out.push_back(std::move(value));
  }
  return true;
}

// Takes `master` (a SymbolMaster, or the path of a contract master to load)
// into `out`; leaves it null when absent. Returns true, or false with an
// exception set. An error loading the file names it.
bool take_contracts(const Args& args, std::size_t i, std::shared_ptr<const ContractTable>& out) {
  if (args.absent(i)) return true;
  if (PyBytes_Check(args[i]) || PyUnicode_Check(args[i])) {
    std::string csv_path;
    if (PyBytes_Check(args[i]) ? !take_bytes(args[i], csv_path) : !args.get(i, csv_path)) {
      return false;
    }
    auto table = std::make_shared<ContractTable>();
    auto loaded = load_contract_csv(csv_path, *table);
    if (!loaded.ok()) {
      const std::string& text = loaded.error_text();
      if (text.find(csv_path) != std::string::npos) return raise_runtime(text), false;
      return raise_runtime(csv_path + ": " + text), false;
    }
    out = std::move(table);
    return true;
  }
  Borrowed<SymbolMasterState> master;
  if (!args.get(i, master, kSymbolMasterName, Access::kShared)) return false;
  out = std::make_shared<const ContractTable>(master->table);  // a snapshot, as attaching takes
  return true;
}

// Takes a list of masters, one per file (each None or a SymbolMaster),
// into `out`. Returns true, or false with an exception set.
bool take_file_contracts(PyObject* list, std::size_t files,
                         std::vector<std::shared_ptr<const ContractTable>>& out) {
  if (static_cast<std::size_t>(PyList_GET_SIZE(list)) != files) {
    PyErr_SetString(PyExc_ValueError, "argument 'master': needs one entry for each path");
    return false;
  }
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list); ++k) {
    PyObject* item = PyList_GET_ITEM(list, k);
    if (item == Py_None) {
      out.push_back(nullptr);
      continue;
    }
    Borrowed<SymbolMasterState> master;
    if (!master.take(item, kSymbolMasterName, Access::kShared)) {
      prefix_argument_error("master");
      return false;
    }
    out.push_back(std::make_shared<const ContractTable>(master->table));
  }
  return true;
}

// Opens and checks the feed input at `path` (input::CheckedInput) with the
// interpreter lock released; an error's text starts with "{name}: " when
// `named`. Returns it, or nullptr with an exception set.
std::shared_ptr<input::CheckedInput> checked_input(const std::string& path, const std::string& name,
                                                   bool named,
                                                   const input::FollowOptions* follow = nullptr) {
  Result<std::shared_ptr<input::CheckedInput>> opened = Status::error("");
  {
    UnlockedWait unlocked;
    input::ScopedWaitCheck waiting(&unlocked.wait_check());
    opened = input::CheckedInput::open(path, follow);
  }
  if (PyErr_Occurred()) return nullptr;
  if (!opened.ok()) {
    raise_runtime(named ? name + ": " + opened.error_text() : opened.error_text());
    return nullptr;
  }
  return std::move(opened.value());
}

// Returns a new ArrowSource, or nullptr with an exception set.
PyObject* scan_feed(PyObject*, const Args& args) {
  std::vector<arrow::ScanFile> files;
  std::vector<std::string> paths;
  std::vector<std::string> names;
  if (!take_list(args, 0, "paths", paths, take_bytes)) return nullptr;
  if (!take_list(args, 1, "names", names,
                 [](PyObject* o, std::string& s) { return extract(o, s); })) {
    return nullptr;
  }
  if (paths.size() > arrow::kMaxMergedFiles && !args.absent(12) && PyObject_IsTrue(args[12])) {
    PyErr_SetString(PyExc_ValueError, "a merge by exch_ts reads at most 256 files");
    return nullptr;
  }
  if (paths.empty() || paths.size() != names.size()) {
    PyErr_SetString(PyExc_ValueError, "scan_feed() needs one name for each of its paths");
    return nullptr;
  }

  arrow::ScanOptions options;
  std::optional<std::string> types;
  int64_t price_scale = -1;
  if (!args.absent(3) && !take_list(args, 3, "columns", options.columns,
                                    [](PyObject* o, std::string& s) { return extract(o, s); })) {
    return nullptr;
  }
  if (!args.absent(4)) {
    std::vector<uint32_t> tokens;
    if (!take_list(args, 4, "tokens", tokens,
                   [](PyObject* o, uint32_t& t) { return extract(o, t); })) {
      return nullptr;
    }
    options.tokens = std::move(tokens);
  }
  if (!args.get(5, types) || !args.get(6, options.start) || !args.get(7, options.end) ||
      !args.get(8, options.limit) || !args.get(9, options.time_zone) ||
      !args.get(10, price_scale) || !args.get(11, options.batch_rows) ||
      !args.get(12, options.merge_by_time)) {
    return nullptr;
  }
  options.types = std::move(types);
  if (price_scale < -1 || price_scale > 9) {
    PyErr_SetString(PyExc_ValueError, "argument 'price_scale': must be from 0 to 9");
    return nullptr;
  }
  options.price_scale = static_cast<int>(price_scale);
  if (options.batch_rows == 0) {
    PyErr_SetString(PyExc_ValueError, "argument 'batch_rows': must be at least 1, got 0");
    return nullptr;
  }
  // The columns are checked before anything is read; a master adds its
  // columns, so an empty table stands in for it until it is loaded.
  if (!args.absent(2)) options.contracts = std::make_shared<const ContractTable>();
  auto columns = arrow::feed_scan_columns(options, paths.size());
  if (!columns.ok()) {
    PyErr_SetString(PyExc_ValueError, columns.error_text().c_str());
    return nullptr;
  }
  options.contracts.reset();
  // follow_flush_ns given: follow the last file as it grows (the ones before
  // it are read to their end first), or every file in a merge by exch_ts.
  std::optional<int64_t> flush_ns, idle_ns;
  if (!args.get(13, flush_ns) || !args.get(14, idle_ns)) return nullptr;
  std::optional<input::FollowOptions> follow;
  if (flush_ns) {
    follow.emplace();
    follow->flush_interval_ns = *flush_ns;
    follow->idle_timeout_ns = idle_ns.value_or(-1);
    follow->stop = std::make_shared<std::atomic<bool>>(false);
  }
  for (std::size_t k = 0; k < paths.size(); ++k) {
    const bool followed = follow && (options.merge_by_time || k + 1 == paths.size());
    auto input = checked_input(paths[k], names[k], paths.size() > 1, followed ? &*follow : nullptr);
    if (input == nullptr) return nullptr;
    files.push_back({std::move(input), std::move(names[k]), !followed});
  }
  if (!args.absent(2) && PyList_Check(args[2])) {
    if (!take_file_contracts(args[2], paths.size(), options.file_contracts)) return nullptr;
    options.contracts = std::make_shared<const ContractTable>();
  } else if (!take_contracts(args, 2, options.contracts)) {
    return nullptr;
  }

  ArrowSourceState state;
  state.columns = std::move(columns.value());
  state.open = [files, options] { return arrow::open_feed_scan(files, options); };
  if (follow) state.stop = [stop = follow->stop] { stop->store(true); };
  return new_arrow_source(std::move(state));
}

}  // namespace

const Function kScanFeed{"scan_feed()",
                         scan_feed,
                         {{{"paths", true},
                           {"names", true},
                           {"master", false},
                           {"columns", false},
                           {"tokens", false},
                           {"types", false},
                           {"start", false},
                           {"end", false},
                           {"limit", false},
                           {"time_zone", false},
                           {"price_scale", false},
                           {"batch_rows", false},
                           {"merge_by_time", false},
                           {"follow_flush_ns", false},
                           {"idle_timeout_ns", false}}}};

}  // namespace tidemark::py
