#include "arrow_columns.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <iterator>
#include <memory>
#include <new>
#include <thread>
#include <utility>

#include "after_fork.h"

namespace tidemark::arrow {

namespace {

// ---------------------------------------------------------------- memory

// Returns `bytes` (at least 1) from malloc, or throws std::bad_alloc.
void* allocate(std::size_t bytes) {
  void* p = std::malloc(std::max<std::size_t>(bytes, 1));
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels answer EINVAL
#endif

// Cleared once the kernel turns MADV_POPULATE_WRITE down.
std::atomic<bool> can_populate{true};

// Faults in the whole pages of a block for writing, in one call that costs
// far less than a fault per page; leaves the contents as they are. Memory
// that malloc reuses is mostly in place already, and asking for it again
// costs about as much as writing it, so runs of pages already in memory
// (asked with mincore, twenty times cheaper) are passed over. Returns false
// when the kernel cannot, and never tries again then.
bool fault_in(void* block, std::size_t bytes) noexcept {
  if (!can_populate.load(std::memory_order_relaxed)) return false;
  static const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  constexpr std::size_t kRun = 1024;  // pages asked about at a time
  const auto at = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t start = (at + page - 1) & ~(page - 1);
  const std::uintptr_t end = (at + bytes) & ~(page - 1);
  unsigned char present[kRun];
  for (std::uintptr_t run = start; run < end; run += kRun * page) {
    const std::size_t pages = std::min<std::size_t>(kRun, (end - run) / page);
    void* const from = reinterpret_cast<void*>(run);
    if (mincore(from, pages * page, present) == 0 &&
        std::all_of(present, present + pages, [](unsigned char p) { return (p & 1) != 0; })) {
      continue;
    }
    if (madvise(from, pages * page, MADV_POPULATE_WRITE) != 0 && errno == EINVAL) {
      can_populate.store(false, std::memory_order_relaxed);
      return false;
    }
  }
  return true;
}

// Gives back to the system the whole pages of a block past its first
// `used` bytes, when they add up to kPrefaultBytes or more: a short batch
// (the last one, or one cut short while a followed file pauses) in a block
// that was faulted in for a whole batch then holds no more memory than its
// rows need, whatever the consumer keeps. The pages read as zeros until
// written again.
void trim_tail(uint8_t* block, std::size_t bytes, std::size_t used) noexcept {
  static const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto at = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t start = (at + used + page - 1) & ~(page - 1);
  const std::uintptr_t end = (at + bytes) & ~(page - 1);
  if (end <= start || end - start < BufferPool::kPrefaultBytes) return;
  madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

std::size_t value_width(ColumnType type) {
  switch (type) {
    case ColumnType::kDict8:
      return 1;
    case ColumnType::kUInt16:
      return 2;
    case ColumnType::kInt32:
    case ColumnType::kUInt32:
    case ColumnType::kUtf8:  // offsets
      return 4;
    case ColumnType::kInt64:
    case ColumnType::kUInt64:
    case ColumnType::kTimestampNs:
      return 8;
    case ColumnType::kDecimal128:
      return 16;
    case ColumnType::kBool:
      return 0;
  }
  return 0;
}

const char* format_of(ColumnType type) {
  switch (type) {
    case ColumnType::kUtf8:
      return "u";
    case ColumnType::kBool:
      return "b";
    case ColumnType::kInt32:
      return "i";
    case ColumnType::kInt64:
      return "l";
    case ColumnType::kUInt16:
      return "S";
    case ColumnType::kUInt32:
      return "I";
    case ColumnType::kUInt64:
      return "L";
    case ColumnType::kDict8:
      return "C";  // the indices; the dictionary's own format is "u"
    case ColumnType::kTimestampNs:
    case ColumnType::kDecimal128:
      break;  // formats with parameters: format_of(const ColumnSpec&)
  }
  return "n";
}

// The format string of a column, parameters included.
std::string format_of(const ColumnSpec& column) {
  switch (column.type) {
    case ColumnType::kTimestampNs:
      return "tsn:" + column.time_zone;
    case ColumnType::kDecimal128:
      return "d:" + std::to_string(column.precision) + "," + std::to_string(column.scale);
    default:
      return format_of(column.type);
  }
}

// ---------------------------------------------------------------- arrays

// The buffers of one finished column, given back to the pool of the
// builder that made them (or freed) by its release.
struct ColumnPrivate {
  void* owned[3] = {nullptr, nullptr, nullptr};
  std::size_t bytes[3] = {0, 0, 0};
  const void* buffers[3] = {nullptr, nullptr, nullptr};
  ArrowArray dictionary{};  // of a dictionary-encoded column
  std::shared_ptr<BufferPool> pool;
  uint64_t made_in = process_generation();
};

void release_column(ArrowArray* array) {
  auto* p = static_cast<ColumnPrivate*>(array->private_data);
  if (p->pool && p->made_in != process_generation()) {
    // In a child of fork(): the thread that made the batch may have held
    // the pool's mutex, or waited on it, at the fork (see after_fork.h).
    // The buffers are freed past the pool, and this reference to the pool
    // is moved into storage that is never destroyed, so the pool is not
    // destroyed here either.
    alignas(std::shared_ptr<BufferPool>) unsigned char kept[sizeof(std::shared_ptr<BufferPool>)];
    new (kept) std::shared_ptr<BufferPool>(std::move(p->pool));
  }
  for (int i = 0; i < 3; ++i) {
    if (p->owned[i] == nullptr) continue;
    if (p->pool) {
      p->pool->give(p->owned[i], p->bytes[i]);
    } else {
      std::free(p->owned[i]);
    }
  }
  if (p->dictionary.release != nullptr) p->dictionary.release(&p->dictionary);
  delete p;
  array->release = nullptr;
}

// Fills `out` with a string array of `strings`.
void export_strings(const std::vector<std::string>& strings, ArrowArray* out) {
  ColumnBuilder b(ColumnType::kUtf8, false);
  std::size_t bytes = 0;
  for (const std::string& s : strings) bytes += s.size();
  b.reserve(strings.size(), bytes);
  for (const std::string& s : strings) b.put_string(s);
  b.finish(out);
}

// The children of one record batch. A consumer may move a child out (and
// release it on its own) before releasing the batch, so each child keeps
// its own release and the batch releases only those still held.
struct BatchPrivate {
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> pointers;
  const void* buffers[1] = {nullptr};
};

void release_batch(ArrowArray* array) {
  auto* p = static_cast<BatchPrivate*>(array->private_data);
  for (ArrowArray& child : p->children) {
    if (child.release != nullptr) child.release(&child);
  }
  delete p;
  array->release = nullptr;
}

// ---------------------------------------------------------------- schemas

struct SchemaPrivate {
  std::string name;
  std::string format;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> pointers;
  ArrowSchema dictionary{};  // the value type of a dictionary-encoded column
};

void release_schema(ArrowSchema* schema) {
  auto* p = static_cast<SchemaPrivate*>(schema->private_data);
  for (ArrowSchema& child : p->children) {
    if (child.release != nullptr) child.release(&child);
  }
  if (p->dictionary.release != nullptr) p->dictionary.release(&p->dictionary);
  delete p;
  schema->release = nullptr;
}

}  // namespace

void export_schema(const std::vector<ColumnSpec>& columns, ArrowSchema* out) {
  auto root = std::make_unique<SchemaPrivate>();
  root->children.resize(columns.size());
  root->pointers.resize(columns.size());
  for (std::size_t i = 0; i < columns.size(); ++i) {
    auto child = std::make_unique<SchemaPrivate>();
    child->name = columns[i].name;
    child->format = format_of(columns[i]);
    ArrowSchema& s = root->children[i];
    s = ArrowSchema{};
    s.format = child->format.c_str();
    s.name = child->name.c_str();
    s.flags = ARROW_FLAG_NULLABLE;
    if (columns[i].type == ColumnType::kDict8) {
      ArrowSchema& d = child->dictionary;
      d.format = "u";
      d.name = "";
      d.flags = ARROW_FLAG_NULLABLE;
      d.release = release_schema;
      d.private_data = new SchemaPrivate();
      s.dictionary = &d;
    }
    s.release = release_schema;
    s.private_data = child.release();
    root->pointers[i] = &s;
  }
  *out = ArrowSchema{};
  out->format = "+s";
  out->name = "";
  out->n_children = static_cast<int64_t>(columns.size());
  out->children = root->pointers.data();
  out->release = release_schema;
  out->private_data = root.release();
}

// ---------------------------------------------------------------- spares

// The helper thread that faults in the pools' spares, one process-wide,
// started at the first spare asked for. It lives as long as the process
// (never joined: it may be waiting when the process exits); in a child
// made by fork() it is gone, so the child starts its own when needed.
//
// Lock order: deliver_mutex_, a pool's mutex, then mutex_; the helper thread
// never holds a pool's mutex and mutex_ at once.
//
// fork() keeps only the forking thread: a mutex that another thread held at
// that moment stays locked in the child for good. Before a fork the prepare
// handler takes deliver_mutex_ and mutex_, so the helper thread is neither
// inside a pool (where it takes the pool's mutex to hand a spare over) nor
// holding mutex_ when the child is made; the child can then still give its
// inherited batches back to their pools.
class Prefaulter {
 public:
  static Prefaulter& get() {
    static Prefaulter* const instance = new Prefaulter();  // never destroyed
    return *instance;
  }

  // Queues a spare of `bytes` to be allocated, faulted in and given to
  // `pool`; returns false when no thread could be started. The helper
  // thread allocates it too: a new mapping takes the process's memory map
  // for writing, which would wait while the helper thread faults pages in.
  bool submit(std::shared_ptr<BufferPool> pool, std::size_t bytes) noexcept {
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!running_) {
        std::call_once(atfork_once_, [] {
          pthread_atfork(
              [] {
                get().deliver_mutex_.lock();
                get().mutex_.lock();
              },
              [] {
                get().mutex_.unlock();
                get().deliver_mutex_.unlock();
              },
              [] { get().after_fork_in_child(); });
        });
        std::thread(&Prefaulter::run, this).detach();
        running_ = true;
      }
      jobs_.push_back(Job{std::move(pool), bytes});
    } catch (...) {
      return false;
    }
    wake_->notify_one();
    return true;
  }

