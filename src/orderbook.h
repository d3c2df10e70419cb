// Limit order books rebuilt from decoded feed messages.
//
// A BookSet holds one OrderBook per instrument token and an optional filter
// on message types. apply_message and apply_messages change the books;
// collect_depth, collect_full_depth, write_snapshot_row and sorted_tokens
// read them. The BookSet owns everything: the books, every resting order and
// every price level; callers get copies or pointers that stay valid only
// until the next change.
//
// Every book has a price window [min_price, max_price] that only ever widens
// and decides which prices an order may rest at. The window is bookkeeping
// only: the total quantity per price lives in small pages of 32 prices,
// allocated the first time a price in them is used, so memory follows the
// prices a book has touched and not the width of its window. Each book keeps,
// per side, a sorted list of the page groups that hold a level, so depth
// queries cost what they report.
//
// Each book keeps its resting orders in its own flat hash table keyed by
// order id; the pages of all books sit in one flat hash table keyed by token,
// side and page. A message thus names the memory it will touch before any of
// it is read, which lets apply_messages fetch the memory of the next
// messages while it applies the current ones.
//
// Nothing here is thread-safe: one thread at a time, which the binding
// guarantees by holding the interpreter lock. Nothing throws on purpose;
// std::bad_alloc may escape, leaving every book consistent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "feed_message.h"

namespace tidemark {

// Asks the processor to start loading the cache line at `address`, which
// need not be valid. On x86-64 this is inline assembly: the compiler treats
// __builtin_prefetch as free of effects and drops it together with a call
// that it has judged pure, which happened to the table probes below.
inline void prefetch_line(const void* address) {
#if defined(__x86_64__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
  __builtin_prefetch(address);
#endif
}

// Returns `bytes` of zeroed memory for a table, or throws std::bad_alloc.
// Large blocks are aligned to 2 MB and advised for huge pages, since lookups
// in them are random and would otherwise miss the TLB on most probes.
void* allocate_table_memory(std::size_t bytes);
// Releases a block that allocate_table_memory returned for `bytes`.
void release_table_memory(void* block, std::size_t bytes);

// Open-addressing hash table of trivially copyable slots in one flat array
// whose capacity is a power of two. Traits gives the Key and Slot types and:
//   hash(key)       64 bits, well mixed in the high bits (the home position
//                   is the top log2(capacity) bits);
//   key_of(slot)    the key a slot holds;
//   set_key(slot, key);
//   vacant(slot)    true for an all-zero slot and false for every slot in
//                   use, so the caller must fill an added slot with a value
//                   that makes it non-vacant.
// Collisions are resolved by linear probing, and erasure shifts the
// following slots back, so there are no tombstones. Slots move on growth and
// on erasure: a pointer or index into the table is valid only until the next
// insertion or erasure.
template <class Traits>
class FlatTable {
 public:
  using Key = typename Traits::Key;
  using Slot = typename Traits::Slot;
  static_assert(std::is_trivially_copyable_v<Slot>);
  static constexpr std::size_t kNotFound = ~std::size_t{0};

  FlatTable() = default;
  FlatTable(const FlatTable&) = delete;
  FlatTable& operator=(const FlatTable&) = delete;
  FlatTable(FlatTable&& other) noexcept { swap(other); }
  FlatTable& operator=(FlatTable&& other) noexcept {
    FlatTable(std::move(other)).swap(*this);
    return *this;
  }
  ~FlatTable() {
    if (slots_ != nullptr) release_table_memory(slots_, capacity() * sizeof(Slot));
  }

  // Returns the number of keys held.
  std::size_t size() const { return size_; }
  // Returns the number of slots allocated.
  std::size_t capacity() const { return slots_ != nullptr ? mask_ + 1 : 0; }

  // Returns the index of `key`'s slot, or kNotFound.
  std::size_t find_index(const Key& key) const {
    if (size_ == 0) return kNotFound;
    for (std::size_t i = home(key);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (Traits::vacant(s)) return kNotFound;
      if (Traits::key_of(s) == key) return i;
    }
  }
  // Returns the slot holding `key`, or nullptr.
  Slot* find(const Key& key) {
    const std::size_t i = find_index(key);
    return i == kNotFound ? nullptr : &slots_[i];
  }
  const Slot* find(const Key& key) const {
    const std::size_t i = find_index(key);
    return i == kNotFound ? nullptr : &slots_[i];
  }
  // Returns the slot at an index that find_index gave.
  Slot& at(std::size_t index) { return slots_[index]; }

