// A source of Arrow record batches: the plain C++ side of an Arrow stream.
// The binding wraps one in an ArrowArrayStream (py_arrow_source.cc); each
// stream owns its own source, so a source is used by one thread at a time and
// needs no locking. Nothing here touches Python.
#pragma once

#include <string>
#include <vector>

#include "arrow_c.h"
#include "arrow_columns.h"

namespace tidemark::arrow {

enum class BatchStep { kBatch, kEnd, kError };

class BatchSource {
 public:
  virtual ~BatchSource() = default;

  // Returns the columns of every batch, in order.
  virtual const std::vector<ColumnSpec>& columns() const = 0;

  // Builds the next batch into `out`: kBatch with a batch of at least one
  // row, kEnd when there is none left, or kError with the text in `error`.
  // After kError every later call fails the same way. May throw
  // std::bad_alloc.
  virtual BatchStep next_batch(ArrowArray* out, std::string& error) = 0;
};

}  // namespace tidemark::arrow
