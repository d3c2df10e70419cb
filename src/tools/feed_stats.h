// What a feed file holds, counted in one pass with the streaming loader's
// framing: records by type, padding and skipped bytes, messages per token,
// the first and last sequence numbers and exchange timestamps, and where
// decoding stopped with an error if it did.
//
// FeedStatsScan owns its open file. step() decodes a bounded number of bytes
// at a time so that a caller can report progress between steps; it touches
// no Python object and may run without the interpreter lock. Plain C++: no
// Python.h here.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "feed_decoder.h"
#include "status.h"

namespace tidemark {

struct FeedStats {
  uint64_t file_size = 0;
  uint64_t bytes_scanned = 0;  // the decoder's position when the scan stopped
  uint64_t messages = 0;       // order and trade messages decoded
  // Every record the framing met, known and unknown, by its type byte.
  std::array<uint64_t, 256> records_by_type{};
  uint64_t padding_bytes = 0;
  uint64_t unknown_records = 0;
  uint64_t unknown_bytes = 0;  // whole skipped records, headers included
  // Messages per book key (a trade's signed token read as its 32 bits).
  std::unordered_map<uint32_t, uint64_t> messages_by_token;
  // Set from the first and the last message; meaningless while messages is 0.
  uint32_t first_seq_no = 0, last_seq_no = 0;
  uint64_t first_exch_ts = 0, last_exch_ts = 0;
  uint64_t min_exch_ts = 0, max_exch_ts = 0;
  // Messages stamped earlier than the message before them.
  uint64_t exch_ts_backwards = 0;
  // Sequence gaps over every record the framing met, per stream_id: a
  // number more than one above the stream's highest so far.
  uint64_t sequence_gaps = 0;
  uint64_t sequence_missing = 0;  // numbers missing in those gaps
  // Decoding stopped with an error: its text, and the offset of the record
  // (or of the first header) that could not be decoded.
  bool failed = false;
  uint64_t error_offset = 0;
  std::string error;
};

class FeedStatsScan {
 public:
  // Opens `path` as a feed input (feed_input.h: "-" is standard input) and
  // checks its first record. Fails only when the input cannot be opened or
  // is refused (a directory, a device); a bad first record is a finding of
  // the scan, recorded in stats() with offset 0, and so is a read error later
  // on. For a pipe or a compressed file, file_size counts the feed's bytes
  // read so far.
  static Result<std::unique_ptr<FeedStatsScan>> open(const std::string& path);

  // Decodes until at least `budget` more bytes are consumed, the file ends
  // or decoding fails. Returns true once the scan is over.
  bool step(uint64_t budget);

  // Returns what has been counted so far.
  const FeedStats& stats() const { return stats_; }

 private:
  FeedStatsScan(std::unique_ptr<FeedFile> file, uint64_t size, bool sized);
  void count(const FeedMessage& m);
  void count_sequence(const RecordHeader& header);
  static void on_skipped(void* context, const RecordHeader& header);

  std::unique_ptr<FeedFile> file_;
  FeedStats stats_;
  SkipTally tally_;
  bool sized_;  // file_size is known in advance
  bool done_ = false;
  std::unordered_map<uint16_t, uint32_t> last_seq_no_;  // per stream_id
};

}  // namespace tidemark