  // Takes back the last queued spare of `pool` that serves a request of
  // `bytes` up to `most` (as a kept block would), before the helper thread
  // starts on it; returns its size (it is no longer coming), or 0. Called
  // with the pool's mutex held.
  std::size_t take_back(const BufferPool* pool, std::size_t bytes, std::size_t most) noexcept {
    std::shared_ptr<BufferPool> last_owner;  // released after the lock
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = jobs_.rbegin(); it != jobs_.rend(); ++it) {
      if (it->pool.get() != pool || it->bytes < bytes || it->bytes / 2 > most) continue;
      const std::size_t size = it->bytes;
      last_owner = std::move(it->pool);
      jobs_.erase(std::next(it).base());
      return size;
    }
    return 0;
  }

 private:
  struct Job {
    std::shared_ptr<BufferPool> pool;
    std::size_t bytes;
  };

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      std::condition_variable* wake = wake_;
      wake->wait(lock, [this] { return !jobs_.empty(); });
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      current_pool_ = job.pool.get();
      current_delivered_ = false;
      lock.unlock();
      void* block = std::malloc(job.bytes);
      if (block != nullptr) {
        lock.lock();
        current_ = block;
        lock.unlock();
        fault_in(block, job.bytes);
      }
      {
        std::lock_guard<std::mutex> delivering(deliver_mutex_);
        job.pool->spare_arrived(block, job.bytes, &current_delivered_);
        job.pool.reset();  // may be the pool's last owner
      }
      lock.lock();
      current_ = nullptr;
      current_pool_ = nullptr;
    }
  }

  // Runs in the child of fork() with deliver_mutex_ and mutex_ held (locked
  // before the fork): no helper thread there, so the queued blocks, and the
  // one it was faulting in unless already kept, are freed, and their pools
  // may ask for spares again.
  void after_fork_in_child() {
    for (Job& job : jobs_) --job.pool->coming_;  // the only thread of the child
    jobs_.clear();
    if (current_pool_ != nullptr && !current_delivered_) {
      --current_pool_->coming_;
      std::free(current_);
    }
    current_ = nullptr;
    current_pool_ = nullptr;
    running_ = false;
    wake_ = new std::condition_variable();  // the old one may count a waiter that is gone
    mutex_.unlock();
    deliver_mutex_.unlock();
  }

  std::mutex deliver_mutex_;  // held by the helper thread while it is inside a pool
  std::mutex mutex_;
  std::condition_variable* wake_ = new std::condition_variable();
  std::deque<Job> jobs_;
  // The pool of the job in work, kept alive by the helper thread's own copy,
  // and its block once allocated; current_delivered_ is set under the
  // pool's mutex once the pool has it.
  void* current_ = nullptr;
  BufferPool* current_pool_ = nullptr;
  bool current_delivered_ = false;
  bool running_ = false;
  std::once_flag atfork_once_;
};

