// A replay of books split by token over several threads.
//
// The reading thread decodes the files once (ReplayEngine) and deals the
// messages of each chunk out to shards by book key: every message of a token
// goes to the same shard, so each shard's BookSet sees exactly the messages
// a single BookSet would see for its tokens, in the same order. A shard
// turns its messages into rows: a row is a fixed number of 64-bit words that
// its table defines, tagged with the message it follows. The reading thread
// then walks the chunk in file order and hands the rows out in that order
// (ShardCursor), so a table writes exactly the rows that one thread would
// write, in the same order.
//
// There are several shards per thread. With `threads` threads in all, the
// reading thread is one of them: it applies the last shards itself, and
// threads - 1 threads of the pool take the others, so that as many threads
// are busy as were asked for. Where the shards split between the reading
// thread and the pool follows the load, measured in processor time (which
// other processes on the machine do not distort): every few chunks the pool
// weighs what each shard cost and what the reading thread spent besides,
// and moves the split one shard towards the most even share. A shard thus
// stays on one thread (its books in one core's cache) except when the split
// moves. A shard applies its chunks in file order: a task waits until its
// shard is done with the chunk before.
//
// Several chunks are in flight at once: while the shards apply one, the
// reading thread decodes the next and writes the rows of the one before.
// The threads are joined when the pool is destroyed, whatever state it is
// in; nothing a shard does throws out of its thread (a failure to allocate
// becomes the pool's error).
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "feed_message.h"
#include "orderbook.h"
#include "replay_engine.h"
#include "status.h"

namespace tidemark::arrow {

// The rows a shard writes for one chunk: `stride` words per row, the first
// being the row's message index within the shard's part of the chunk.
// Aligned to a cache line: the shards of a chunk fill their rows on several
// threads at once.
class alignas(64) ShardRows {
 public:
  explicit ShardRows(std::size_t stride) : stride_(stride) {}
  // Appends a row after message `local` and returns its words after the
  // index, to be filled by the caller (they hold whatever was there).
  uint64_t* add(std::size_t local) {
    const std::size_t at = used_;
    // The storage only grows, doubling, and is never cleared: a row costs
    // no zeroing and, once the storage has room for a chunk, no check
    // beyond this one.
    if (at + stride_ > words_.size()) words_.resize(std::max(2 * words_.size(), at + stride_));
    used_ = at + stride_;
    ++rows_;
    words_[at] = local;
    return words_.data() + at + 1;
  }
  // The row after message `local`: the last row when it follows that
  // message already, else a new one (its words 0).
  uint64_t* row_for(std::size_t local) {
    if (rows_ != 0 && words_[used_ - stride_] == local) return words_.data() + used_ - stride_ + 1;
    uint64_t* words = add(local);
    std::fill(words, words + stride_ - 1, uint64_t{0});
    return words;
  }
  std::size_t rows() const { return rows_; }
  const uint64_t* row(std::size_t k) const { return words_.data() + k * stride_; }
  std::size_t stride() const { return stride_; }
  void clear() { used_ = rows_ = 0; }

 private:
  std::size_t stride_;
  std::size_t used_ = 0;  // words in use
  std::size_t rows_ = 0;
  std::vector<uint64_t> words_;
};

// Rows whose places the reading thread knows before the shards write them
// (ShardPool::place_rows): one block of memory for the whole chunk, `stride`
// words per row, in the order the rows come out. A row starts on a cache
// line of its own and the stride is whole lines, so shards on different
// cores never write to the same line.
class PlacedRows {
 public:
  static constexpr std::size_t kLineWords = 8;
  static std::size_t stride_for(std::size_t words) {
    return (words + kLineWords - 1) / kLineWords * kLineWords;
  }
  void set_stride(std::size_t stride) { stride_ = stride; }
  std::size_t stride() const { return stride_; }
  // Room for `rows` rows (what was there is not kept).
  void reserve(std::size_t rows) {
    const std::size_t words = rows * stride_ + kLineWords;
    if (words > words_.size()) words_.resize(std::max(words, words_.size() + words_.size() / 2));
    const auto address = reinterpret_cast<std::uintptr_t>(words_.data());
    first_ = words_.data() + (kLineWords - (address / 8) % kLineWords) % kLineWords;
  }
  // Row r's words: written by the shard that owns its key.
  uint64_t* row(std::size_t r) const { return first_ + r * stride_; }

