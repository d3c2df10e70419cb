// Python binding of SymbolMaster: a contract table filled from a contract-master CSV file, with
// token lookup and the enrichment of message dicts.
#include "py_symbol_master.h"

#include <optional>
#include <string>
#include <string_view>

#include "binding.h"
#include "classes.h"
#include "contract_master.h"
#include "enrichment.h"
#include "message_dict.h"

namespace tidemark::py {

namespace {

using Master = SymbolMasterState;

// Refills the table from `path`; returns the accepted-row count as an int, or nullptr with
// RuntimeError set.
PyObject* load_path(Master& self, const std::string& path) {
  auto loaded = load_contract_csv(path, self.table);
  if (!loaded.ok()) return raise_runtime(loaded.error_text());
  return PyLong_FromUnsignedLongLong(loaded.value());
}

PyObject* load(Master& self, const Args& args) {
  std::string path;
  if (!args.get(0, path)) return nullptr;
  return load_path(self, path);
}

PyObject* load_for_date(Master& self, const Args& args) {
  // Every argument is converted, in order, before anything is checked or loaded.
  std::string_view segment;
  uint32_t day = 0, month = 0, year = 0;
  std::optional<std::string_view> base_path;
  if (!args.get(0, segment) || !args.get(1, day) || !args.get(2, month) || !args.get(3, year) ||
      !args.get(4, base_path)) {
    return nullptr;
  }
  auto path = contract_master_path(segment, day, month, year, base_path);
  if (!path.ok()) return raise_runtime(path.error_text());
  return load_path(self, path.value());
}

// Sets `key` in `dict`, stealing the reference to `value`; false with an exception set.
bool put(PyObject* dict, const char* key, PyObject* value) {
  if (value == nullptr) return false;
  const int rc = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return rc == 0;
}

PyObject* new_ref(PyObject* obj) {
  Py_INCREF(obj);
  return obj;
}

PyObject* text(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* lookup(Master& self, const Args& args) {
  uint32_t token = 0;
  if (!args.get(0, token)) return nullptr;
  const ContractInfo* info = self.table.find(token);
  PyObject* d = PyDict_New();
  if (d == nullptr) return nullptr;
  bool ok = put(d, "token", PyLong_FromUnsignedLong(token)) &&
            put(d, "found", PyBool_FromLong(info != nullptr));
  if (ok && info != nullptr) {
    ok = put(d, "symbol", text(info->symbol)) && put(d, "name", text(info->name)) &&
         put(d, "option_type", text(info->option_type)) &&
         put(d, "strike", PyLong_FromLongLong(info->strike)) &&
         put(d, "expiry", text(info->expiry)) &&
         put(d, "lot_size", PyLong_FromUnsignedLong(info->lot_size));
  } else if (ok) {
    for (const char* key : {"symbol", "name", "option_type", "strike", "expiry", "lot_size"}) {
      if (!(ok = put(d, key, new_ref(Py_None)))) break;
    }
  }
  if (!ok) {
    Py_DECREF(d);
    return nullptr;
  }
  return d;
}

PyObject* enrich(Master& self, const Args& args) {
  PyObject* msg = args[0];
  if (!PyDict_Check(msg)) return raise_type("enrich() expects a message dict from get_next_msg()");
  // A strong reference: converting the value may run Python code (an __index__) that removes
  // it from the dict.
  PyObject* value = PyDict_GetItemWithError(msg, message_keys().token);
  if (value == nullptr) {
    if (PyErr_Occurred()) return nullptr;
    return raise_type("msg dict missing 'token' key");
  }
  Py_INCREF(value);
  const uint32_t token = coerce_token(value);
  Py_DECREF(value);
  const ContractInfo* info = self.table.find(token);
  if (info == nullptr) Py_RETURN_FALSE;
  if (!apply_enrichment(msg, *info)) return nullptr;
  Py_RETURN_TRUE;
}

Py_ssize_t length(Master& self) { return static_cast<Py_ssize_t>(self.table.size()); }

PyObject* repr(Master& self) {
  return PyUnicode_FromFormat("SymbolMaster(contracts=%zu)", self.table.size());
}

constexpr Method<Master> kLoad{
    "SymbolMaster.load()", Access::kExclusive, load, {{{"csv_path", true}}}};
constexpr Method<Master> kLoadForDate{
    "SymbolMaster.load_for_date()",
    Access::kExclusive,
    load_for_date,
    {{{"segment", true}, {"day", true}, {"month", true}, {"year", true}, {"base_path", false}}}};
constexpr Method<Master> kLookup{
    "SymbolMaster.lookup()", Access::kShared, lookup, {{{"token", true}}}};
constexpr Method<Master> kEnrich{
    "SymbolMaster.enrich()", Access::kShared, enrich, {{{"msg", true}}}};

PyMethodDef methods[] = {
    method_def<Master, kLoad>("load",
                              "load($self, csv_path)\n--\n\n"
                              "Load the contract master from an explicit CSV file path.\n"
                              "Returns the number of contracts loaded."),
    method_def<Master, kLoadForDate>(
        "load_for_date",
        "load_for_date($self, segment, day, month, year, base_path=None)\n--\n\n"
        "Convenience: build the standard NSE contract master path from date components and "
        "load.\n"
        "\n"
        "Path pattern: "
        "``{base}/CONTRACT/{DD}_{MM}_{YYYY}/NSE_{FO|CM}_contract_{DD}{MM}{YYYY}.csv``"),
    method_def<Master, kLookup>(
        "lookup",
        "lookup($self, token)\n--\n\n"
        "Look up a single token. Returns a dict with ``found=True/False`` and contract metadata.\n"
        "\n"
        "Keys when found: token, found, symbol, name, option_type, strike, expiry, lot_size"),
    method_def<Master, kEnrich>(
        "enrich",
        "enrich($self, msg)\n--\n\n"
        "Enrich a message dict from ``get_next_msg()`` in place.\n"
        "\n"
        "Sets ``token_symbol``, ``strike_price``, ``option_type``, ``expiry``,\n"
        "``lot_size``, and ``name`` on the dict. No-op if the token is not in\n"
        "the loaded master. Returns True if the token was found."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kClassDoc[] =
    "SymbolMaster()\n--\n\n"
    "Loads the NSE FO/CM contract master CSV and provides fast token to symbol lookups.\n"
    "\n"
    "Usage:\n"
    "\n"
    "```text\n"
    "from tidemark import SymbolMaster, StreamingBinaryLoader\n"
    "\n"
    "sm = SymbolMaster()\n"
    "count = sm.load_for_date(\"NSE_FO\", day=21, month=5, year=2026)\n"
    "print(sm)\n"
    "\n"
    "info = sm.lookup(token=40434)\n"
    "# {\n"
    "#     \"token\": 40434,\n"
    "#     \"found\": True,\n"
    "#     \"symbol\": \"FINNIFTY\",\n"
    "#     \"strike\": 21700,\n"
    "# }\n"
    "\n"
    "reader = StreamingBinaryLoader()\n"
    "reader.open_stream(path, count_messages=False)\n"
    "reader.attach_symbol_master(sm)\n"
    "msg = reader.get_next_msg()\n"
    "```\n"
    "\n"
    "When a symbol master is attached, streamed messages are enriched with\n"
    "token_symbol, strike_price, option_type, expiry, lot_size, and name.";

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_object<Master>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<Master>)},
    {Py_tp_methods, methods},
    {Py_tp_repr, reinterpret_cast<void*>(shared_slot<Master, repr>)},
    {Py_mp_length, reinterpret_cast<void*>(length_slot<Master, length>)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {0, nullptr},
};

PyType_Spec spec = {"builtins.SymbolMaster", sizeof(Wrapped<Master>), 0, kClassFlags, slots};

}  // namespace

const ClassDef kSymbolMasterClass{kSymbolMasterName, &spec, &type_object<Master>()};

}  // namespace tidemark::py
