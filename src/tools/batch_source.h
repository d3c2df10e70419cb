// A source of Arrow record batches: the plain C++ side of an Arrow stream.
// The binding wraps one in an ArrowArrayStream (py_arrow_source.cc), which
// serialises every call into it, so a source is used by one thread at a time
// and needs no locking of its own. Nothing here touches Python.
//
// Long work is interruptible: a source asks interrupted() between chunks of
// work (a few thousand messages or rows at most), and when it answers true
// ends the call with kError and kInterruptedText. The binding answers by
// letting the interpreter run its signal handlers, so Ctrl-C stops a batch
// within a fraction of a second.
#pragma once

#include <string>
#include <vector>

#include "arrow_c.h"
#include "arrow_columns.h"

namespace tidemark::arrow {

enum class BatchStep { kBatch, kEnd, kError };

// The error text of a source whose work was interrupted.
inline constexpr const char* kInterruptedText = "interrupted";

// Decides whether long work should stop; provided by whoever runs a source.
class Interruption {
 public:
  virtual ~Interruption() = default;
  // Returns true when the work should stop now. Cheap enough to call after
  // every chunk: it does real work only every few tens of milliseconds.
  virtual bool requested() = 0;
};

class BatchSource {
 public:
  virtual ~BatchSource() = default;

  // Returns the columns of every batch, in order.
  virtual const std::vector<ColumnSpec>& columns() const = 0;

  // Builds the next batch into `out`: kBatch with a batch of at least one
  // row, kEnd when there is none left, or kError with the text in `error`.
  // After kError every later call fails the same way (an interrupted source
  // too: its batch was left half built). May throw std::bad_alloc.
  virtual BatchStep next_batch(ArrowArray* out, std::string& error) = 0;

  // Sets what interrupted() asks (not owned; null: never interrupted).
  void set_interruption(Interruption* interruption) { interruption_ = interruption; }

 protected:
  // Returns true when the work should stop. A source asks between chunks of
  // work and then fails with kInterruptedText, as a sticky error.
  bool interrupted() const { return interruption_ != nullptr && interruption_->requested(); }

 private:
  Interruption* interruption_ = nullptr;
};

}  // namespace tidemark::arrow
