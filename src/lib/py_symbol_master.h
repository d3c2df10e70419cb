// The native object behind a Python SymbolMaster: one contract table. The streaming loader's
// binding takes a SymbolMaster argument by this type to copy its table.
#pragma once

#include "contract_master.h"

namespace tidemark::py {

struct SymbolMasterState {
  ContractTable table;
};

// The class name, as argument errors report it.
inline constexpr const char* kSymbolMasterName = "SymbolMaster";

}  // namespace tidemark::py
