#include "shard_pool.h"

#include <algorithm>
#include <ctime>
#include <exception>
#include <new>
#include <system_error>
#include <utility>

namespace tidemark::arrow {

namespace {

// Chunks in flight: one being read, one being applied, one being written
// out, and one spare so that a shard that runs ahead need not wait.
constexpr std::size_t kRingChunks = 4;
// Messages per chunk: enough that handing a chunk over costs little next to
// applying it and that each shard applies long runs (a run costs more per
// message the shorter it is), and no more than keeps a chunk's rows within
// kChunkRowBytes. A shard's thread writes the rows and the reading thread
// reads them soon after: rows that fit in a core's cache pass from one to
// the other without a round trip through memory. (With 5 levels a row is
// 128 bytes, and chunks of 8 MiB of rows made book_series 10% slower.)
constexpr std::size_t kMaxChunkMessages = 65536;
constexpr std::size_t kMinChunkMessages = 64;
constexpr std::size_t kChunkRowBytes = std::size_t{2} << 20;
// The split between the reading thread's shards and the pool's is weighed
// every kBalanceChunks chunks.
constexpr std::size_t kBalanceChunks = 4;

// The processor time of the calling thread.
int64_t thread_cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

void ShardWorker::apply_chunk(const ShardChunk& chunk, std::size_t shard, ShardRows& out) {
  const std::vector<FeedMessage>& messages = chunk.messages[shard];
  apply(messages.data(), messages.size(), out);
}

ShardPool::ShardPool(ReplayEngine& engine, std::vector<std::unique_ptr<ShardWorker>> workers,
                     std::size_t stride, std::size_t row_bytes, std::size_t threads)
    : engine_(engine), workers_(std::move(workers)) {
  chunk_messages_ = std::clamp(kChunkRowBytes / std::max<std::size_t>(row_bytes, 1),
                               kMinChunkMessages, kMaxChunkMessages);
  thread_count_ = std::max<std::size_t>(threads != 0 ? threads : workers_.size(), 1);
  applied_.assign(workers_.size(), 0);
  // The reading thread starts with one shard (with one thread, all).
  const std::size_t shards = workers_.size();
  split_ = thread_count_ == 1 ? 0 : shards - std::min<std::size_t>(shards, 1);
  cost_ns_.assign(shards, 0);
  ring_.resize(kRingChunks);
  for (Chunk& chunk : ring_) {
    chunk.index.resize(workers_.size());
    chunk.messages.resize(workers_.size());
    chunk.rows.assign(workers_.size(), ShardRows(stride));
  }
}

ShardPool::~ShardPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  for (std::thread& t : threads_) t.join();
}

Status ShardPool::start() {
  try {
    // The reading thread is one of the threads.
    threads_.reserve(thread_count_ - 1);
    for (std::size_t t = 1; t < thread_count_; ++t) threads_.emplace_back([this] { run(); });
  } catch (const std::exception& e) {
    // The threads already started are joined by the destructor.
    return Status::error(std::string("cannot start a replay thread: ") + e.what());
  }
  return Status();
}

void ShardPool::plan_cut(Chunk& chunk, const FeedMessage* next) {
  cut_data_.clear();
  if (!planner_(next, cut_data_)) return;
  ShardCut& cut = chunk.cuts.emplace_back();
  cut.at = chunk.shard_of.size();
  cut.local.resize(workers_.size());
  for (std::size_t s = 0; s < workers_.size(); ++s) cut.local[s] = dealt_[s];
  cut.data = cut_data_;
  cut.first_row = cut_rows_;
  if (cut_keys_) cut.keys = cut_keys_();
  cut_rows_ += cut_data_.empty() ? 0 : cut_data_[0];
}

bool ShardPool::read_chunk(Chunk& chunk) {
  chunk.all.clear();
  chunk.shard_of.clear();
  chunk.file_of.clear();
  chunk.cuts.clear();
  chunk.placed_count = 0;
  cut_rows_ = 0;
  for (ShardRows& r : chunk.rows) r.clear();
  for (std::vector<uint32_t>& index : chunk.index) index.clear();
  const std::size_t shards = workers_.size();
  dealt_.assign(shards, 0);
  std::size_t count = 0;
  while (count < chunk_messages_) {
    const std::size_t available = engine_.available();
    if (hook_) hook_(engine_.messages(), available);
    if (available == 0) break;
    const std::size_t n = hook_ ? available : std::min(available, chunk_messages_ - count);
    const FeedMessage* run = engine_.messages();
    std::size_t i = 0;
    if (planner_) {
      for (; i < n; ++i) {
        // A chunk holds about as many rows of cuts as it holds messages.
        if (cut_rows_ >= chunk_messages_) break;
        plan_cut(chunk, &run[i]);
        const std::size_t s = shard_of_key(book_key(run[i]), shards);
        chunk.shard_of.push_back(static_cast<uint8_t>(s));
        ++dealt_[s];
      }
    } else {
      const std::size_t at = chunk.shard_of.size();
      chunk.shard_of.resize(at + n);
      uint8_t* shard_of = chunk.shard_of.data() + at;
      for (; i < n; ++i) {
        shard_of[i] = static_cast<uint8_t>(shard_of_key(book_key(run[i]), shards));
      }
    }
    const uint8_t* shard_of = chunk.shard_of.data();
    const std::size_t first = chunk.all.size();
    for (std::size_t k = 0; k < i; ++k) {
      chunk.index[shard_of[first + k]].push_back(static_cast<uint32_t>(first + k));
    }
    for (std::size_t k = 0; k < i; ++k) {
      chunk.file_of.push_back(static_cast<uint32_t>(engine_.file_of(k)));
    }
    chunk.all.insert(chunk.all.end(), run, run + i);
    engine_.consume(i);
    count += i;
    if (i != n) break;
  }
  place(chunk);
  return count != 0;
}

void ShardPool::place(Chunk& chunk) {
  if (place_words_ == 0) return;
  chunk.placed_count = cut_rows_;
  chunk.placed.reserve(chunk.placed_count);
}

void ShardPool::fill() {
  // A followed file that paused is read on only once the table has taken
  // the pause (after the rows before it are out).
  while (!read_all_ && !engine_.paused() && submitted_ - taken_ < ring_.size()) {
    Chunk& chunk = ring_[submitted_ % ring_.size()];
    if (!read_chunk(chunk)) {
      if (engine_.paused()) break;
      read_all_ = true;
      // The planner's last cut comes in a chunk of its own, without
      // messages (a failed replay has none).
      if (!planner_ || planned_end_ || engine_.failed()) break;
      planned_end_ = true;
      plan_cut(chunk, nullptr);
      if (chunk.cuts.empty()) break;
      place(chunk);
    }
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      balance();
      chunk.split = split_;
      chunk.next_pool = 0;
      chunk.next_own = split_;
      chunk.pending = workers_.size();
      ++submitted_;
      wake = waiting_ != 0;
    }
    if (wake) work_.notify_all();
  }
}