// ---------------------------------------------------------------- pool

BufferPool::~BufferPool() {
  for (const Block& b : free_) std::free(b.memory);
}

// The smallest kept block that holds the request, unless it is more than
// twice as large: take_up_to with nothing more wanted than the request.
void* BufferPool::take(std::size_t& bytes) { return take_block(bytes, bytes, false); }

void* BufferPool::take_up_to(std::size_t& bytes, std::size_t most) {
  return take_block(bytes, most, true);
}

std::size_t BufferPool::best_fit_locked(std::size_t bytes, std::size_t most) const {
  // A block that holds `most` without wasting more than half of it wins,
  // the smallest such; otherwise the largest one between `bytes` and
  // `most`.
  std::size_t best = free_.size();
  bool best_whole = false;
  for (std::size_t i = 0; i < free_.size(); ++i) {
    const std::size_t have = free_[i].bytes;
    if (have < bytes) continue;
    const bool whole = have >= most;
    if (whole && have / 2 > most) continue;
    if (best == free_.size() || (whole && !best_whole) ||
        (whole == best_whole && (whole ? have < free_[best].bytes : have > free_[best].bytes))) {
      best = i;
      best_whole = whole;
    }
  }
  return best;
}

std::size_t BufferPool::kept_of_locked(std::size_t bytes) const {
  return static_cast<std::size_t>(
      std::count_if(free_.begin(), free_.end(), [bytes](const Block& k) { return k.bytes >= bytes; }));
}

