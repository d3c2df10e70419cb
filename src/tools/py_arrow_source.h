// The native class ArrowSource of tidemark_tools._native: a recipe for Arrow
// streams. Each stream() call opens a new BatchSource (so every consumer
// reads the data from its start) and hands it out as an ArrowArrayStream in a
// PyCapsule named "arrow_array_stream"; schema() gives the ArrowSchema of its
// batches in a capsule named "arrow_schema".
//
// Consumers call the stream's callbacks from any thread, several at once if
// they like: the calls are serialised. get_next releases the interpreter lock
// while it builds a batch when the calling thread holds it, so other Python
// threads run meanwhile; between chunks of work it lets the interpreter run
// its signal handlers when called from the main thread, and a handler that
// raises (Ctrl-C) fails the stream with "interrupted", its exception raised
// again as soon as Python code runs.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "batch_source.h"
#include "binding.h"
#include "status.h"

namespace tidemark::py {

struct ArrowSourceState {
  // Opens a new source of the batches from their start.
  std::function<Result<std::unique_ptr<arrow::BatchSource>>()> open;
  std::vector<arrow::ColumnSpec> columns;
  // When set, stop() calls it: it ends the streams that follow a growing
  // file at their next wait.
  std::function<void()> stop;
};

extern const ClassDef kArrowSourceClass;

// Returns a new ArrowSource object holding `state`, or nullptr with an
// exception set.
PyObject* new_arrow_source(ArrowSourceState state);

}  // namespace tidemark::py
