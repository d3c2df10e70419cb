// scan_feed(path, master=None, batch_rows=65536): a feed file as an
// ArrowSource of record batches (feed_scan.h). The input is opened and its
// first record checked now; each stream opens a file again from its start,
// while a pipe is read once, by the first stream.
#include <memory>
#include <string>
#include <utility>

#include "binding.h"
#include "contract_master.h"
#include "feed_scan.h"
#include "functions.h"
#include "py_arrow_source.h"
#include "py_feed_input.h"
#include "py_symbol_master.h"

namespace tidemark::py {

namespace {

// Takes `master` (a SymbolMaster, or the path of a contract master to load)
// into `out`; leaves it null when absent. Returns true, or false with an
// exception set.
bool take_contracts(const Args& args, std::size_t i, std::shared_ptr<const ContractTable>& out) {
  if (args.absent(i)) return true;
  if (PyUnicode_Check(args[i])) {
    std::string csv_path;
    if (!args.get(i, csv_path)) return false;
    auto table = std::make_shared<ContractTable>();
    auto loaded = load_contract_csv(csv_path, *table);
    if (!loaded.ok()) {
      raise_runtime(loaded.error_text());
      return false;
    }
    out = std::move(table);
    return true;
  }
  Borrowed<SymbolMasterState> master;
  if (!args.get(i, master, kSymbolMasterName, Access::kShared)) return false;
  out = std::make_shared<const ContractTable>(master->table);  // a snapshot, as attaching takes
  return true;
}

// Returns a new ArrowSource, or nullptr with an exception set.
PyObject* scan_feed(PyObject*, const Args& args) {
  std::string path;
  uint64_t batch_rows = 65536;
  if (!args.get(0, path) || !args.get(2, batch_rows)) return nullptr;
  if (batch_rows == 0) {
    PyErr_SetString(PyExc_ValueError, "argument 'batch_rows': must be at least 1, got 0");
    return nullptr;
  }
  std::shared_ptr<input::CheckedInput> input = checked_input(path);
  if (input == nullptr) return nullptr;
  std::shared_ptr<const ContractTable> contracts;
  if (!take_contracts(args, 1, contracts)) return nullptr;

  ArrowSourceState state;
  state.columns = arrow::feed_scan_columns(contracts != nullptr);
  state.open = [input, contracts, batch_rows]() -> Result<std::unique_ptr<arrow::BatchSource>> {
    auto file = input->take();
    if (!file.ok()) return file.status();
    return arrow::open_feed_scan(std::move(file.value()), contracts, batch_rows);
  };
  return new_arrow_source(std::move(state));
}

}  // namespace

const Function kScanFeed{
    "scan_feed()", scan_feed, {{{"path", true}, {"master", false}, {"batch_rows", false}}}};

}  // namespace tidemark::py