void* BufferPool::take_block(std::size_t& bytes, std::size_t most, bool room) {
  bytes = std::max<std::size_t>(bytes, 1);
  most = std::max(most, bytes);
  // A new block holds all of `most` when that is at most twice the request,
  // so that a batch a little larger than its first room never grows (nor
  // copies); a far larger `most` is left to grow as rows come, so that a
  // huge batch_rows on a small file reserves little.
  const std::size_t fresh = most / 2 <= bytes ? most : bytes;
  // A batch's first room of kPrefaultBytes or more, past the first batch:
  // fault it in and have spares made ready when none is left.
  bool prefault = false;
  std::size_t taken = 0;  // the size of a queued spare taken back: made here
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (room) {
      prefault = rooms_++ > 0 && most >= kPrefaultBytes;
      if (prefault) {
        // A consumer that keeps its batches gives nothing back between two
        // of them: have the helper thread one more batch ahead each time.
        const std::size_t cap = std::clamp<std::size_t>(kSpareBytes / fresh, 1, kMaxSpares);
        spares_ahead_ = returned_ ? 1 : std::min(spares_ahead_ + 1, cap);
        returned_ = false;
      }
    }
    std::size_t best = best_fit_locked(bytes, most);
    if (best == free_.size() && prefault && coming_ > 0) {
      // A spare is on its way: one still queued is taken back and made
      // here, at no more cost than a new block; one on the helper thread is
      // waited for about as long as faulting in a new block would take.
      taken = Prefaulter::get().take_back(this, bytes, most);
      if (taken != 0) {
        --coming_;
      } else {
        const auto wait = std::chrono::microseconds(std::max<std::size_t>(fresh >> 11, 100));
        arrived_.wait_for(lock, wait, [&] {
          best = best_fit_locked(bytes, most);
          return best != free_.size() || coming_ == 0;
        });
      }
    }
    if (taken == 0 && best != free_.size()) {
      const Block b = free_[best];
      free_[best] = free_.back();
      free_.pop_back();
      bytes = b.bytes;
      if (prefault && kept_of_locked(fresh) + coming_ < spares_ahead_) {
        prepare_spares_locked(fresh);
      }
      return b.memory;
    }
    if (taken == 0 && !room) {
      lock.unlock();
      return allocate(bytes);
    }
    // Spares first, so that the helper thread works while this block is
    // faulted in.
    if (prefault) prepare_spares_locked(fresh);
  }
  bytes = taken != 0 ? taken : fresh;
  void* block = allocate(bytes);
  if (prefault) fault_in(block, bytes);
  return block;
}