void ShardPool::balance() {
  if (thread_count_ == 1 || ++since_balance_ < kBalanceChunks) return;
  since_balance_ = 0;
  const int64_t now = thread_cpu_ns();
  const int64_t reader = now - reader_ns_at_;
  reader_ns_at_ = now;
  // The chunks may be read on any thread of the caller's: a window that
  // began on another thread tells nothing of this one's time.
  const bool same_thread = reader_thread_ == std::this_thread::get_id();
  reader_thread_ = std::this_thread::get_id();
  // What the reading thread did besides its shards: reading, handing out
  // rows, and whatever its caller does with them.
  const int64_t base = std::max<int64_t>(reader - own_ns_, 0);
  own_ns_ = 0;
  const std::size_t shards = workers_.size();
  int64_t total = 0;
  for (int64_t c : cost_ns_) total += c;
  if (total == 0 || !same_thread) {
    std::fill(cost_ns_.begin(), cost_ns_.end(), 0);
    return;
  }
  // The longer of the two sides' times with the split at `split`: the
  // pool's shards are shared by its threads.
  const int64_t helpers = static_cast<int64_t>(thread_count_ - 1);
  auto longer = [&](std::size_t split) {
    int64_t pool = 0;
    for (std::size_t v = 0; v < split; ++v) pool += cost_ns_[v];
    return std::max(pool / helpers, base + total - pool);
  };
  std::size_t best = split_;
  for (std::size_t split = 0; split <= shards; ++split) {
    if (longer(split) < longer(best)) best = split;
  }
  // One shard at a time, and only for a gain beyond the noise of a few
  // chunks' times, so that the split does not swing to and fro.
  const std::size_t step = best < split_ ? split_ - 1 : best > split_ ? split_ + 1 : split_;
  if (longer(step) * 17 < longer(split_) * 16) split_ = step;
  std::fill(cost_ns_.begin(), cost_ns_.end(), 0);
}