 private:
  std::size_t stride_ = 0;
  std::vector<uint64_t> words_;
  uint64_t* first_ = nullptr;
};

struct ShardChunk;

// What a shard does with its messages: applies them to its own books and
// writes rows. One object per shard, used by that shard's thread only.
class ShardWorker {
 public:
  virtual ~ShardWorker() = default;
  virtual void apply(const FeedMessage* messages, std::size_t count, ShardRows& out) = 0;
  // The same for shard `shard`'s part of `chunk`; a worker that reads the
  // chunk's cuts overrides this.
  virtual void apply_chunk(const ShardChunk& chunk, std::size_t shard, ShardRows& out);
};

// A point between two messages of a chunk at which every shard reads its
// books (a grid time): `at` is the message of the chunk it comes before
// (the chunk's size: after the last), `local` the number of each shard's
// messages before it, `data` what the planner put there.
struct ShardCut {
  std::size_t at = 0;
  std::vector<uint32_t> local;
  std::vector<uint64_t> data;
  // With placed rows: the cut's first row, and the keys whose rows it
  // writes in the order they come out (shared by the cuts until it changes).
  std::size_t first_row = 0;
  std::shared_ptr<const std::vector<uint32_t>> keys;
};

// The most shards a pool splits into (a message's shard is kept in a byte).
inline constexpr uint64_t kMaxShards = 256;

// The shards a pool of `threads` threads splits the books into: two per
// thread and one more, so that the split can give the reading thread, which
// also reads and hands the rows out, a fifth of the books with two threads,
// or two fifths, or none. More shards would even the load out more finely,
// but each costs: every chunk applies in one run per shard, and shorter
// runs cost more per message.
inline std::size_t shard_count(uint64_t threads) {
  return static_cast<std::size_t>(
      std::min<uint64_t>(kMaxShards, 2 * std::max<uint64_t>(threads, 1) + 1));
}

// Which shard the messages of book key `key` go to, of `shards`.
inline std::size_t shard_of_key(uint32_t key, std::size_t shards) {
  // A mixing hash spreads tokens that share a stride (all even, say) evenly
  // over the shards. It must not be the books' own table hash (a product
  // with the golden ratio, whose top bits pick the slot): the tokens of a
  // shard would then all fall in one stretch of its table's slots, and
  // every lookup would probe far.
  uint32_t h = key;
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return static_cast<std::size_t>((uint64_t{h} * shards) >> 32);
}

// One chunk of messages as the shards got it: every message in file order,
// which shard each went to, where each shard's messages are in `all`, each
// shard's messages in file order (which the shard's task copies out of
// `all`, so that the reading thread only copies the chunk once), and the
// rows each shard wrote.
struct ShardChunk {
  std::vector<FeedMessage> all;                    // every message, in file order
  std::vector<uint8_t> shard_of;                   // per message of the chunk, in file order
  std::vector<uint32_t> file_of;                   // per message: the index of its file
  std::vector<std::vector<uint32_t>> index;        // per shard: its messages' places in `all`
  std::vector<std::vector<FeedMessage>> messages;  // per shard, filled by its task
  std::vector<ShardRows> rows;                     // per shard
  std::vector<ShardCut> cuts;                      // in order of `at`
  // With placed rows: how many, and the rows.
  std::size_t placed_count = 0;
  PlacedRows placed;
  // Under the pool's lock: the pool's threads take shards [0, split) from
  // next_pool on, the reading thread shards [split, shards) from next_own
  // on; pending counts the tasks not done yet.
  std::size_t split = 0;
  std::size_t next_pool = 0;
  std::size_t next_own = 0;
  std::size_t pending = 0;
};

// Walks a chunk in file order and gives each row with its message, in the
// order one thread would have written them.
class ShardCursor {
 public:
  void reset(const ShardChunk* chunk) {
    chunk_ = chunk;
    at_ = 0;
    if (chunk == nullptr) return;
    next_.resize(chunk->messages.size());
    for (std::size_t s = 0; s < next_.size(); ++s) {
      const ShardRows& rows = chunk->rows[s];
      // The shards wrote their rows on other cores: each shard's rows are
      // fetched kAheadRows ahead of the one handed out, so that the reading
      // thread does not wait for each row in turn.
      const uint64_t* ahead = rows.row(std::min<std::size_t>(rows.rows(), kAheadRows));
      for (const char* p = reinterpret_cast<const char*>(rows.row(0));
           p < reinterpret_cast<const char*>(ahead); p += 64) {
        prefetch_line(p);
      }
      next_[s] = Next{0, rows.row(0), rows.row(rows.rows()), rows.stride(), ahead};
    }
  }
  bool active() const { return chunk_ != nullptr; }
  // The index of the file that the last row's message comes from.
  std::size_t file() const { return chunk_->file_of[at_]; }

