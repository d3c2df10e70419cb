// The integrity check of one feed file, in one replay: what the framing
// finds (records of every type, sequence numbers per stream_id, timestamps)
// and what the books find (references to orders they do not hold, ids
// reused while resting, crossed books).
//
// - Sequence numbers run over every record the framing finds, known or
//   unknown type, per stream_id: a number more than one above the last is a
//   gap (numbers missing), one at or below the last is repeated or backward.
// - exch_ts (known records only, per stream_id): a value below the one
//   before runs backwards; one more than jump_ns above it is a clock jump.
// - Books (the landed rules, every message, no filter): a modify or cancel
//   of an id the token's book does not hold, a trade naming an id it does
//   not hold (and one naming neither), a new order whose id rests already,
//   and every message after which its token's book is crossed (best bid at
//   or above best ask).
// Lists keep the first kCheckListed cases.
//
// Several files may be checked in one replay merged by exch_ts: each file
// keeps its own report (its framing findings are those of the file alone),
// the books are shared (keyed by token), and each book finding goes to the
// file of the message it was found at. A file that fails to decode ends
// there with its error in its report; the others are read to their end.
// Plain C++, no Python.h here.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "feed_decoder.h"
#include "replay_engine.h"
#include "shard_pool.h"

namespace tidemark::arrow {

inline constexpr std::size_t kCheckListed = 100;

// A count of cases and the first kCheckListed of them, each a few numbers.
struct CaseList {
  uint64_t count = 0;
  std::vector<std::array<uint64_t, 3>> first;
  void add(uint64_t a, uint64_t b, uint64_t c = 0) {
    ++count;
    if (first.size() < kCheckListed) first.push_back({a, b, c});
  }
};

struct StreamCheck {
  uint64_t records = 0;
  uint32_t first_seq_no = 0;
  uint32_t last_seq_no = 0;
  uint64_t missing = 0;  // sequence numbers missing in the gaps
  CaseList gaps;         // (after, next)
  CaseList repeated;     // (previous, seq_no): repeated or backward
  CaseList backwards;    // (seq_no, previous exch_ts, exch_ts)
  CaseList jumps;        // (seq_no, previous exch_ts, exch_ts)
  bool has_ts = false;
  uint64_t last_ts = 0;
};

struct FeedCheck {
  uint64_t messages = 0;
  std::array<uint64_t, 256> records_by_type{};
  std::map<uint16_t, StreamCheck> streams;
  uint64_t unknown_modify = 0;
  uint64_t unknown_cancel = 0;
  uint64_t unknown_trade = 0;          // trades naming at least one id not held
  uint64_t unknown_trade_neither = 0;  // trades naming no id held
  CaseList reused_ids;                 // (seq_no, token, order_id)
  CaseList crossed;                    // (seq_no, token)
  uint64_t crossed_at_end = 0;         // books crossed after the last message
  bool failed = false;
  uint64_t error_offset = 0;
  std::string error;

  // Whether the check fails: a decode error, a gap or a repeated number.
  bool faulty() const;
};

class FeedChecker : private ReplayEngine::Observer {
 public:
  // Checks the feed read from `file` (at offset 0, first record not yet
  // checked: a bad first record is a finding).
  FeedChecker(std::unique_ptr<FeedFile> file, uint64_t jump_ns);
  // Checks `files` (each at offset 0) merged by exch_ts, with one report
  // per file.
  FeedChecker(std::vector<std::unique_ptr<FeedFile>> files, uint64_t jump_ns);

  // Checks the books in `threads` shards (before the first step).
  Status set_threads(uint64_t threads);

  // Checks one chunk of messages. Returns true once the file is done.
  bool step();

  const FeedCheck& result() const { return checks_.front(); }
  const std::vector<FeedCheck>& results() const { return checks_; }

 private:
  void skipped(const RecordHeader& header, std::size_t before, std::size_t file) override;
  void record(FeedCheck& check, const RecordHeader& header, const uint64_t* exch_ts);
  void finish();
  void check_books(const FeedMessage* run, std::size_t n);
  void check_framing(const FeedMessage* run, std::size_t n);
  // Counts what the books found at message m of file `file` (flags of
  // BookFinding; the id of a reused order).
  void take_finding(std::size_t file, const FeedMessage& m, uint64_t flags, uint64_t order_id);
  bool step_shards();

  ReplayEngine engine_;
  uint64_t jump_ns_;
  std::vector<FeedCheck> checks_;  // one per file
  bool done_ = false;
  // Records of unknown types met while reading the current chunk, with the
  // index of the message each came before and the file they are in.
  struct Skipped {
    std::size_t before;
    std::size_t file;
    RecordHeader header;
  };
  std::vector<Skipped> skipped_;
  // The books crossed now, each with the file of the message that left it so.
  std::unordered_map<uint32_t, std::size_t> crossed_books_;
  std::unordered_set<uint32_t> crossed_now_;  // the same tokens, for the books' walk
  DepthView view_;
  std::unique_ptr<ShardPool> pool_;  // the books in shards (threads > 1)
};

}  // namespace tidemark::arrow
