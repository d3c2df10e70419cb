// The functions and classes of tidemark_tools._native, declared here and
// registered in module.cc. Each function is a Function of the shared binding
// mechanism (binding.h), defined in the unit that implements it; module.cc
// lists it, with its name and docstring, in the module's method table.
#pragma once

#include "binding.h"

namespace tidemark::py {

// Classes whose instances the functions return, in the order of registration.
extern const ClassDef kArrowSourceClass;  // py_arrow_source.cc

// Functions, each defined in the unit named beside it.
extern const Function kScanFeed;    // py_scan_feed.cc
extern const Function kBookSeries;  // py_book_series.cc
extern const Function kTrades;      // py_trade_tables.cc
extern const Function kBars;        // py_trade_tables.cc
extern const Function kCheckFeed;   // py_feed_check.cc
extern const Function kFeedStats;   // py_feed_stats.cc

// Makes the SymbolMaster class of the tidemark module known to this module's
// converters, so that a SymbolMaster argument can be taken with
// Args::get(i, Borrowed<SymbolMasterState>&, ...). Returns 0, or -1 with an
// exception set.
int adopt_symbol_master_type();

}  // namespace tidemark::py