  // Hints that `key` will be probed soon: fetches its home slot and the
  // next one, where a probe or an erasure most often continues.
  void prefetch(const Key& key) const {
    if (slots_ == nullptr) return;
    const std::size_t i = home(key);
    prefetch_line(&slots_[i]);
    prefetch_line(&slots_[(i + 1) & mask_]);
  }

  // Hints that `key` will be probed soon and most likely found in its home
  // slot: fetches the lines of that slot alone.
  void prefetch_home(const Key& key) const {
    if (slots_ == nullptr) return;
    const char* slot = reinterpret_cast<const char*>(slots_ + home(key));
    prefetch_line(slot);
    prefetch_line(slot + sizeof(Slot) - 1);
  }

  // Makes room for one more key, so that the next find_or_add cannot
  // allocate (and so cannot fail). The table stays at most half full: runs
  // stay short, so a probe seldom leaves the cache lines fetched for it.
  void reserve_one() {
    if ((size_ + 1) * 2 > capacity()) grow();
  }

  // Returns the slot holding `key`. A key not held yet gets a zeroed slot
  // with only its key set, which the caller must fill.
  Slot& find_or_add(const Key& key) {
    reserve_one();
    std::size_t i = home(key);
    for (;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (Traits::vacant(s)) break;
      if (Traits::key_of(s) == key) return s;
    }
    ++size_;
    Traits::set_key(slots_[i], key);
    return slots_[i];
  }

  // Removes the slot at an index that find_index gave.
  void erase_at(std::size_t index) {
    // Backward shift: walk the run after the hole and move back every slot
    // whose home position does not lie between the hole and the slot itself.
    std::size_t hole = index;
    for (std::size_t j = (hole + 1) & mask_; !Traits::vacant(slots_[j]); j = (j + 1) & mask_) {
      const std::size_t from_home = (j - home(Traits::key_of(slots_[j]))) & mask_;
      if (from_home >= ((j - hole) & mask_)) {
        slots_[hole] = slots_[j];
        hole = j;
      }
    }
    slots_[hole] = Slot{};
    --size_;
  }

  // Calls fn(slot) for every slot in use, in no particular order.
  template <class Fn>
  void for_each(Fn&& fn) const {
    if (size_ == 0) return;
    for (std::size_t i = 0; i <= mask_; ++i) {
      if (!Traits::vacant(slots_[i])) fn(slots_[i]);
    }
  }

  void swap(FlatTable& other) noexcept {
    std::swap(slots_, other.slots_);
    std::swap(mask_, other.mask_);
    std::swap(shift_, other.shift_);
    std::swap(size_, other.size_);
  }

 private:
  static constexpr std::size_t kMinCapacity = 16;

  std::size_t home(const Key& key) const {
    return static_cast<std::size_t>(Traits::hash(key) >> shift_);
  }

  void grow() {
    const std::size_t old_capacity = capacity();
    const std::size_t new_capacity = old_capacity == 0 ? kMinCapacity : old_capacity * 2;
    Slot* fresh = static_cast<Slot*>(allocate_table_memory(new_capacity * sizeof(Slot)));
    Slot* old = slots_;
    slots_ = fresh;
    mask_ = new_capacity - 1;
    shift_ = 64 - __builtin_ctzll(new_capacity);
    for (std::size_t i = 0; i < old_capacity; ++i) {
      if (Traits::vacant(old[i])) continue;
      std::size_t j = home(Traits::key_of(old[i]));
      while (!Traits::vacant(slots_[j])) j = (j + 1) & mask_;
      slots_[j] = old[i];
    }
    if (old != nullptr) release_table_memory(old, old_capacity * sizeof(Slot));
  }

  Slot* slots_ = nullptr;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  std::size_t size_ = 0;
};

// Zeroed blocks for the order tables of one BookSet, carved from 2 MB
// blocks that are advised for huge pages. The tables of thousands of books
// are probed at random; on 4 KB pages nearly every probe would also miss the
// processor's TLB, and one huge page covers the tables of many books. A
// block given back is kept for the next request of the same size (tables
// come in few sizes: one per capacity). Blocks from kOwnMapping bytes on get
// a mapping of their own and are unmapped when given back. Everything is
// freed with the arena.
class TableArena {
 public:
  TableArena() = default;
  TableArena(const TableArena&) = delete;
  TableArena& operator=(const TableArena&) = delete;
  ~TableArena();

  // Returns `bytes` (a multiple of 64) of zeroed memory aligned to 64
  // bytes; throws std::bad_alloc when the memory cannot be had.
  void* allocate(std::size_t bytes);
  // Takes back a block that allocate returned for `bytes`.
  void release(void* block, std::size_t bytes);

