// The native state of a streaming loader: at most one open feed file whose
// logical position is the loader's cursor, and optionally its own copy of a
// contract table used to enrich the messages it hands out. A failed open
// leaves the previous stream and its cursor untouched; the attached table
// does not depend on the stream at all.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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

// Reads batches of a loader's messages on a thread of its own, one batch
// ahead of its caller, so that decoding runs on another core while the
// caller uses the batch before. The caller starts a batch with start(), does
// its own work, then takes the batch with finish(); between the two only the
// thread touches the loader. The reads are the loader's own next_messages
// calls, in the same order and with the same sizes as if the caller made
// them, so the loader's position, its messages and its errors are exactly
// those of reading without the thread. The thread is started by the first
// batch and ended, after the batch it may be reading, by the destructor:
// on every way out of the caller's scope.
class ReadAhead {
 public:
  explicit ReadAhead(StreamingLoader& loader) : loader_(loader) {}
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  ~ReadAhead();

  // Starts reading up to `max` (> 0) messages into `out`, which must stay
  // valid until finish(). Returns false, having read nothing, when no thread
  // could be started: the caller then reads the batch itself.
  bool start(FeedMessage* out, std::size_t max);

  // Waits for the batch started last and returns what the loader's
  // next_messages returned for it. An exception thrown by the read is thrown
  // again here.
  std::size_t finish(ReadStep& last, std::string& error);

 private:
  void run();

  StreamingLoader& loader_;
  std::mutex mutex_;
  std::condition_variable wake_;  // a batch was started, or the thread must stop
  std::condition_variable done_;  // the batch was read
  std::thread thread_;
  bool started_ = false;  // a batch is waiting for the thread or being read
  bool finished_ = false;  // the batch was read and not taken yet
  bool stop_ = false;
  FeedMessage* out_ = nullptr;
  std::size_t max_ = 0;
  std::size_t count_ = 0;
  ReadStep last_ = ReadStep::kMessage;
  std::string error_;
  std::exception_ptr failure_;
};

}  // namespace tidemark
