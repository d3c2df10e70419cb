#include "shard_pool.h"

#include <algorithm>
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
// applying it, and no more than keeps a chunk's rows within kChunkRowBytes.
constexpr std::size_t kMaxChunkMessages = 16384;
constexpr std::size_t kMinChunkMessages = 64;
constexpr std::size_t kChunkRowBytes = std::size_t{8} << 20;

}  // namespace

void ShardWorker::apply_chunk(const ShardChunk& chunk, std::size_t shard, ShardRows& out) {
  const std::vector<FeedMessage>& messages = chunk.messages[shard];
  apply(messages.data(), messages.size(), out);
}

ShardPool::ShardPool(ReplayEngine& engine, std::vector<std::unique_ptr<ShardWorker>> workers,
                     std::size_t stride, std::size_t row_bytes)
    : engine_(engine), workers_(std::move(workers)) {
  chunk_messages_ = std::clamp(kChunkRowBytes / std::max<std::size_t>(row_bytes, 1),
                               kMinChunkMessages, kMaxChunkMessages);
  ring_.resize(kRingChunks);
  for (Chunk& chunk : ring_) {
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
    threads_.reserve(workers_.size());
    for (std::size_t s = 0; s < workers_.size(); ++s) threads_.emplace_back([this, s] { run(s); });
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
  cut_rows_ += cut_data_.empty() ? 0 : cut_data_[0];
}

bool ShardPool::read_chunk(Chunk& chunk) {
  chunk.all.clear();
  chunk.shard_of.clear();
  chunk.file_of.clear();
  chunk.cuts.clear();
  cut_rows_ = 0;
  for (ShardRows& r : chunk.rows) r.clear();
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
    for (std::size_t k = 0; k < i; ++k) {
      chunk.file_of.push_back(static_cast<uint32_t>(engine_.file_of(k)));
    }
    chunk.all.insert(chunk.all.end(), run, run + i);
    engine_.consume(i);
    count += i;
    if (i != n) break;
  }
  return count != 0;
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
    }
    chunk.pending = workers_.size();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++submitted_;
    }
    work_.notify_all();
  }
}

const ShardPool::Chunk* ShardPool::front() {
  fill();
  std::unique_lock<std::mutex> lock(mutex_);
  if (!failed_ && taken_ == submitted_) return nullptr;
  Chunk& chunk = ring_[taken_ % ring_.size()];
  done_.wait(lock, [&] { return failed_ || chunk.pending == 0; });
  if (failed_) throw std::bad_alloc();
  return &chunk;
}

void ShardPool::pop() { ++taken_; }

void ShardPool::run(std::size_t shard) {
  for (uint64_t next = 0;; ++next) {
    Chunk* chunk;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_.wait(lock, [&] { return stop_ || next < submitted_; });
      if (stop_) return;
      chunk = &ring_[next % ring_.size()];
    }
    // The reading thread leaves a handed-out chunk alone until every shard
    // is done with it, so it is read here without the lock.
    bool ok = true;
    try {
      // This shard's messages, picked out of the chunk here rather than
      // dealt out by the reading thread, which does the rest alone.
      std::vector<FeedMessage>& mine = chunk->messages[shard];
      mine.clear();
      const uint8_t* shard_of = chunk->shard_of.data();
      const std::size_t count = chunk->all.size();
      for (std::size_t i = 0; i < count; ++i) {
        if (shard_of[i] == shard) mine.push_back(chunk->all[i]);
      }
      workers_[shard]->apply_chunk(*chunk, shard, chunk->rows[shard]);
    } catch (...) {  // only std::bad_alloc can come from the books and rows
      ok = false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ok) {
      failed_ = true;
      done_.notify_all();
      return;
    }
    if (--chunk->pending == 0) done_.notify_all();
  }
}

}  // namespace tidemark::arrow