 private:
  static constexpr std::size_t kChunk = std::size_t{2} << 20;
  static constexpr std::size_t kOwnMapping = std::size_t{512} << 10;
  struct FreeBlock {
    FreeBlock* next;
  };
  struct FreeList {
    std::size_t bytes;
    FreeBlock* first;
  };
  std::vector<void*> chunks_;
  char* next_ = nullptr;  // the unused rest of the last chunk
  std::size_t room_ = 0;
  std::vector<FreeList> free_;  // one list per block size given back
};

// The resting orders of one book, keyed by order id: open addressing with
// linear probing over 24-byte slots, at most half full: a new id probes
// to the end of its run and an erasure shifts the run back, so short runs
// save more work than the larger table costs. Each slot also holds the address of the page that
// holds its order's level, so that a cancel or a fill reaches the level without a lookup; that page
// also tells the order's side, since a book keeps each side's levels on pages of their own. The
// slots live in a block of the BookSet's TableArena; a lookup of a random id costs about one cache
// miss. The table is a plain value that moves with the book holding it; its owner frees it with
// release(). Indexes are valid until the next insertion or erasure.
class OrderTable {
 public:
  struct Slot {
    uint64_t order_id;
    uint32_t price;
    uint32_t quantity;  // greater than 0 in a slot in use, 0 in a vacant one
    void* page;         // the BookSet's page of the order's level
  };
  static constexpr std::size_t kNotFound = ~std::size_t{0};

