// The messages of several feed files merged by exch_ts: at each step the
// next message is the head of the file whose head has the smallest exch_ts,
// ties going to the file listed first. It is a merge of the files' own
// orders, not a sort, so a timestamp running backwards inside a file stays
// where it is in that file. Each file is decoded a chunk at a time, so memory
// is one small buffer of messages per file, whatever the files' length.
//
// A file that fails to decode fails the merge at the point where its next
// head is needed (after every message before the failed record has been
// merged), unless the reader is told to keep going: the failed file then
// simply ends and the failure is kept for the caller (the integrity check
// reports each file's own error and reads the others to their end).
//
// Plain C++: no Python.h here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "feed_decoder.h"
#include "feed_input.h"
#include "feed_message.h"

namespace tidemark::arrow {

class MergedReader {
 public:
  // Told about every record of another type that a file's framing skips,
  // in merged order: `file` is the file's index and `before` the number of
  // merged messages written by the read() in progress before the record.
  struct SkipObserver {
    virtual ~SkipObserver() = default;
    virtual void skipped(std::size_t file, const RecordHeader& header, std::size_t before) = 0;
  };

  // A file that failed to decode while the reader kept going.
  struct FileError {
    std::size_t file;
    std::string text;
    uint64_t offset;  // where the failed record began (with an observer)
  };

  // Merges `files` (each open at offset 0 past its checked first record; a
  // null one counts as a file that has ended).
  explicit MergedReader(std::vector<std::unique_ptr<FeedFile>> files);

  // Reads record by record from now on, telling `observer` of the records
  // each file's framing skips (a slower read, for the integrity check).
  void set_observer(SkipObserver* observer) { observer_ = observer; }
  // With `keep_going`, a file that fails to decode ends there and its error
  // is kept in file_errors() instead of failing the merge.
  void set_keep_going(bool keep_going) { keep_going_ = keep_going; }

  // Writes up to `max` next messages of the merge to `out`, and the index
  // of the file each came from to `files`; returns how many. Fewer than
  // `max` means the merge is over: step() then tells whether every file has
  // ended (kEnd) or one failed (kError, with failed_file() and error()).
  std::size_t read(FeedMessage* out, uint32_t* files, std::size_t max);

  ReadStep step() const { return step_; }
  // True once after a read() that stopped short only because a followed
  // file paused (its next head is not written yet, and a flush interval has
  // passed): the merge goes on at the next read().
  bool take_pause() { return std::exchange(paused_, false); }
  // The flush clock of the followed files: armed before a decode that may
  // wait while merged or decoded messages are pending, so that the wait
  // ends when they are due.
  void set_flush_clock(std::shared_ptr<input::FlushClock> clock) { clock_ = std::move(clock); }
  std::size_t failed_file() const { return failed_file_; }
  const std::string& error() const { return error_; }
  const std::vector<FileError>& file_errors() const { return file_errors_; }
  std::size_t size() const { return inputs_.size(); }

 private:
  struct Input {
    std::unique_ptr<FeedFile> file;
    std::vector<FeedMessage> chunk;
    std::size_t pos = 0;
    std::size_t count = 0;
    ReadStep step = ReadStep::kMessage;
    std::string error;
    // With an observer: the framing's tally, and the skipped records of the
    // chunk with the index of the chunk message each precedes.
    SkipTally tally;
    std::vector<std::pair<std::size_t, RecordHeader>> skipped;
    std::size_t next_skipped = 0;
  };

  // A file's next message in the merge order: exch_ts above the file's
  // place in the list, so that keys compare as the merge rule orders them;
  // kNone (a file with no message left) comes after every message.
  using Key = unsigned __int128;
  static constexpr Key kNone = ~Key{0};
  static Key key_of(uint64_t ts, std::size_t file) { return (Key{ts} << 32) | file; }

  // Refills, in file order, the inputs whose decoded messages are used up,
  // and settles those that ended or failed; `n` messages were written by
  // the read() in progress. Returns false when the read must stop here (a
  // followed file paused, or a file failed), else true with the tree built
  // over every input's head.
  bool prepare(std::size_t n);
  // Builds the tree of matches between the inputs' heads.
  void build_tree();
  // Whether any input has decoded messages not merged yet.
  bool pending() const;
  // Decodes the next chunk of input `i`.
  void refill(std::size_t i);
  // Tells the observer of input `i`'s skipped records that precede its
  // chunk message `upto` (all of them when `upto` is the chunk's end).
  void report_skipped(std::size_t i, std::size_t upto, std::size_t before);
  static void on_skipped(void* context, const RecordHeader& header);

  std::vector<Input> inputs_;
  SkipObserver* observer_ = nullptr;
  bool keep_going_ = false;
  ReadStep step_ = ReadStep::kMessage;
  std::size_t failed_file_ = 0;
  std::string error_;
  std::vector<FileError> file_errors_;
  Input* filling_ = nullptr;  // the input being decoded (for on_skipped)
  // A followed file paused while its decoded messages remain: the read
  // stops (paused) before the next decode, which could wait.
  bool pause_pending_ = false;
  bool paused_ = false;
  std::shared_ptr<input::FlushClock> clock_;
  // A tournament between the inputs' heads, over a power of two of leaves
  // (those past the inputs empty): tree_[0] holds the head that comes next
  // and tree_[node] the loser of the match at each inner node (node 1 the
  // top, 2 * node and 2 * node + 1 below it; leaf i is at tree_.size() + i).
  // A new head replays only the matches on its leaf's path. Valid while
  // heads_ready_: an input whose chunk runs out clears it, and the next read
  // goes through prepare() again.
  struct Node {
    Key key;
    uint32_t file;
  };
  std::vector<Node> tree_;
  bool heads_ready_ = false;
};

}  // namespace tidemark::arrow
