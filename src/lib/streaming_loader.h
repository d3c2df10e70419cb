// The native state of a streaming loader: at most one open feed file whose
// logical position is the loader's cursor, and optionally its own copy of a
// contract table used to enrich the messages it hands out. A failed open
// leaves the previous stream and its cursor untouched; the attached table
// does not depend on the stream at all.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "contract_master.h"
#include "feed_decoder.h"
#include "feed_message.h"
#include "status.h"

namespace tidemark {

class StreamingLoader {
 public:
  // Opens `path`, validates its first header and, when `count` is true,
  // counts its messages on a separate handle. Returns the count (0 when not
  // counting); on failure the loader keeps its previous stream.
  Result<uint64_t> open_stream(const std::string& path, bool count);

  // The loader's native step: the next message, kEnd with no stream or at
  // the end, or kError with the decoder's text.
  ReadStep next_message(FeedMessage& out, std::string& error);

  // The native step for up to `max` messages at once; returns how many were
  // read, with `last` telling why it stopped short (see read_messages).
  std::size_t next_messages(FeedMessage* out, std::size_t max, ReadStep& last, std::string& error) {
    if (!stream_) {
      last = ReadStep::kEnd;
      return 0;
    }
    return read_messages(*stream_, out, max, last, error);
  }

  // True when no further message follows; the cursor does not move.
  Result<bool> is_end_of_msg();

  // Moves the cursor back to offset 0; nothing happens without a stream.
  Status reset_cursor();

  bool has_stream() const { return stream_ != nullptr; }

  // Keeps a copy of `table` (a snapshot: later changes to `table` do not
  // reach it), replacing any earlier one. The earlier one stays if the copy
  // cannot be made.
  void attach_contracts(const ContractTable& table) {
    ContractTable copy = table;
    contracts_ = std::move(copy);
  }

  // Drops the attached table, if any.
  void detach_contracts() { contracts_.reset(); }

  // Returns the attached table, or nullptr when none is attached.
  const ContractTable* contracts() const { return contracts_ ? &*contracts_ : nullptr; }

 private:
  std::unique_ptr<FeedFile> stream_;
  std::optional<ContractTable> contracts_;
};

}  // namespace tidemark
