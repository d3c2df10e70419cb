// Contract details in message dicts. coerce_token turns the value under a dict's "token" into
// a contract-table key, and apply_enrichment writes the six contract keys from one
// ContractInfo. SymbolMaster.enrich and the enrichment step of StreamingBinaryLoader's
// get_next_msg both write through apply_enrichment, so the two always set the same keys,
// values and order; the loader takes the key straight from the decoded message, which gives
// the same number that coerce_token gives for the dict's value.
//
// Both are called with the interpreter lock held and keep no reference to what they are given.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <vector>

#include "contract_master.h"

namespace tidemark::py {

// Returns the table key for the value found under a message dict's "token": an int (or an
// object with __index__) from 0 to 4294967295 as it is, one from -2147483648 to -1 as its 32-bit
// two's complement (a trade's signed token), anything else 0. Never raises: an error of the
// conversion is cleared.
uint32_t coerce_token(PyObject* value);

// Writes "token_symbol", "strike_price", "option_type", "expiry", "lot_size" and "name" from
// `info` into `dict`, in that order. Keys already present keep their places; the others are
// appended. A dict subclass is written through its __setitem__ (which may run Python code), a
// plain dict directly. Returns true, or false with the error of the first write that failed
// (the keys written before it stay).
bool apply_enrichment(PyObject* dict, const ContractInfo& info);

// The six enrichment values of each contract of one table, made on first use
// and kept, so that enriching a message costs the table look-up and six dict
// writes. Holds strong references; destroy it with the interpreter lock held.
class EnrichmentValues {
 public:
  EnrichmentValues() = default;
  EnrichmentValues(const EnrichmentValues&) = delete;
  EnrichmentValues& operator=(const EnrichmentValues&) = delete;
  ~EnrichmentValues() { clear(); }

  // Drops every value and makes room for a table of `records` contracts.
  void reset(std::size_t records);
  // Drops every value.
  void clear();

  // Writes the six keys of the contract at `position` of the table into
  // `dict`, as apply_enrichment does. Returns false with an exception set.
  bool apply(PyObject* dict, std::size_t position, const ContractInfo& info);

 private:
  std::vector<std::array<PyObject*, 6>> values_;
};

}  // namespace tidemark::py