  // Returns the number of orders held.
  std::size_t size() const { return size_; }
  // Returns the number of slots allocated.
  std::size_t capacity() const { return slots_ != nullptr ? mask_ + 1 : 0; }
  // Returns the index of `order_id`'s slot, or kNotFound.
  std::size_t find(uint64_t order_id) const {
    if (size_ == 0) return kNotFound;
    for (std::size_t i = home(order_id);; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.quantity == 0) return kNotFound;
      if (s.order_id == order_id) return i;
    }
  }
  // Returns the slot at an index that find or find_or_add gave.
  Slot& at(std::size_t i) { return slots_[i]; }
  const Slot& at(std::size_t i) const { return slots_[i]; }
  // Makes room for one more order, taking memory from `arena`, so that the
  // next find_or_add cannot allocate; throws std::bad_alloc when the room
  // cannot be had.
  void reserve_one(TableArena& arena) {
    if ((size_ + 1) * 2 > capacity()) grow(arena);
  }
  // Returns the index of `order_id`'s slot; an id not held yet gets a
  // vacant slot (quantity 0) holding the id, which the caller must fill
  // with a quantity. Call reserve_one first.
  std::size_t find_or_add(uint64_t order_id) {
    std::size_t i = home(order_id);
    for (;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.quantity == 0) break;
      if (s.order_id == order_id) return i;
    }
    ++size_;
    slots_[i].order_id = order_id;
    return i;
  }
  // Removes the order at index i.
  void erase_at(std::size_t i);
  // Hints that `order_id` will be looked up soon: fetches the lines of its
  // home slot and the three after it. At most half full, a probe for a new
  // id runs 2.5 slots on average, and an erasure walks on to the end of
  // the run; slots of the run past the home slot's line were the misses
  // that remained. A run that wraps around the end of the table fetches a
  // line past it, which is harmless.
  void prefetch(uint64_t order_id) const {
    if (slots_ == nullptr) return;
    const char* first = reinterpret_cast<const char*>(&slots_[home(order_id)]);
    prefetch_line(first);
    prefetch_line(first + 64);
    prefetch_line(first + 4 * sizeof(Slot) - 1);
  }
  // The same for an id that is expected to be held: a probe that finds it
  // ends within the home slot's line or the next.
  void prefetch_held(uint64_t order_id) const {
    if (slots_ == nullptr) return;
    const char* first = reinterpret_cast<const char*>(&slots_[home(order_id)]);
    prefetch_line(first);
    prefetch_line(first + 64);
  }
  // Hints that the run after slot i will be walked soon (an erasure shifts
  // it back): fetches the lines of the two slots after it.
  void prefetch_after(std::size_t i) const {
    prefetch_line(reinterpret_cast<const char*>(&slots_[i]) + 3 * sizeof(Slot) - 1);
  }
  // Gives the memory back to `arena`; the table is empty afterwards.
  void release(TableArena& arena);

 private:
  std::size_t home(uint64_t order_id) const {
    return static_cast<std::size_t>((order_id * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  // The bytes of the block of a table of `capacity` slots, rounded up to
  // whole cache lines.
  static std::size_t block_bytes(std::size_t capacity) {
    return (capacity * sizeof(Slot) + 63) & ~std::size_t{63};
  }
  void grow(TableArena& arena);

  Slot* slots_ = nullptr;
  uint64_t mask_ = 0;
  uint32_t shift_ = 64;
  uint32_t size_ = 0;
};

// An order resting in a book.
struct RestingOrder {
  uint32_t price;     // its limit price, inside the book's window
  uint32_t quantity;  // what remains of it; greater than 0 while it rests
  bool is_sell;       // placed by a message whose order_type was not 'B'
};

// One price level as reported: a price with a non-zero total quantity.
struct DepthLevel {
  uint32_t price;
  uint64_t quantity;

  bool operator==(const DepthLevel&) const = default;
};

// Where write_levels puts the levels of one row, as columns: level i of the
// bids goes to prices[2 * i][row] and quantities[2 * i][row], level i of the
// asks to index 2 * i + 1.
struct LevelColumns {
  uint32_t* const* prices;
  uint64_t* const* quantities;
  std::size_t row;
};
// The same as words of one row, three a level: level i's bid price in the
// low and ask price in the high 32 bits of words[3 * i], its bid quantity at
// words[3 * i + 1] and ask quantity at words[3 * i + 2]. Prices fit in 32
// bits, so a row handed from one thread to another is a quarter shorter.
struct LevelWords {
  static constexpr std::size_t kPerLevel = 3;
  uint64_t* words;
};
// What write_levels wrote, in one word: the mid price (0 unless both sides
// have a level) in bits 0 to 31, and the levels found on the bid side in
// bits 32 to 47 and on the ask side in bits 48 to 63. One word comes back
// in a register; three fields came back through memory, and reading them
// there waited for every store of the row before.
struct LevelCounts {
  uint64_t word = 0;

  static LevelCounts of(std::size_t bids, std::size_t asks, uint32_t mid_price) {
    return LevelCounts{mid_price | (uint64_t{bids} << 32) | (uint64_t{asks} << 48)};
  }
  uint32_t mid_price() const { return static_cast<uint32_t>(word); }
  std::size_t bids() const { return (word >> 32) & 0xFFFF; }
  std::size_t asks() const { return word >> 48; }
};

// The levels of one book: bids highest price first, asks lowest price first.
// mid_price is (best bid + best ask) / 2 when both sides reported a level,
// else 0; collect_full_depth leaves it 0.
struct DepthView {
  std::vector<DepthLevel> bids;
  std::vector<DepthLevel> asks;
  uint32_t mid_price = 0;
};

// The book of one token: its price window, its resting orders and, per
// side, the groups of pages that hold a level. Its levels live in the
// BookSet's table of pages, and the book itself is a slot of the BookSet's
// table of books, so that one probe by token yields the window and the
// order table; the page groups sit behind a pointer that the BookSet owns.
class OrderBook {
 public:
  // Levels per side up to which write_levels keeps a copy of a book's best
  // levels (with the depth cache on).
  static constexpr std::size_t kCachedLevels = 10;

  // Returns the lowest price of the window.
  uint32_t min_price() const { return min_price_; }
  // Returns the highest price of the window.
  uint32_t max_price() const { return max_price_; }

 private:
  friend class BookSet;

  // 64 consecutive pages of one side, at least one of which holds a level,
  // with the address of each page that does: a depth walk goes from one
  // level to the next without a lookup in the BookSet's table of pages.
  struct PageGroup {
    uint32_t number;  // page number >> 6
    uint64_t pages;   // bit b set when page (number << 6) | b holds a level
    void* page[64];   // page[b]: the BookSet's Page where bit b is set
  };
  using PageGroups = std::vector<PageGroup>;  // ascending by number
  // A page recently used by a side of the book. Pages never move, so an
  // entry stays right for as long as the book lives.
  struct PageRef {
    uint32_t number;
    void* page;  // the BookSet's Page, or nullptr in an unused entry
  };
  static constexpr unsigned kRecentPages = 64;
  // Aligned to a cache line, so that the best pages and both sides' page
  // groups lie in its first two lines, which a look-ahead fetches: a level
  // that appears or goes away changes them.
  struct alignas(64) Sides {
    // Per side (bids [0], asks [1]): the page of the best level and the
    // next occupied page after it, each nullptr when there is none. Depth
    // reads start there without a search, and a look-ahead fetches them.
    void* best[2] = {nullptr, nullptr};
    void* second[2] = {nullptr, nullptr};
    // With the BookSet's depth cache on, per side: a change to a level
    // whose side key (level_key) is at least watch[side] sets stale[side],
    // since the levels in `cache` may no longer be the side's best. Here,
    // in the lines that a look-ahead fetches, because every change of a
    // level reads them.
    uint32_t watch[2] = {0, 0};
    uint8_t stale[2] = {1, 1};
    PageGroups bids;
    PageGroups asks;
    // The levels that write_levels last read from each side, for the next
    // read of the same number of levels while the side is not stale.
    struct LevelCache {
      uint64_t generation = 0;  // the BookSet's depth_generation_ when filled
      uint32_t levels = 0;      // levels per side it was filled for (0: none)
      uint32_t count[2] = {0, 0};
      // Side s from level[s * levels] on, count[s] of them, best first.
      DepthLevel level[2 * kCachedLevels];
    } cache;
    // Direct-mapped by page number: most messages of a book touch a few
    // pages near its best prices, and this saves them a probe of the
    // BookSet's table of pages.
    PageRef recent[2][kRecentPages];
  };

  bool in_window(uint32_t price) const { return price >= min_price_ && price <= max_price_; }
  bool widen_window(uint32_t price);
  PageGroups& groups(bool is_sell) { return is_sell ? sides_->asks : sides_->bids; }
  const PageGroups& groups(bool is_sell) const { return is_sell ? sides_->asks : sides_->bids; }

  uint32_t token_;
  uint32_t min_price_;
  uint32_t max_price_;  // at least 10000 in a book in use, 0 in an empty slot
  Sides* sides_;
  OrderTable orders_;
};

// Number of levels per side that a snapshot row shows.
inline constexpr std::size_t kSnapshotRowLevels = 5;
// Longest snapshot row in bytes: 23 fields of at most 20 digits each
// (quantities), at most 10 for prices and the mid price, and 22 commas.
inline constexpr std::size_t kSnapshotRowMaxSize = 2 + 11 * 10 + 10 * 20 + 22;

// The books of one builder and its message type filter.
class BookSet {
 public:
  BookSet() = default;
  BookSet(const BookSet&) = delete;
  BookSet& operator=(const BookSet&) = delete;
  ~BookSet();

  // Returns false when the type filter or the side rule skipped the message,
  // true when it was applied (which need not change any book).
  bool apply_message(const FeedMessage& message);
  // Applies messages[0, count) in order and returns how many were accepted:
  // the same as apply_message on each, but faster over a long run.
  std::size_t apply_messages(const FeedMessage* messages, std::size_t count);
  // The same, calling on_accepted(i, book) right after each accepted
  // message i, where book is the book of its token at that moment (nullptr
  // when the token has none) and valid only until the next message.
  template <class Fn>
  std::size_t apply_messages(const FeedMessage* messages, std::size_t count, Fn&& on_accepted) {
    return apply_messages(messages, count, [](std::size_t, const OrderBook*) {}, on_accepted);
  }
  // The same, also calling before(i, book) just before each message i that
  // the type filter lets through is applied, with the book of its token as
  // it is then (nullptr when the token has none yet), so that a caller can
  // read the books as they were before the message.
  template <class Before, class Fn>
  std::size_t apply_messages(const FeedMessage* messages, std::size_t count, Before&& before,
                             Fn&& on_accepted) {
    if (depth_cache_) return apply_run<true, true>(messages, count, count, before, on_accepted);
    return apply_run<true, false>(messages, count, count, before, on_accepted);
  }
  // Applies messages[0, count) as apply_messages does, while already
  // fetching ahead for messages[count, visible), which the caller applies
  // next: a reader that goes on in batches keeps its look-ahead running
  // across them.
  std::size_t apply_messages_ahead(const FeedMessage* messages, std::size_t count,
                                   std::size_t visible);
  // How many messages the apply looks ahead.
  static constexpr std::size_t kLookAhead = 16;

  // Replaces the type filter: absent lets every type through, otherwise only
  // the listed type bytes pass (an empty list passes nothing).
  void set_type_filter(std::optional<std::vector<uint8_t>> filter);
  // Returns the current type filter.
  const std::optional<std::vector<uint8_t>>& type_filter() const { return filter_; }

  // Returns the book of `token`, or nullptr; valid until the next message.
  const OrderBook* find_book(uint32_t token) const;
  // Returns the number of books.
  std::size_t book_count() const { return books_.size(); }
  // Returns every token that has a book, ascending.
  std::vector<uint32_t> sorted_tokens() const;
  // Returns the order `order_id` resting in `token`'s book, or nothing.
  std::optional<RestingOrder> find_order(uint32_t token, uint64_t order_id) const;
  // Returns the number of resting orders in all books.
  std::size_t order_count() const;
  // Returns the total quantity at `price` on one side of `token`'s book.
  uint64_t level_quantity(uint32_t token, bool is_sell, uint32_t price) const;
  // Returns the number of ladder pages allocated, for memory accounting.
  std::size_t page_count() const { return pages_.size(); }

  // Returns up to `levels` levels per side of `token`'s book with the mid
  // price, or nothing when the token has no book.
  std::optional<DepthView> collect_depth(uint32_t token, uint64_t levels) const;
  // Returns every level of `token`'s book, or nothing when it has no book.
  std::optional<DepthView> collect_full_depth(uint32_t token) const;
  // Fills `out` as collect_depth does, reusing its storage; returns false
  // (and leaves `out` empty with mid price 0) when the token has no book.
  bool collect_depth(uint32_t token, uint64_t levels, DepthView& out) const;
  // The same for a book already found (nullptr when there is none).
  bool collect_book_depth(const OrderBook* book, uint64_t levels, DepthView& out) const;

  // Turns the depth cache on or off (it starts off). While it is on, every
  // change of a level notes whether it reaches a side's last levels read,
  // and write_levels copies a side's levels from the last read until then
  // instead of walking the side again: over a book with many levels, most
  // messages change none of the few best. Off, the books pay nothing for it.
  void set_depth_cache(bool on) {
    // Levels kept before were not watched in between.
    if (on && !depth_cache_) ++depth_generation_;
    depth_cache_ = on;
  }

  // Writes the best `levels` (at most 65535) levels per side of `book`
  // (nullptr: no book) into a row, zeros where a side has fewer: the levels
  // collect_book_depth gives, written straight to where a table keeps
  // them. Valid for a book of this set only.
  LevelCounts write_levels(const OrderBook* book, std::size_t levels,
                           const LevelColumns& out) const;
  LevelCounts write_levels(const OrderBook* book, std::size_t levels, const LevelWords& out) const;
  // Hints that the depth of `book` (nullptr: none) will be read soon:
  // without `pages` it fetches where the book keeps its best pages, with
  // `pages` (a little later, once that has arrived) the best page of each
  // side.
  static void prefetch_depth(const OrderBook* book, bool pages) {
    if (book == nullptr) return;
    const OrderBook::Sides* sides = book->sides_;
    if (!pages) {
      prefetch_line(sides);
      return;
    }
    for (const void* page : {sides->best[0], sides->best[1]}) {
      if (page == nullptr) continue;
      const char* p = static_cast<const char*>(page);
      for (std::size_t at = 0; at < sizeof(Page); at += 64) prefetch_line(p + at);
    }
  }

  // Writes the snapshot row of `token` for `levels` into out, which must hold
  // kSnapshotRowMaxSize bytes, and returns its length. A token without a book
  // gives 23 zeros. Allocates nothing.
  std::size_t write_snapshot_row(uint32_t token, uint64_t levels, char* out) const;

 private:
  static constexpr unsigned kPageBits = 5;  // 32 prices per page
  static constexpr uint32_t kPageSlots = 1u << kPageBits;
  static constexpr unsigned kGroupBits = 6;  // 64 pages per group

  // The total quantity of 32 consecutive prices of one side of one book.
  struct Page {
    uint32_t occupied;        // bit s set when quantity[s] != 0
    uint32_t number;          // price >> kPageBits of its slots
    OrderBook::Sides* sides;  // the page groups and best pages of its book
    uint32_t is_sell;         // its side
    uint64_t quantity[kPageSlots];
  };

  struct BookTraits {
    using Key = uint32_t;
    using Slot = OrderBook;
    static uint64_t hash(uint32_t token) { return token * 0x9E3779B97F4A7C15ull; }
    static uint32_t key_of(const OrderBook& b) { return b.token_; }
    static void set_key(OrderBook& b, uint32_t token) { b.token_ = token; }
    static bool vacant(const OrderBook& b) { return b.max_price_ == 0; }
  };

  // A page is keyed by token, side and page number in one 64-bit value.
  struct PageSlot {
    uint64_t key;
    Page* page;
  };
  struct PageTraits {
    using Key = uint64_t;
    using Slot = PageSlot;
    static uint64_t hash(uint64_t key) { return key * 0x9E3779B97F4A7C15ull; }
    static uint64_t key_of(const PageSlot& s) { return s.key; }
    static void set_key(PageSlot& s, uint64_t key) { s.key = key; }
    static bool vacant(const PageSlot& s) { return s.page == nullptr; }
  };
  static uint64_t page_key(uint32_t token, bool is_sell, uint32_t page_number) {
    return (uint64_t{token} << 32) | (uint64_t{is_sell} << 31) | page_number;
  }

  // Hands out zeroed pages from blocks that grow with the set and are freed
  // only with it; pages never move.
  class PageArena {
   public:
    PageArena() = default;
    PageArena(const PageArena&) = delete;
    PageArena& operator=(const PageArena&) = delete;
    ~PageArena();
    Page* allocate();

   private:
    struct Block {
      void* memory;
      std::size_t bytes;
    };
    std::vector<Block> blocks_;
    std::size_t used_ = 0;  // pages handed out from the last block
    std::size_t room_ = 0;  // pages that the last block holds
  };

  OrderBook& create_book(uint32_t token, uint32_t price);
  const Page* find_page(uint32_t token, bool is_sell, uint32_t page_number) const;

  // The helpers that change the books note each change of a level for the
  // depth cache when kTrack.
  template <bool kTrack>
  Page* add_quantity(OrderBook& book, uint32_t token, bool is_sell, uint32_t price,
                     uint64_t quantity);
  template <bool kTrack>
  void subtract_quantity(Page* page, uint32_t price, uint64_t quantity);
  static void mark_page_occupied(Page* page);
  static void mark_page_empty(const Page* page);

  template <bool kTrack>
  void remove_order(OrderBook& book, uint64_t order_id);
  template <bool kTrack>
  void store(OrderBook& book, uint64_t order_id, uint32_t price, uint32_t quantity, bool is_sell);
  template <bool kTrack>
  void apply_new(OrderBook& book, uint64_t order_id, uint32_t price, uint32_t quantity,
                 bool is_sell);
  template <bool kTrack>
  void apply_modify(OrderBook& book, uint64_t order_id, uint32_t price, uint32_t quantity,
                    bool is_sell);
  template <bool kTrack>
  void apply_fill(OrderBook& book, uint64_t order_id, uint32_t traded);
  template <bool kTrack>
  bool apply_to(const FeedMessage& message, OrderBook*& book);

  // A price as a key that grows towards the best of its side: the price
  // itself for bids, its complement for asks.
  static uint32_t level_key(bool is_sell, uint32_t price) { return price ^ (0u - is_sell); }
  // Notes for the depth cache that the level at `price` of a side changed.
  static void note_level_change(OrderBook::Sides& sides, bool is_sell, uint32_t price) {
    sides.stale[is_sell] |= static_cast<uint8_t>(level_key(is_sell, price) >= sides.watch[is_sell]);
  }
  OrderBook* look_ahead(const FeedMessage& message);
  void look_closer(const FeedMessage& message, const OrderBook& book, bool depth) const;
  // apply_messages, fetching ahead also the best levels of each message's
  // book when `kDepth` (for callers that read depth after each message),
  // and noting changes for the depth cache when `kTrack`.
  template <bool kDepth, bool kTrack, class Before, class Fn>
  std::size_t apply_run(const FeedMessage* messages, std::size_t count, std::size_t visible,
                        Before&& before, Fn&& on_accepted);
  // Whether the type filter lets `type` through.
  bool type_passes(uint8_t type) const { return !filter_ || type_allowed_[type]; }
  // The token of a message, a trade's signed token read as its 32 bits.
  static uint32_t token_of(const FeedMessage& m) {
    if (m.is_trade()) return static_cast<uint32_t>(static_cast<int32_t>(m.trade.token));
    return m.order.token;
  }
  // The same, reading both places first: the type then only chooses.
  static uint32_t token_of_unchecked(const FeedMessage& m) {
    const uint32_t trade_token = static_cast<uint32_t>(static_cast<int32_t>(m.trade.token));
    return m.is_trade() ? trade_token : m.order.token;
  }

  template <class Fn>
  static void visit_levels(const OrderBook& book, bool is_sell, Fn&& fn);
  // Writes the best levels of one side of a book to [out, end), which
  // must not be empty; returns the end of what it wrote.
  template <bool kSell>
  static DepthLevel* best_levels(const OrderBook& book, DepthLevel* out, DepthLevel* end);
  // Calls sink.put(i, price, quantity) for the best `levels` levels of one
  // side, i counting from 0; returns how many there were.
  template <bool kSell, class Sink>
  static std::size_t put_best_levels(const OrderBook& book, std::size_t levels, Sink& sink);
  // write_levels through the depth cache when kCached.
  template <bool kCached, class Sink>
  LevelCounts write_levels_to(const OrderBook* book, std::size_t levels, Sink& sink) const;
  // Puts the best `levels` levels of one side through the depth cache:
  // copied from it while the side is not stale, else read and kept.
  template <bool kSell, class Sink>
  static std::size_t put_cached_levels(const OrderBook& book, std::size_t levels, Sink& sink);
  template <class Fn>
  static bool visit_page(const Page& page, bool is_sell, Fn& fn);
  template <class Fn>
  static void visit_pages_after(const OrderBook::PageGroups& groups, const Page& after,
                                bool is_sell, Fn&& fn);

  // The arenas are declared first, so that they outlive the tables whose
  // memory they hold.
  TableArena order_memory_;
  FlatTable<BookTraits> books_;
  FlatTable<PageTraits> pages_;
  PageArena arena_;
  // Books created so far: a book pointer looked up before a creation may be
  // stale, since books move when their table grows.
  uint64_t books_created_ = 0;
  std::optional<std::vector<uint8_t>> filter_;
  bool type_allowed_[256] = {};  // the filter as a table, meaningful when filter_ is set
  // The depth cache: whether it is on, and how many times it was turned on
  // (a book's levels kept under an older count are not used).
  bool depth_cache_ = false;
  uint64_t depth_generation_ = 0;
};

// Applies messages one after another while looking kLookAhead messages
// ahead, so that the cache misses of many messages overlap instead of
// following each other. The look-ahead also finds each message's book; that
// answer is reused unless a book was created in between (creation may move
// books). Half as far ahead, a second look reads the table slots that the
// first one fetched and fetches the levels they lead to. Prefetches are only
// hints: a table grown in between makes one useless, never a result wrong.
template <bool kDepth, bool kTrack, class Before, class Fn>
std::size_t BookSet::apply_run(const FeedMessage* messages, std::size_t count, std::size_t visible,
                               Before&& before, Fn&& on_accepted) {
  struct Ahead {
    OrderBook* book;
    uint64_t books_created;  // books_created_ when `book` was looked up
  };
  constexpr uint64_t kSkipped = ~uint64_t{0};  // dropped by the type filter
  Ahead ahead[kLookAhead];
  auto look = [&](std::size_t j) {
    const FeedMessage& m = messages[j];
    Ahead& a = ahead[j % kLookAhead];
    if (!type_passes(m.header.msg_type)) {
      a.books_created = kSkipped;
      return;
    }
    a.books_created = books_created_;
    a.book = look_ahead(m);
  };
  constexpr std::size_t kCloser = kLookAhead / 2;
  auto closer = [&](std::size_t j) {
    const Ahead& a = ahead[j % kLookAhead];
    if (a.books_created == books_created_ && a.book != nullptr) {
      look_closer(messages[j], *a.book, kDepth);
    }
  };
  // Twice as far ahead, the slot of the message's book is fetched: the
  // look-ahead starts from it.
  constexpr std::size_t kFarther = 2 * kLookAhead;
  auto farther = [&](std::size_t j) { books_.prefetch_home(token_of_unchecked(messages[j])); };
  for (std::size_t j = 0; j < visible && j < kFarther; ++j) farther(j);
  for (std::size_t j = 0; j < visible && j < kLookAhead; ++j) look(j);
  for (std::size_t j = 0; j < visible && j < kCloser; ++j) closer(j);
  std::size_t accepted = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const FeedMessage& m = messages[i];
    const Ahead a = ahead[i % kLookAhead];
    if (i + kFarther < visible) farther(i + kFarther);
    if (i + kLookAhead < visible) look(i + kLookAhead);
    if (i + kCloser < visible) closer(i + kCloser);
    if (a.books_created == kSkipped) continue;
    OrderBook* book = a.books_created == books_created_ ? a.book : books_.find(token_of(m));
    before(i, static_cast<const OrderBook*>(book));
    if (!apply_to<kTrack>(m, book)) continue;
    ++accepted;
    on_accepted(i, static_cast<const OrderBook*>(book));
  }
  return accepted;
}

// Returns the snapshot row of `view`: 0, 0, the mid price, then bid price,
// bid quantity, ask price and ask quantity for levels 0 to 4, padded with
// zeros, joined by commas.
std::string format_snapshot_row(const DepthView& view);
// Writes the same row into out (kSnapshotRowMaxSize bytes); returns its length.
std::size_t format_snapshot_row(const DepthView& view, char* out);

}  // namespace tidemark