bool ShardPool::take(uint64_t from, bool own, Chunk*& chunk, uint64_t& number, std::size_t& s) {
  for (uint64_t k = from; k < submitted_; ++k) {
    Chunk& c = ring_[k % ring_.size()];
    std::size_t& next = own ? c.next_own : c.next_pool;
    if (next == (own ? workers_.size() : c.split)) continue;
    // The side's next shard may still be busy with chunk k - 1; a later
    // chunk's next shard may be free all the same.
    if (applied_[next] != k) continue;
    chunk = &c;
    number = k;
    s = next++;
    return true;
  }
  return false;
}

const ShardPool::Chunk* ShardPool::front() {
  fill();
  std::unique_lock<std::mutex> lock(mutex_);
  if (!failed_ && taken_ == submitted_) return nullptr;
  Chunk& front = ring_[taken_ % ring_.size()];
  // While the oldest chunk is not done, this thread applies its own shards
  // of it, and then of the chunks after it; with none left to begin, a
  // shard of the pool's side that no pool thread has begun.
  while (!failed_ && front.pending != 0) {
    Chunk* chunk = nullptr;
    uint64_t number = 0;
    std::size_t s = 0;
    if (!take(taken_, true, chunk, number, s) && !take(taken_, false, chunk, number, s)) {
      done_.wait(lock);
      continue;
    }
    lock.unlock();
    const int64_t start = thread_cpu_ns();
    const bool ok = apply(*chunk, s);
    const int64_t cost = thread_cpu_ns() - start;
    lock.lock();
    own_ns_ += cost;
    finish_task(*chunk, number, s, ok, cost);
  }
  if (failed_) throw std::bad_alloc();
  return &front;
}

void ShardPool::pop() {
  // Under the lock: the pool's threads look for work from taken_ on.
  std::lock_guard<std::mutex> lock(mutex_);
  ++taken_;
}

bool ShardPool::apply(Chunk& chunk, std::size_t s) {
  // The reading thread leaves a handed-out chunk alone until every shard
  // is done with it, so it is read here without the lock.
  try {
    // This shard's messages, copied out of the chunk here rather than by
    // the reading thread.
    const std::vector<uint32_t>& index = chunk.index[s];
    std::vector<FeedMessage>& mine = chunk.messages[s];
    mine.resize(index.size());
    // The reading thread wrote them on its core: each is fetched a few
    // messages ahead, so that the transfers between the cores overlap.
    const FeedMessage* all = chunk.all.data();
    constexpr std::size_t kAhead = 16;
    const std::size_t n = index.size();
    for (std::size_t i = 0; i < std::min(n, kAhead); ++i) prefetch_line(all + index[i]);
    for (std::size_t i = 0; i < n; ++i) {
      if (i + kAhead < n) {
        const FeedMessage* ahead = all + index[i + kAhead];
        prefetch_line(ahead);
        prefetch_line(reinterpret_cast<const char*>(ahead + 1) - 1);
      }
      mine[i] = all[index[i]];
    }
    workers_[s]->apply_chunk(chunk, s, chunk.rows[s]);
  } catch (...) {  // only std::bad_alloc can come from the books and rows
    return false;
  }
  return true;
}

void ShardPool::finish_task(Chunk& chunk, uint64_t number, std::size_t s, bool ok, int64_t cpu_ns) {
  if (!ok) failed_ = true;
  applied_[s] = number + 1;
  cost_ns_[s] += cpu_ns;
  --chunk.pending;
  // A thread may wait for this shard to be done with this chunk, or the
  // reading thread for the chunk.
  if (waiting_ != 0) work_.notify_all();
  done_.notify_all();
}

void ShardPool::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stop_ || failed_) return;
    // The pool's side of the split first, chunk after chunk; with none of
    // it ready, a shard of the reading thread's side that it has not begun
    // (it reads and hands rows out meanwhile), so that no core idles while
    // books wait to be applied. Otherwise: wait for a chunk or a task done.
    Chunk* chunk = nullptr;
    uint64_t number = 0;
    std::size_t s = 0;
    if (!take(taken_, false, chunk, number, s) && !take(taken_, true, chunk, number, s)) {
      ++waiting_;
      work_.wait(lock);
      --waiting_;
      continue;
    }
    lock.unlock();
    const int64_t start = thread_cpu_ns();
    const bool ok = apply(*chunk, s);
    const int64_t cost = thread_cpu_ns() - start;
    lock.lock();
    finish_task(*chunk, number, s, ok, cost);
  }
}

}  // namespace tidemark::arrow