  // The next row of the chunk and the message it follows; false when the
  // chunk has no more rows.
  bool next(const FeedMessage*& message, const uint64_t*& words) {
    const std::size_t count = chunk_->shard_of.size();
    const uint8_t* shard_of = chunk_->shard_of.data();
    for (; at_ < count; ++at_) {
      Next& n = next_[shard_of[at_]];
      // A message may have several rows: stay on it until they are out.
      if (n.row != n.end && n.row[0] == n.local) {
        // The reading thread's own copy of the message: the shard's copy
        // sits in the other core's cache.
        message = chunk_->all.data() + at_;
        words = n.row + 1;
        n.row += n.stride;
        if (n.ahead < n.end) {
          for (std::size_t b = 0; b < n.stride * 8; b += 64) {
            prefetch_line(reinterpret_cast<const char*>(n.ahead) + b);
          }
          n.ahead += n.stride;
        }
        return true;
      }
      ++n.local;
    }
    return false;
  }

 private:
  // Per shard: its next message, its next row (and the end of its rows) and
  // the next row to fetch ahead.
  struct Next {
    std::size_t local;
    const uint64_t* row;
    const uint64_t* end;
    std::size_t stride;
    const uint64_t* ahead;
  };
  static constexpr std::size_t kAheadRows = 8;
  const ShardChunk* chunk_ = nullptr;
  std::size_t at_ = 0;
  std::vector<Next> next_;
};

class ShardPool {
 public:
  using Chunk = ShardChunk;
  // Called on the reading thread with the messages of each read, in file
  // order, before they are dealt out (and once with none at the end).
  using ReadHook = std::function<void(const FeedMessage*, std::size_t)>;
  // Called on the reading thread with each message, in file order, before
  // it is dealt out: returns true when a cut goes before it, with the cut's
  // data filled in (data[0]: the rows it writes, which bound the cuts of a
  // chunk). Called with nullptr once after the last message (not
  // after a failed read): true puts a last cut after every message.
  using CutPlanner = std::function<bool(const FeedMessage*, std::vector<uint64_t>&)>;
  // With placed rows: the keys of the cut just planned, in the order of its
  // rows.
  using CutKeys = std::function<std::shared_ptr<const std::vector<uint32_t>>()>;

  // Splits the messages that `engine` reads over one shard per worker, on
  // `threads` threads in all, the reading thread included (0: one per
  // worker; see shard_count). `stride` is the words per row including the
  // message index, and `row_bytes` the size of a row once written (bounds
  // the messages per chunk, so that a chunk's rows stay within a few
  // megabytes).
  ShardPool(ReplayEngine& engine, std::vector<std::unique_ptr<ShardWorker>> workers,
            std::size_t stride, std::size_t row_bytes, std::size_t threads = 0);
  ~ShardPool();
  ShardPool(const ShardPool&) = delete;
  ShardPool& operator=(const ShardPool&) = delete;

  // Starts the pool's threads; fails when the system refuses one.
  Status start();

  // Reads whole reads of the engine into each chunk (a chunk may then pass
  // its size by one read), and calls `hook` with each (see ReadHook).
  void set_read_hook(ReadHook hook) { hook_ = std::move(hook); }
  // Plans cuts between the messages (see CutPlanner).
  void set_cut_planner(CutPlanner planner) { planner_ = std::move(planner); }
  // With a cut planner: has the reading thread place the rows of each
  // chunk's cuts before the shards apply it, `words` words each
  // (ShardChunk::placed), data[0] rows per cut, for the keys that `keys`
  // gives. The shards write their rows in place, and the rows come out in
  // order without a merge of the shards' rows.
  void place_rows(std::size_t words, CutKeys keys) {
    place_words_ = words;
    cut_keys_ = std::move(keys);
    for (Chunk& chunk : ring_) chunk.placed.set_stride(PlacedRows::stride_for(words));
  }