void BufferPool::prepare_spares_locked(std::size_t bytes) noexcept {
  if (retired_ || !can_populate.load(std::memory_order_relaxed)) return;
  std::shared_ptr<BufferPool> self = weak_from_this().lock();
  if (!self) return;  // not owned by a shared_ptr: no spares
  while (kept_of_locked(bytes) + coming_ < spares_ahead_) {
    if (!Prefaulter::get().submit(self, bytes)) return;
    ++coming_;
  }
}

void BufferPool::spare_arrived(void* block, std::size_t bytes, bool* delivered) noexcept {
  void* spare;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --coming_;
    *delivered = true;
    spare = block != nullptr ? keep_locked(block, bytes) : nullptr;
  }
  arrived_.notify_all();
  std::free(spare);
}

void* BufferPool::keep_locked(void* block, std::size_t bytes) noexcept {
  if (retired_) return block;
  if (free_.size() < kMaxBlocks) {
    free_.push_back(Block{block, bytes});
    return nullptr;
  }
  // Full: keep the larger blocks, which serve more requests.
  auto smallest = std::min_element(free_.begin(), free_.end(), [](const Block& a, const Block& b) {
    return a.bytes < b.bytes;
  });
  if (smallest->bytes >= bytes) return block;
  void* spare = smallest->memory;
  *smallest = Block{block, bytes};
  return spare;
}

void BufferPool::give(void* block, std::size_t bytes) noexcept {
  void* spare;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bytes >= kPrefaultBytes) returned_ = true;
    spare = keep_locked(block, bytes);
  }
  std::free(spare);
}

void BufferPool::retire() noexcept {
  std::vector<Block> kept;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    retired_ = true;
    kept.swap(free_);
  }
  for (const Block& b : kept) std::free(b.memory);
}

std::size_t BufferPool::kept() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return free_.size();
}

// ---------------------------------------------------------------- builder

ColumnBuilder::ColumnBuilder(ColumnType type, bool pooled)
    : type_(type),
      width_(type == ColumnType::kUtf8 ? 0 : value_width(type)),
      pool_(pooled ? std::make_shared<BufferPool>() : nullptr) {}

