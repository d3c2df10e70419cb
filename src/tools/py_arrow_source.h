// The native class ArrowSource of tidemark_tools._native: a recipe for Arrow
// streams. Each stream() call opens a new BatchSource (so every consumer
// reads the data from its start) and hands it out as an ArrowArrayStream in a
// PyCapsule named "arrow_array_stream"; schema() gives the ArrowSchema of its
// batches in a capsule named "arrow_schema".
//
// The stream's callbacks never touch Python objects: consumers call them from
// any thread. get_next releases the interpreter lock while it builds a batch
// when the calling thread holds it, so other Python threads run meanwhile.
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
};

extern const ClassDef kArrowSourceClass;

// Returns a new ArrowSource object holding `state`, or nullptr with an
// exception set.
PyObject* new_arrow_source(ArrowSourceState state);

}  // namespace tidemark::py