  // The oldest chunk once every shard is done with it, reading and dealing
  // out more chunks first while there is room. Returns nullptr once every
  // message has been read and handed out (the engine tells whether reading
  // failed), or, for a followed file that paused, every message before the
  // pause (the engine tells: take_pause(); reading goes on once taken). Throws std::bad_alloc when
  // a shard ran out of memory, as the reading thread would have.
  const Chunk* front();
  // Releases the chunk front() returned.
  void pop();

  // The rows of the chunks in file order, one at a time: kRow with the row
  // and its message, kChunkDone between chunks (a point to stop at), kEnd
  // once every row is out.
  enum class RowStep { kRow, kChunkDone, kEnd };
  RowStep next_row(const FeedMessage*& message, const uint64_t*& words) {
    if (!cursor_.active()) {
      const Chunk* chunk = front();
      if (chunk == nullptr) return RowStep::kEnd;
      cursor_.reset(chunk);
    }
    if (cursor_.next(message, words)) return RowStep::kRow;
    cursor_.reset(nullptr);
    pop();
    return RowStep::kChunkDone;
  }
  // The index of the file of the message of the last kRow.
  std::size_t row_file() const { return cursor_.file(); }

  std::size_t shards() const { return workers_.size(); }
  // Shard s's worker: for the reading thread once front() has returned
  // nullptr (every shard is then idle).
  ShardWorker& worker(std::size_t s) { return *workers_[s]; }

 private:
  void fill();
  bool read_chunk(Chunk& chunk);
  void plan_cut(Chunk& chunk, const FeedMessage* next);
  // Makes room for the placed rows of the chunk's cuts, when rows are placed.
  void place(Chunk& chunk);
  void run();
  // Applies shard s's part of `chunk` (without the lock); false when
  // memory ran out.
  bool apply(Chunk& chunk, std::size_t s);
  // Under the lock: shard s's task of chunk `number` is done (ok: it did
  // not run out of memory), having taken `cpu_ns` of its thread's time.
  void finish_task(Chunk& chunk, uint64_t number, std::size_t s, bool ok, int64_t cpu_ns);
  // Under the lock: a task that can run now, from chunk `from` on, of the
  // reading thread's side of the split (`own`) or the pool's (false: none).
  bool take(uint64_t from, bool own, Chunk*& chunk, uint64_t& number, std::size_t& s);
  // Under the lock, as a chunk is handed out: moves the split by the waits.
  void balance();

  ReplayEngine& engine_;
  std::vector<std::unique_ptr<ShardWorker>> workers_;
  std::size_t chunk_messages_;
  std::vector<Chunk> ring_;
  std::size_t thread_count_;  // the reading thread included
  std::vector<std::thread> threads_;
  ReadHook hook_;
  CutPlanner planner_;
  std::size_t place_words_ = 0;  // words per placed row (0: rows are not placed)
  CutKeys cut_keys_;
  bool planned_end_ = false;
  std::vector<uint64_t> cut_data_;
  std::size_t cut_rows_ = 0;     // the rows of the chunk's cuts so far
  std::vector<uint32_t> dealt_;  // per shard: its messages in the chunk so far
  ShardCursor cursor_;

  // Chunks handed out (to every shard) and taken back by front()/pop(),
  // counted from the start; chunk k lives at ring_[k % ring_.size()].
  std::mutex mutex_;
  std::condition_variable work_;   // a chunk handed out, a task done, or stop
  std::condition_variable done_;   // a task done (the reading thread waits on it)
  std::vector<uint64_t> applied_;  // per shard: the chunks it has applied
  std::size_t waiting_ = 0;        // pool threads waiting on work_
  // The split of the next chunk handed out, the chunks handed out since it
  // was last weighed, and since then: each shard's processor time, the
  // reading thread's time in its own shards, and its whole time then.
  std::size_t split_ = 0;
  std::size_t since_balance_ = 0;
  std::vector<int64_t> cost_ns_;
  int64_t own_ns_ = 0;
  int64_t reader_ns_at_ = 0;
  std::thread::id reader_thread_;
  uint64_t submitted_ = 0;
  uint64_t taken_ = 0;
  bool stop_ = false;
  bool failed_ = false;  // a shard ran out of memory
  bool read_all_ = false;
};

}  // namespace tidemark::arrow