ColumnBuilder::ColumnBuilder(ColumnBuilder&& other) noexcept
    : type_(other.type_),
      width_(other.width_),
      length_(std::exchange(other.length_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      null_count_(std::exchange(other.null_count_, 0)),
      validity_(std::exchange(other.validity_, nullptr)),
      values_(std::exchange(other.values_, nullptr)),
      data_(std::exchange(other.data_, nullptr)),
      data_size_(std::exchange(other.data_size_, 0)),
      data_capacity_(std::exchange(other.data_capacity_, 0)),
      validity_bytes_(std::exchange(other.validity_bytes_, 0)),
      values_bytes_(std::exchange(other.values_bytes_, 0)),
      dictionary_(std::move(other.dictionary_)),
      pool_(std::move(other.pool_)) {}

ColumnBuilder::~ColumnBuilder() {
  release_buffers();
  if (pool_) pool_->retire();
}

void ColumnBuilder::drop(uint8_t* block, std::size_t bytes) noexcept {
  if (block == nullptr) return;
  if (pool_) {
    pool_->give(block, bytes);
  } else {
    std::free(block);
  }
}

void ColumnBuilder::release_buffers() {
  drop(validity_, validity_bytes_);
  drop(values_, values_bytes_);
  drop(data_, data_capacity_);
  validity_ = values_ = data_ = nullptr;
  length_ = capacity_ = null_count_ = data_size_ = data_capacity_ = 0;
  validity_bytes_ = values_bytes_ = 0;
}

uint8_t* ColumnBuilder::regrow(uint8_t* block, std::size_t& block_bytes, std::size_t used,
                               std::size_t wanted, bool zero) {
  if (block == nullptr || wanted > block_bytes) {
    std::size_t bytes = wanted;
    auto* fresh = static_cast<uint8_t*>(pool_ ? pool_->take(bytes) : allocate(bytes));
    if (block != nullptr) {
      std::memcpy(fresh, block, used);
      drop(block, block_bytes);
    }
    block = fresh;
    block_bytes = bytes;
  }
  // A reused block holds whatever its last batch left there.
  if (zero && wanted > used) std::memset(block + used, 0, wanted - used);
  return block;
}

std::size_t ColumnBuilder::rows_held(std::size_t values_bytes) const {
  if (type_ == ColumnType::kBool) return values_bytes * 8;
  if (type_ == ColumnType::kUtf8) return values_bytes / 4 - 1;
  return values_bytes / value_width(type_);
}

std::size_t ColumnBuilder::values_size(std::size_t rows) const {
  if (type_ == ColumnType::kBool) return bitmap_bytes(rows);
  if (type_ == ColumnType::kUtf8) return (rows + 1) * 4;
  return rows * value_width(type_);
}

void ColumnBuilder::start_from_pool(std::size_t rows, std::size_t most_rows) {
  // Both blocks are taken before either is kept, so that a failure leaves
  // the builder empty.
  std::size_t values_bytes = values_size(rows);
  auto* values = static_cast<uint8_t*>(pool_->take_up_to(values_bytes, values_size(most_rows)));
  std::size_t validity_bytes = bitmap_bytes(rows);
  uint8_t* validity;
  try {
    validity = static_cast<uint8_t*>(pool_->take_up_to(
        validity_bytes, bitmap_bytes(std::min(most_rows, rows_held(values_bytes)))));
  } catch (...) {
    pool_->give(values, values_bytes);
    throw;
  }
  values_ = values;
  values_bytes_ = values_bytes;
  validity_ = validity;
  validity_bytes_ = validity_bytes;
  capacity_ = std::min({most_rows, rows_held(values_bytes), validity_bytes * 8});
  // A reused block holds whatever its last batch left there.
  std::memset(validity_, 0, bitmap_bytes(capacity_));
  if (type_ == ColumnType::kBool) std::memset(values_, 0, bitmap_bytes(capacity_));
  if (type_ == ColumnType::kUtf8) offsets()[0] = 0;
}

void ColumnBuilder::reserve(std::size_t rows, std::size_t bytes, std::size_t most_rows) {
  if (capacity_ == 0 && pool_ && most_rows != SIZE_MAX && most_rows >= rows) {
    // A batch's first room: a kept block that holds the whole batch (which
    // a consumer that drops its batches gives back every time) saves
    // growing the columns, and copying them, as the rows come.
    start_from_pool(rows, most_rows);
  }
  if (length_ + rows > capacity_) {
    const std::size_t wanted =
        std::max(length_ + rows, std::min(capacity_ * 2, std::max(most_rows, capacity_)));
    validity_ =
        regrow(validity_, validity_bytes_, bitmap_bytes(capacity_), bitmap_bytes(wanted), true);
    if (type_ == ColumnType::kBool) {
      values_ = regrow(values_, values_bytes_, bitmap_bytes(capacity_), bitmap_bytes(wanted), true);
    } else if (type_ == ColumnType::kUtf8) {
      const bool first = values_ == nullptr;
      values_ = regrow(values_, values_bytes_, capacity_ == 0 ? 0 : (capacity_ + 1) * 4,
                       (wanted + 1) * 4, false);
      if (first) offsets()[0] = 0;
    } else {
      const std::size_t w = value_width(type_);
      values_ = regrow(values_, values_bytes_, capacity_ * w, wanted * w, false);
    }
    capacity_ = wanted;
  }
  if (type_ == ColumnType::kUtf8 && data_size_ + bytes > data_capacity_) {
    grow_data(bytes);
  }
}

void ColumnBuilder::grow_data(std::size_t more) {
  const std::size_t wanted = std::max({data_size_ + more, data_capacity_ * 2, std::size_t{64}});
  data_ = regrow(data_, data_capacity_, data_size_, wanted, false);
}

void ColumnBuilder::finish(ArrowArray* out, const uint8_t* validity, std::size_t null_count) {
  if (capacity_ == 0) reserve(0 + 1);  // even an empty column gets its buffers
  if (type_ == ColumnType::kUtf8 && data_ == nullptr) grow_data(1);
  auto p = std::make_unique<ColumnPrivate>();
  if (type_ == ColumnType::kDict8) export_strings(dictionary_, &p->dictionary);
  const int64_t n_buffers = type_ == ColumnType::kUtf8 ? 3 : 2;
  if (validity != nullptr) {
    null_count_ = null_count;
    if (null_count != 0) std::memcpy(validity_, validity, bitmap_bytes(length_));
  }
  if (pool_) trim_tail(values_, values_bytes_, values_size(length_));
  if (null_count_ != 0) {
    if (pool_) trim_tail(validity_, validity_bytes_, bitmap_bytes(length_));
    p->owned[0] = validity_;
    p->bytes[0] = validity_bytes_;
  } else {
    drop(validity_, validity_bytes_);  // every row valid: no bitmap at all
  }
  p->owned[1] = values_;
  p->bytes[1] = values_bytes_;
  p->owned[2] = data_;
  p->bytes[2] = data_capacity_;
  p->pool = pool_;
  for (int i = 0; i < 3; ++i) p->buffers[i] = p->owned[i];
  *out = ArrowArray{};
  out->length = static_cast<int64_t>(length_);
  out->null_count = static_cast<int64_t>(null_count_);
  out->n_buffers = n_buffers;
  out->buffers = p->buffers;
  if (type_ == ColumnType::kDict8) out->dictionary = &p->dictionary;
  out->release = release_column;
  out->private_data = p.release();
  validity_ = values_ = data_ = nullptr;
  length_ = capacity_ = null_count_ = data_size_ = data_capacity_ = 0;
  validity_bytes_ = values_bytes_ = 0;
}

std::size_t row_bytes(const std::vector<ColumnSpec>& columns, std::size_t text_bytes) {
  std::size_t bits = 0;
  for (const ColumnSpec& c : columns) {
    bits += 1;  // validity
    bits += c.type == ColumnType::kBool ? 1 : 8 * value_width(c.type);
  }
  return (bits + 7) / 8 + text_bytes;
}

uint64_t batch_row_limit(const std::vector<ColumnSpec>& columns, uint64_t batch_rows,
                         std::size_t text_bytes) {
  const uint64_t fit = kMaxBatchBytes / std::max<std::size_t>(row_bytes(columns, text_bytes), 1);
  return std::max<uint64_t>(1, std::min(batch_rows, fit));
}

std::size_t first_reserve_rows(const std::vector<ColumnSpec>& columns, uint64_t limit,
                               std::size_t text_bytes) {
  const uint64_t fit =
      kFirstReserveBytes / std::max<std::size_t>(row_bytes(columns, text_bytes), 1);
  return static_cast<std::size_t>(std::max<uint64_t>(1, std::min(limit, fit)));
}

void finish_batch(std::vector<ArrowArray>& columns, int64_t length, ArrowArray* out) {
  auto p = std::make_unique<BatchPrivate>();
  p->children = std::move(columns);
  columns.clear();
  p->pointers.reserve(p->children.size());
  for (ArrowArray& child : p->children) p->pointers.push_back(&child);
  *out = ArrowArray{};
  out->length = length;
  out->n_buffers = 1;
  out->n_children = static_cast<int64_t>(p->children.size());
  out->buffers = p->buffers;
  out->children = p->pointers.data();
  out->release = release_batch;
  out->private_data = p.release();
}

}  // namespace tidemark::arrow
