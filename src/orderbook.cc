#include "orderbook.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace tidemark {

namespace {

constexpr uint32_t kMaxPrice = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kMaxQuantity = std::numeric_limits<uint64_t>::max();

// Slots of a book's order table when its first order arrives.
constexpr std::size_t kMinOrderSlots = 16;

// Half the width of a new book's window.
constexpr uint32_t kInitialHalfWindow = 10000;

// Blocks from this size on get their own 2 MB aligned mapping.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Page blocks start small, so that a set with few books stays small, and
// double up to one huge page.
constexpr std::size_t kFirstPageBlockBytes = std::size_t{16} << 10;

char* write_number(char* out, uint64_t value) {
  // kSnapshotRowMaxSize leaves room for every field at its longest.
  return std::to_chars(out, out + 20, value).ptr;
}

std::size_t write_row(uint32_t mid_price, const DepthLevel* bids, std::size_t bid_count,
                      const DepthLevel* asks, std::size_t ask_count, char* out) {
  char* p = out;
  *p++ = '0';
  *p++ = ',';
  *p++ = '0';
  *p++ = ',';
  p = write_number(p, mid_price);
  for (std::size_t i = 0; i < kSnapshotRowLevels; ++i) {
    const DepthLevel bid = i < bid_count ? bids[i] : DepthLevel{0, 0};
    const DepthLevel ask = i < ask_count ? asks[i] : DepthLevel{0, 0};
    *p++ = ',';
    p = write_number(p, bid.price);
    *p++ = ',';
    p = write_number(p, bid.quantity);
    *p++ = ',';
    p = write_number(p, ask.price);
    *p++ = ',';
    p = write_number(p, ask.quantity);
  }
  return static_cast<std::size_t>(p - out);
}

uint32_t mid_of(uint32_t bid, uint32_t ask) {
  return static_cast<uint32_t>((uint64_t{bid} + ask) / 2);
}

}  // namespace

// ---------------------------------------------------------------------------
// Table memory

void* allocate_table_memory(std::size_t bytes) {
  if (bytes < kHugePage) {
    void* block = std::calloc(1, bytes);
    if (block == nullptr) throw std::bad_alloc();
    return block;
  }
  // Map one huge page more than asked and trim both ends, so that the block
  // starts on a 2 MB boundary. Fresh anonymous memory is already zero.
  const std::size_t length = (bytes + kHugePage - 1) & ~(kHugePage - 1);
  void* raw = ::mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kHugePage - 1) & ~(uintptr_t{kHugePage} - 1);
  if (aligned > start) ::munmap(raw, aligned - start);
  const uintptr_t tail = start + length + kHugePage - (aligned + length);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + length), tail);
  void* block = reinterpret_cast<void*>(aligned);
  ::madvise(block, length, MADV_HUGEPAGE);
  return block;
}

void release_table_memory(void* block, std::size_t bytes) {
  if (bytes < kHugePage) {
    std::free(block);
  } else {
    ::munmap(block, (bytes + kHugePage - 1) & ~(kHugePage - 1));
  }
}

BookSet::PageArena::~PageArena() {
  for (const Block& b : blocks_) release_table_memory(b.memory, b.bytes);
}

BookSet::Page* BookSet::PageArena::allocate() {
  if (used_ == room_) {
    const std::size_t bytes =
        blocks_.empty() ? kFirstPageBlockBytes : std::min(blocks_.back().bytes * 2, kHugePage);
    blocks_.reserve(blocks_.size() + 1);
    void* memory = allocate_table_memory(bytes);
    blocks_.push_back(Block{memory, bytes});
    used_ = 0;
    room_ = bytes / sizeof(Page);
  }
  Page* page = static_cast<Page*>(blocks_.back().memory) + used_++;
  return page;
}

// ---------------------------------------------------------------------------
// TableArena

TableArena::~TableArena() {
  for (void* chunk : chunks_) release_table_memory(chunk, kChunk);
}

void* TableArena::allocate(std::size_t bytes) {
  if (bytes >= kOwnMapping) return allocate_table_memory(bytes);
  for (FreeList& list : free_) {
    if (list.bytes != bytes || list.first == nullptr) continue;
    FreeBlock* block = list.first;
    list.first = block->next;
    std::memset(static_cast<void*>(block), 0, bytes);
    return block;
  }
  if (room_ < bytes) {
    // The rest of the last chunk stays unused: it is shorter than this
    // block, and tables only grow.
    chunks_.reserve(chunks_.size() + 1);
    next_ = static_cast<char*>(allocate_table_memory(kChunk));
    chunks_.push_back(next_);
    room_ = kChunk;
  }
  void* block = next_;
  next_ += bytes;
  room_ -= bytes;
  return block;
}

void TableArena::release(void* block, std::size_t bytes) {
  if (bytes >= kOwnMapping) {
    release_table_memory(block, bytes);
    return;
  }
  auto list = std::find_if(free_.begin(), free_.end(),
                           [&](const FreeList& l) { return l.bytes == bytes; });
  if (list == free_.end()) {
    // Without room for a new list the block is simply not reused.
    try {
      free_.push_back(FreeList{bytes, nullptr});
    } catch (const std::bad_alloc&) {
      return;
    }
    list = free_.end() - 1;
  }
  FreeBlock* b = static_cast<FreeBlock*>(block);
  b->next = list->first;
  list->first = b;
}

// ---------------------------------------------------------------------------
// OrderTable

void OrderTable::erase_at(std::size_t index) {
  // Backward shift: walk the run after the hole and move back every slot
  // whose home position does not lie between the hole and the slot itself.
  std::size_t hole = index;
  for (std::size_t j = (hole + 1) & mask_; slots_[j].quantity != 0; j = (j + 1) & mask_) {
    const std::size_t from_home = (j - home(slots_[j].order_id)) & mask_;
    if (from_home >= ((j - hole) & mask_)) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole] = Slot{};
  --size_;
}

void OrderTable::grow(TableArena& arena) {
  const std::size_t old_capacity = capacity();
  const std::size_t new_capacity = old_capacity == 0 ? kMinOrderSlots : old_capacity * 2;
  void* block = arena.allocate(block_bytes(new_capacity));
  OrderTable old = *this;
  slots_ = static_cast<Slot*>(block);
  mask_ = new_capacity - 1;
  shift_ = 64 - __builtin_ctzll(new_capacity);
  for (std::size_t i = 0; i < old_capacity; ++i) {
    const Slot& s = old.slots_[i];
    if (s.quantity == 0) continue;
    std::size_t j = home(s.order_id);
    while (slots_[j].quantity != 0) j = (j + 1) & mask_;
    slots_[j] = s;
  }
  old.release(arena);
}

void OrderTable::release(TableArena& arena) {
  if (slots_ != nullptr) arena.release(slots_, block_bytes(capacity()));
  *this = OrderTable{};
}

// ---------------------------------------------------------------------------
// OrderBook

// Widens the window towards a price outside it and returns whether the price
// is inside afterwards. Downwards the new low edge is a quarter of the price
// below it, moved down so that its distance to the old edge is a multiple of
// 10, and never below 1; so the price 0 only fits in a window that started at
// 0. Upwards the new high edge is the price plus a quarter, rounded up to a
// multiple of 10; near the top of the 32-bit range that rounding has no room,
// and the edge stops at the largest price instead, so that every price can
// rest.
bool OrderBook::widen_window(uint32_t price) {
  if (price < min_price_) {
    const uint32_t low = price - price / 4;
    const uint32_t excess = (min_price_ - low) % 10;
    const uint32_t rounded = excess > low ? 0 : low - excess;
    min_price_ = rounded == 0 ? 1 : rounded;
  } else if (price > max_price_) {
    const uint64_t high = std::min<uint64_t>(uint64_t{price} + price / 4, kMaxPrice);
    max_price_ = static_cast<uint32_t>(std::min<uint64_t>((high + 9) / 10 * 10, kMaxPrice));
  }
  return in_window(price);
}

// ---------------------------------------------------------------------------
// BookSet: levels

BookSet::~BookSet() {
  books_.for_each([this](const OrderBook& b) {
    delete b.sides_;
    OrderTable orders = b.orders_;
    orders.release(order_memory_);
  });
}

// Whether page number a is better than b on a side: lower for asks,
// higher for bids.
static bool better_page(bool is_sell, uint32_t a, uint32_t b) { return is_sell ? a < b : a > b; }

void BookSet::mark_page_occupied(Page* page) {
  OrderBook::PageGroups& groups = page->is_sell ? page->sides->asks : page->sides->bids;
  const uint32_t number = page->number >> kGroupBits;
  const unsigned b = page->number & ((1u << kGroupBits) - 1);
  auto it =
      std::lower_bound(groups.begin(), groups.end(), number,
                       [](const OrderBook::PageGroup& g, uint32_t n) { return g.number < n; });
  if (it == groups.end() || it->number != number) {
    it = groups.insert(it, OrderBook::PageGroup{number, 0, {}});
  }
  it->pages |= uint64_t{1} << b;
  it->page[b] = page;
  void*& best = page->sides->best[page->is_sell];
  void*& second = page->sides->second[page->is_sell];
  const bool sell = page->is_sell;
  if (best == nullptr) {
    best = page;
  } else if (better_page(sell, page->number, static_cast<const Page*>(best)->number)) {
    second = best;
    best = page;
  } else if (second == nullptr ||
             better_page(sell, page->number, static_cast<const Page*>(second)->number)) {
    second = page;
  }
}

void BookSet::mark_page_empty(const Page* page) {
  OrderBook::PageGroups& groups = page->is_sell ? page->sides->asks : page->sides->bids;
  const uint32_t number = page->number >> kGroupBits;
  const uint64_t bit = uint64_t{1} << (page->number & ((1u << kGroupBits) - 1));
  auto it =
      std::lower_bound(groups.begin(), groups.end(), number,
                       [](const OrderBook::PageGroup& g, uint32_t n) { return g.number < n; });
  if (it == groups.end() || it->number != number) return;
  it->pages &= ~bit;
  if (it->pages == 0) groups.erase(it);
  void*& best = page->sides->best[page->is_sell];
  void*& second = page->sides->second[page->is_sell];
  if (page != best && page != second) return;
  if (page == best) best = second;
  // The page after the best one: the first that the groups hold beyond it.
  second = nullptr;
  if (best != nullptr) {
    visit_pages_after(groups, *static_cast<const Page*>(best), page->is_sell,
                      [&](const Page& next) {
                        second = const_cast<Page*>(&next);
                        return false;
                      });
  }
}

const BookSet::Page* BookSet::find_page(uint32_t token, bool is_sell, uint32_t page_number) const {
  const PageSlot* s = pages_.find(page_key(token, is_sell, page_number));
  return s == nullptr ? nullptr : s->page;
}

// The helpers that apply a message are forced inline into it: each runs once
// or twice per message, and their calls and register saves were a tenth of
// the instructions of a replay.
//
// Adds a non-zero quantity at a price of `book` and returns the page that
// holds it. A slot saturates at the largest 64-bit value rather than wrap.
template <bool kTrack>
[[gnu::always_inline]] inline BookSet::Page* BookSet::add_quantity(OrderBook& book, uint32_t token,
                                                                   bool is_sell, uint32_t price,
                                                                   uint64_t quantity) {
  const uint32_t page_number = price >> kPageBits;
  OrderBook::PageRef& recent = book.sides_->recent[is_sell][page_number % OrderBook::kRecentPages];
  Page* p;
  if (recent.page != nullptr && recent.number == page_number) {
    p = static_cast<Page*>(recent.page);
  } else if (PageSlot* found = pages_.find(page_key(token, is_sell, page_number))) {
    p = found->page;
  } else {
    pages_.reserve_one();
    p = arena_.allocate();
    p->number = page_number;
    p->sides = book.sides_;
    p->is_sell = is_sell;
    pages_.find_or_add(page_key(token, is_sell, page_number)).page = p;
  }
  recent = OrderBook::PageRef{page_number, p};
  if constexpr (kTrack) note_level_change(*book.sides_, is_sell, price);
  const unsigned s = price & (kPageSlots - 1);
  uint64_t& slot = p->quantity[s];
  if (slot == 0) {
    // Anything that can fail to allocate happens before the slot changes.
    if (p->occupied == 0) mark_page_occupied(p);
    p->occupied |= 1u << s;
  }
  slot = quantity > kMaxQuantity - slot ? kMaxQuantity : slot + quantity;
  return p;
}

// Takes a quantity from a price of a page. Taking more than the slot holds
// cannot follow from the book's rules; it would stop at 0 rather than wrap.
template <bool kTrack>
[[gnu::always_inline]] inline void BookSet::subtract_quantity(Page* p, uint32_t price,
                                                              uint64_t quantity) {
  if constexpr (kTrack) note_level_change(*p->sides, p->is_sell != 0, price);
  const unsigned s = price & (kPageSlots - 1);
  uint64_t& slot = p->quantity[s];
  if (slot > quantity) {
    slot -= quantity;
    return;
  }
  if (slot == 0) return;
  slot = 0;
  p->occupied &= ~(1u << s);
  if (p->occupied == 0) mark_page_empty(p);
}

uint64_t BookSet::level_quantity(uint32_t token, bool is_sell, uint32_t price) const {
  const Page* p = find_page(token, is_sell, price >> kPageBits);
  return p == nullptr ? 0 : p->quantity[price & (kPageSlots - 1)];
}

// Calls fn(price, quantity) for each level of one page, best first on its
// side, until fn returns false; returns whether fn asked for more.
template <class Fn>
[[gnu::always_inline]] inline bool BookSet::visit_page(const Page& p, bool is_sell, Fn& fn) {
  const uint32_t base = p.number << kPageBits;
  if (is_sell) {
    for (uint32_t slots = p.occupied; slots != 0; slots &= slots - 1) {
      const unsigned s = __builtin_ctz(slots);
      if (!fn(base | s, p.quantity[s])) return false;
    }
  } else {
    for (uint32_t slots = p.occupied; slots != 0;) {
      const unsigned s = 31 - __builtin_clz(slots);
      slots &= ~(1u << s);
      if (!fn(base | s, p.quantity[s])) return false;
    }
  }
  return true;
}

// Calls fn(page) for each occupied page of one side beyond `after` (an
// occupied page of that side), best first, until fn returns false.
template <class Fn>
void BookSet::visit_pages_after(const OrderBook::PageGroups& groups, const Page& after,
                                bool is_sell, Fn&& fn) {
  const uint32_t after_group = after.number >> kGroupBits;
  const unsigned after_bit = after.number & ((1u << kGroupBits) - 1);
  if (is_sell) {
    auto g =
        std::lower_bound(groups.begin(), groups.end(), after_group,
                         [](const OrderBook::PageGroup& x, uint32_t n) { return x.number < n; });
    for (; g != groups.end(); ++g) {
      uint64_t pages = g->pages;
      if (g->number == after_group) pages &= ~(((uint64_t{1} << after_bit) << 1) - 1);
      for (; pages != 0; pages &= pages - 1) {
        if (!fn(*static_cast<const Page*>(g->page[__builtin_ctzll(pages)]))) return;
      }
    }
  } else {
    auto end =
        std::upper_bound(groups.begin(), groups.end(), after_group,
                         [](uint32_t n, const OrderBook::PageGroup& x) { return n < x.number; });
    for (auto g = std::make_reverse_iterator(end); g != groups.rend(); ++g) {
      uint64_t pages = g->pages;
      if (g->number == after_group) pages &= (uint64_t{1} << after_bit) - 1;
      while (pages != 0) {
        const unsigned b = 63 - __builtin_clzll(pages);
        pages &= ~(uint64_t{1} << b);
        if (!fn(*static_cast<const Page*>(g->page[b]))) return;
      }
    }
  }
}

// Calls fn(price, quantity) for each level of one side of a book, best
// first (bids from the highest price down, asks from the lowest up), until
// fn returns false. It starts at the side's best page and the one after it,
// which is all that most reads need, and goes on through the page groups,
// reaching each occupied page through its group.
template <class Fn>
void BookSet::visit_levels(const OrderBook& book, bool is_sell, Fn&& fn) {
  const OrderBook::Sides& sides = *book.sides_;
  const Page* best = static_cast<const Page*>(sides.best[is_sell]);
  if (best == nullptr || !visit_page(*best, is_sell, fn)) return;
  const Page* second = static_cast<const Page*>(sides.second[is_sell]);
  if (second == nullptr || !visit_page(*second, is_sell, fn)) return;
  visit_pages_after(book.groups(is_sell), *second, is_sell,
                    [&](const Page& p) { return visit_page(p, is_sell, fn); });
}

// ---------------------------------------------------------------------------
// BookSet: orders

// Stores an order under its id and adds its quantity to its level. An order
// already stored under that id is replaced in place, and its remaining
// quantity leaves its level, so every level stays the sum of its orders. The
// price must be in the window and the quantity non-zero.
template <bool kTrack>
[[gnu::always_inline]] inline void BookSet::store(OrderBook& book, uint64_t order_id,
                                                  uint32_t price, uint32_t quantity, bool is_sell) {
  const uint32_t token = book.token_;
  OrderTable& orders = book.orders_;
  orders.reserve_one(order_memory_);  // the insertion below then cannot fail
  // Anything that can fail to allocate happens before a book changes.
  Page* page = add_quantity<kTrack>(book, token, is_sell, price, quantity);
  const std::size_t i = orders.find_or_add(order_id);
  OrderTable::Slot& slot = orders.at(i);
  // A slot just added holds quantity 0; a stored order never does.
  if (slot.quantity != 0) {
    subtract_quantity<kTrack>(static_cast<Page*>(slot.page), slot.price, slot.quantity);
  }
  slot.price = price;
  slot.quantity = quantity;
  slot.page = page;
}

template <bool kTrack>
[[gnu::always_inline]] inline void BookSet::apply_new(OrderBook& book, uint64_t order_id,
                                                      uint32_t price, uint32_t quantity,
                                                      bool is_sell) {
  if (quantity == 0) return;
  if (!book.in_window(price) && !book.widen_window(price)) return;
  // A new order under an id that still rests (a feed re-sent after a gap
  // repeats messages) replaces the stored order, whose remaining quantity
  // must leave its level: no later message could name it any more.
  store<kTrack>(book, order_id, price, quantity, is_sell);
}

template <bool kTrack>
[[gnu::always_inline]] inline void BookSet::apply_modify(OrderBook& book, uint64_t order_id,
                                                         uint32_t price, uint32_t quantity,
                                                         bool is_sell) {
  // The old order leaves in any case; the new one is stored when it has a
  // quantity and its price fits the (possibly widened) window. The side
  // comes from the modify, not from the order it replaces.
  if (quantity != 0 && (book.in_window(price) || book.widen_window(price))) {
    store<kTrack>(book, order_id, price, quantity, is_sell);
  } else {
    remove_order<kTrack>(book, order_id);
  }
}

// Removes a resting order, if there is one, and takes its remaining quantity
// out of its level.
template <bool kTrack>
[[gnu::always_inline]] inline void BookSet::remove_order(OrderBook& book, uint64_t order_id) {
  OrderTable& orders = book.orders_;
  const std::size_t i = orders.find(order_id);
  if (i == OrderTable::kNotFound) return;
  const OrderTable::Slot old = orders.at(i);
  orders.erase_at(i);
  subtract_quantity<kTrack>(static_cast<Page*>(old.page), old.price, old.quantity);
}

// Takes up to `traded` from one order, whatever side it rests on; an order
// used up entirely leaves the book.
template <bool kTrack>
[[gnu::always_inline]] inline void BookSet::apply_fill(OrderBook& book, uint64_t order_id,
                                                       uint32_t traded) {
  OrderTable& orders = book.orders_;
  const std::size_t i = orders.find(order_id);
  if (i == OrderTable::kNotFound) return;
  OrderTable::Slot& slot = orders.at(i);
  const uint32_t remaining = slot.quantity;
  const uint32_t filled = std::min(remaining, traded);
  subtract_quantity<kTrack>(static_cast<Page*>(slot.page), slot.price, filled);
  if (remaining <= traded) {
    orders.erase_at(i);
  } else {
    slot.quantity = remaining - filled;
  }
}

std::optional<RestingOrder> BookSet::find_order(uint32_t token, uint64_t order_id) const {
  const OrderBook* book = find_book(token);
  if (book == nullptr) return std::nullopt;
  const std::size_t i = book->orders_.find(order_id);
  if (i == OrderTable::kNotFound) return std::nullopt;
  const OrderTable::Slot& s = book->orders_.at(i);
  return RestingOrder{s.price, s.quantity, static_cast<const Page*>(s.page)->is_sell != 0};
}

std::size_t BookSet::order_count() const {
  std::size_t n = 0;
  books_.for_each([&](const OrderBook& b) { n += b.orders_.size(); });
  return n;
}

// ---------------------------------------------------------------------------
// BookSet: messages

void BookSet::set_type_filter(std::optional<std::vector<uint8_t>> filter) {
  std::fill(std::begin(type_allowed_), std::end(type_allowed_), false);
  if (filter) {
    for (uint8_t type : *filter) type_allowed_[type] = true;
  }
  filter_ = std::move(filter);
}

const OrderBook* BookSet::find_book(uint32_t token) const { return books_.find(token); }

// Returns a new book for `token` around `price`: its window reaches 10000
// below and above the price, clipped to the 32-bit price range. Books may
// move, so every book pointer looked up before is stale afterwards.
OrderBook& BookSet::create_book(uint32_t token, uint32_t price) {
  books_.reserve_one();
  auto sides = std::make_unique<OrderBook::Sides>();
  OrderBook& b = books_.find_or_add(token);  // cannot fail after reserve_one
  b.min_price_ = price < kInitialHalfWindow ? 0 : price - kInitialHalfWindow;
  b.max_price_ = price > kMaxPrice - kInitialHalfWindow ? kMaxPrice : price + kInitialHalfWindow;
  b.sides_ = sides.release();
  ++books_created_;
  return b;
}

bool BookSet::apply_message(const FeedMessage& message) {
  const uint8_t type = message.header.msg_type;
  if (filter_ && !type_allowed_[type]) return false;
  OrderBook* book = books_.find(token_of(message));
  return depth_cache_ ? apply_to<true>(message, book) : apply_to<false>(message, book);
}

// Applies a message that passed the type filter to `book`, the book of its
// token as it is now (nullptr when there is none), and leaves there the book
// afterwards: an order message creates the book of a new token.
template <bool kTrack>
bool BookSet::apply_to(const FeedMessage& message, OrderBook*& book) {
  switch (message.header.msg_type) {
    case 'N':
    case 'M': {
      const OrderMessage& o = message.order;
      const uint8_t side = o.order_type;
      if (side != 'B' && side != 'S') return false;
      if (book == nullptr) book = &create_book(o.token, o.price);
      if (o.header.msg_type == 'N') {
        apply_new<kTrack>(*book, o.order_id, o.price, o.quantity, side == 'S');
      } else {
        apply_modify<kTrack>(*book, o.order_id, o.price, o.quantity, side == 'S');
      }
      return true;
    }
    case 'X':
      // A token without a book holds no orders.
      if (book != nullptr) remove_order<kTrack>(*book, message.order.order_id);
      return true;
    case 'T': {
      const TradeMessage& t = message.trade;
      const int32_t traded = t.trade_quantity;
      const uint32_t q = traded < 0 ? 0 : static_cast<uint32_t>(traded);
      if (book != nullptr) {
        apply_fill<kTrack>(*book, t.buy_order_id, q);
        apply_fill<kTrack>(*book, t.sell_order_id, q);
      }
      return true;
    }
    default:
      // No decoder produces other types; such a message changes nothing.
      return true;
  }
}

template bool BookSet::apply_to<false>(const FeedMessage&, OrderBook*&);
template bool BookSet::apply_to<true>(const FeedMessage&, OrderBook*&);

// Looks a message up ahead of applying it: returns its book (nullptr when
// its token has none yet) and starts fetching the table slots of its order
// ids, of the recent page of a new price and of where the book keeps its best
// pages. The table of books is small and stays cached; these slots are
// what a message waits for when the tables have outgrown the processor's
// caches.
OrderBook* BookSet::look_ahead(const FeedMessage& m) {
  // No switch on the message type, whose next value the processor cannot
  // guess: the fields are read at their places in both layouts, and one
  // test (is it a trade, which is rare) picks a trade's. A field that the
  // type does not carry only makes a fetch useless.
  const bool trade = m.is_trade();
  OrderBook* book = books_.find(token_of_unchecked(m));
  if (book == nullptr) return nullptr;
  // Where the book keeps its best pages and page groups: a message that
  // fills an empty page or empties one updates them, which would otherwise
  // wait for these lines and then for the group they lead to.
  const char* sides = reinterpret_cast<const char*>(book->sides_);
  prefetch_line(sides);
  prefetch_line(sides + 64);
  // The order id of an order message is where a trade has its buy order id.
  static_assert(offsetof(OrderMessage, order_id) == offsetof(TradeMessage, buy_order_id));
  const uint64_t first_id = m.order.order_id;
  const uint64_t second_id = trade ? m.trade.sell_order_id : first_id;
  // A new id probes to the end of its run: the longer fetch serves it.
  book->orders_.prefetch(first_id);
  book->orders_.prefetch_held(second_id);
  // The level of a new or modified order is reached through the book's
  // recent pages; the table of pages is probed only when those miss, and
  // look_closer fetches its slot then.
  const uint32_t number = m.order.price >> kPageBits;
  prefetch_line(
      &book->sides_->recent[m.order.order_type == 'S'][number % OrderBook::kRecentPages]);
  return book;
}

// Looks at a message again, half as far ahead as look_ahead: the table
// slots that look_ahead fetched have arrived by now, so reading them costs
// little, and they tell which page each level the message will change lives
// on; the lines of those levels are fetched next.
void BookSet::look_closer(const FeedMessage& m, const OrderBook& book, bool depth) const {
  auto fetch_level = [](const void* page, uint32_t price) {
    const Page* p = static_cast<const Page*>(page);
    prefetch_line(p);  // the occupancy bits
    prefetch_line(&p->quantity[price & (kPageSlots - 1)]);
  };
  auto fetch_order = [&](uint64_t order_id) {
    const std::size_t i = book.orders_.find(order_id);
    if (i != OrderTable::kNotFound) {
      const OrderTable::Slot& s = book.orders_.at(i);
      fetch_level(s.page, s.price);
      book.orders_.prefetch_after(i);
    }
  };
  if (depth) {
    // Every line of each side's best two pages: where in them the best
    // levels lie is only known once they have arrived. A side whose levels
    // the depth cache holds is read from there instead, unless a change
    // reaches them first.
    const OrderBook::Sides& sides = *book.sides_;
    auto fetch_pages = [](const void* page) {
      if (page == nullptr) return;
      const char* p = static_cast<const char*>(page);
      for (std::size_t at = 0; at < sizeof(Page); at += 64) prefetch_line(p + at);
    };
    if (depth_cache_ && sides.cache.generation == depth_generation_) {
      const char* kept = reinterpret_cast<const char*>(sides.cache.level);
      const std::size_t bytes = 2 * std::size_t{sides.cache.levels} * sizeof(DepthLevel);
      for (std::size_t at = 0; at < bytes; at += 64) prefetch_line(kept + at);
      prefetch_line(kept + bytes - 1);
      for (int side = 0; side < 2; ++side) {
        if (!sides.stale[side]) continue;
        fetch_pages(sides.best[side]);
        fetch_pages(sides.second[side]);
      }
    } else {
      for (const void* page : {sides.best[0], sides.best[1], sides.second[0], sides.second[1]}) {
        fetch_pages(page);
      }
    }
  }
  switch (m.header.msg_type) {
    case 'M':
      fetch_order(m.order.order_id);
      [[fallthrough]];
    case 'N': {
      const uint32_t number = m.order.price >> kPageBits;
      const bool is_sell = m.order.order_type == 'S';
      const OrderBook::PageRef& recent =
          book.sides_->recent[is_sell][number % OrderBook::kRecentPages];
      if (recent.page != nullptr && recent.number == number) {
        fetch_level(recent.page, m.order.price);
      } else {
        pages_.prefetch(page_key(book.token_, is_sell, number));
      }
      break;
    }
    case 'X':
      fetch_order(m.order.order_id);
      break;
    case 'T':
      fetch_order(m.trade.buy_order_id);
      fetch_order(m.trade.sell_order_id);
      break;
    default:
      break;
  }
}

std::size_t BookSet::apply_messages(const FeedMessage* messages, std::size_t count) {
  return apply_messages_ahead(messages, count, count);
}

// The bulk path has every step of a message inlined into its loop: the
// calls between the look-ahead, the lookups and the changes to the books,
// with their register saves, were a tenth of its instructions.
[[gnu::flatten]] std::size_t BookSet::apply_messages_ahead(const FeedMessage* messages,
                                                           std::size_t count,
                                                           std::size_t visible) {
  auto none = [](std::size_t, const OrderBook*) {};
  if (depth_cache_) return apply_run<false, true>(messages, count, visible, none, none);
  return apply_run<false, false>(messages, count, visible, none, none);
}

// ---------------------------------------------------------------------------
// BookSet: queries

std::vector<uint32_t> BookSet::sorted_tokens() const {
  std::vector<uint32_t> tokens;
  tokens.reserve(books_.size());
  books_.for_each([&](const OrderBook& b) { tokens.push_back(b.token_); });
  std::sort(tokens.begin(), tokens.end());
  return tokens;
}

bool BookSet::collect_depth(uint32_t token, uint64_t levels, DepthView& out) const {
  return collect_book_depth(find_book(token), levels, out);
}

// Takes the best occupied slot out of a page's bit set and returns it: the
// lowest price for the sell side, the highest for the buy side.
template <bool kSell>
[[gnu::always_inline]] static inline unsigned take_best_slot(uint32_t& occupied) {
  unsigned s;
  if constexpr (kSell) {
    s = static_cast<unsigned>(__builtin_ctz(occupied));
    occupied &= occupied - 1;
  } else {
    s = 31u ^ static_cast<unsigned>(__builtin_clz(occupied));
    occupied ^= 1u << s;
  }
  return s;
}

// Writes the levels of one page, best first, to [out, end); returns the
// end of what it wrote.
template <bool kSell>
[[gnu::always_inline]] static inline DepthLevel* page_levels(uint32_t occupied, uint32_t base,
                                                             const uint64_t* quantity,
                                                             DepthLevel* out, DepthLevel* end) {
  while (occupied != 0) {
    const unsigned s = take_best_slot<kSell>(occupied);
    *out = DepthLevel{base | s, quantity[s]};
    if (++out == end) break;
  }
  return out;
}

template <bool kSell>
DepthLevel* BookSet::best_levels(const OrderBook& book, DepthLevel* out, DepthLevel* end) {
  const OrderBook::Sides& sides = *book.sides_;
  const Page* best = static_cast<const Page*>(sides.best[kSell]);
  if (best == nullptr) return out;
  out = page_levels<kSell>(best->occupied, best->number << kPageBits, best->quantity, out, end);
  const Page* second = static_cast<const Page*>(sides.second[kSell]);
  if (out == end || second == nullptr) return out;
  out =
      page_levels<kSell>(second->occupied, second->number << kPageBits, second->quantity, out, end);
  if (out == end) return out;
  visit_pages_after(book.groups(kSell), *second, kSell, [&](const Page& p) {
    out = page_levels<kSell>(p.occupied, p.number << kPageBits, p.quantity, out, end);
    return out != end;
  });
  return out;
}

// Puts the levels of one page, best first, from level `i` on, stopping at
// `levels`; returns the next level's index.
template <bool kSell, class Sink>
[[gnu::always_inline]] static inline std::size_t put_page_levels(uint32_t occupied, uint32_t base,
                                                                 const uint64_t* quantity,
                                                                 std::size_t i, std::size_t levels,
                                                                 Sink& sink) {
  while (occupied != 0) {
    const unsigned s = take_best_slot<kSell>(occupied);
    sink.template put<kSell>(i, base | s, quantity[s]);
    if (++i == levels) break;
  }
  return i;
}

template <bool kSell, class Sink>
std::size_t BookSet::put_best_levels(const OrderBook& book, std::size_t levels, Sink& sink) {
  const OrderBook::Sides& sides = *book.sides_;
  const Page* best = static_cast<const Page*>(sides.best[kSell]);
  if (best == nullptr) return 0;
  std::size_t i =
      put_page_levels<kSell>(best->occupied, best->number << kPageBits, best->quantity, 0,
                             levels, sink);
  const Page* second = static_cast<const Page*>(sides.second[kSell]);
  if (i == levels || second == nullptr) return i;
  i = put_page_levels<kSell>(second->occupied, second->number << kPageBits, second->quantity, i,
                             levels, sink);
  if (i == levels) return i;
  visit_pages_after(book.groups(kSell), *second, kSell, [&](const Page& p) {
    i = put_page_levels<kSell>(p.occupied, p.number << kPageBits, p.quantity, i, levels, sink);
    return i != levels;
  });
  return i;
}

namespace {

// Level sinks of write_levels: where level i of a side goes.
// The addresses are held by value, so that the stores through them cannot
// make the compiler read them again for every level.
struct ColumnSink {
  uint32_t* const* prices;
  uint64_t* const* quantities;
  std::size_t row;
  template <bool kSell>
  void put(std::size_t i, uint32_t price, uint64_t quantity) const {
    prices[2 * i + kSell][row] = price;
    quantities[2 * i + kSell][row] = quantity;
  }
  template <bool kSell>
  uint32_t best_price() const {
    return prices[kSell][row];
  }
};

struct WordSink {
  static_assert(std::endian::native == std::endian::little,
                "a level's two prices are the halves of one word");
  uint64_t* words;
  template <bool kSell>
  void put(std::size_t i, uint32_t price, uint64_t quantity) const {
    // The price into its half of the level's price word (LevelWords).
    std::memcpy(reinterpret_cast<unsigned char*>(words + 3 * i) + 4 * kSell, &price, sizeof price);
    words[3 * i + 1 + kSell] = quantity;
  }
  template <bool kSell>
  uint32_t best_price() const {
    return static_cast<uint32_t>(words[0] >> (32 * kSell));
  }
};

// A sink that also keeps each level it passes on in a side's cached levels.
template <class Sink>
struct KeepingSink {
  const Sink& sink;
  DepthLevel* kept;
  template <bool kSell>
  void put(std::size_t i, uint32_t price, uint64_t quantity) const {
    sink.template put<kSell>(i, price, quantity);
    kept[i] = DepthLevel{price, quantity};
  }
};

}  // namespace

template <bool kSell, class Sink>
std::size_t BookSet::put_cached_levels(const OrderBook& book, std::size_t levels, Sink& sink) {
  OrderBook::Sides& sides = *book.sides_;
  OrderBook::Sides::LevelCache& cache = sides.cache;
  DepthLevel* kept = cache.level + kSell * levels;
  if (!sides.stale[kSell]) {
    const std::size_t n = cache.count[kSell];
    for (std::size_t i = 0; i < n; ++i) {
      sink.template put<kSell>(i, kept[i].price, kept[i].quantity);
    }
    return n;
  }
  KeepingSink<Sink> keeping{sink, kept};
  const std::size_t n = put_best_levels<kSell>(book, levels, keeping);
  cache.count[kSell] = static_cast<uint32_t>(n);
  // With fewer levels than asked for, any change of the side may add one.
  sides.watch[kSell] = n == levels ? level_key(kSell, kept[n - 1].price) : 0;
  sides.stale[kSell] = 0;
  return n;
}

template <bool kCached, class Sink>
LevelCounts BookSet::write_levels_to(const OrderBook* book, std::size_t levels,
                                     Sink& sink) const {
  std::size_t bids = 0;
  std::size_t asks = 0;
  if (book != nullptr && levels != 0) {
    if constexpr (kCached) {
      OrderBook::Sides& sides = *book->sides_;
      if (sides.cache.generation != depth_generation_ || sides.cache.levels != levels) {
        sides.cache.generation = depth_generation_;
        sides.cache.levels = static_cast<uint32_t>(levels);
        sides.stale[0] = sides.stale[1] = 1;
      }
      bids = put_cached_levels<false>(*book, levels, sink);
      asks = put_cached_levels<true>(*book, levels, sink);
    } else {
      bids = put_best_levels<false>(*book, levels, sink);
      asks = put_best_levels<true>(*book, levels, sink);
    }
  }
  for (std::size_t i = bids; i < levels; ++i) sink.template put<false>(i, 0, 0);
  for (std::size_t i = asks; i < levels; ++i) sink.template put<true>(i, 0, 0);
  const uint32_t mid_price =
      bids != 0 && asks != 0
          ? mid_of(sink.template best_price<false>(), sink.template best_price<true>())
          : 0;
  return LevelCounts::of(bids, asks, mid_price);
}

LevelCounts BookSet::write_levels(const OrderBook* book, std::size_t levels,
                                  const LevelColumns& out) const {
  ColumnSink sink{out.prices, out.quantities, out.row};
  if (depth_cache_ && levels <= OrderBook::kCachedLevels) {
    return write_levels_to<true>(book, levels, sink);
  }
  return write_levels_to<false>(book, levels, sink);
}

LevelCounts BookSet::write_levels(const OrderBook* book, std::size_t levels,
                                  const LevelWords& out) const {
  WordSink sink{out.words};
  if (depth_cache_ && levels <= OrderBook::kCachedLevels) {
    return write_levels_to<true>(book, levels, sink);
  }
  return write_levels_to<false>(book, levels, sink);
}

bool BookSet::collect_book_depth(const OrderBook* book, uint64_t levels, DepthView& out) const {
  out.mid_price = 0;
  // A few levels, as series and tables ask for after every message, are
  // written in place into room made up front: no growth check per level.
  constexpr uint64_t kFew = 64;
  if (book != nullptr && levels != 0 && levels <= kFew) {
    const std::size_t few = static_cast<std::size_t>(levels);
    // The room usually has the right size already from the last call.
    if (out.bids.size() != few) out.bids.resize(few);
    DepthLevel* bids = out.bids.data();
    const std::size_t bid_count =
        static_cast<std::size_t>(best_levels<false>(*book, bids, bids + few) - bids);
    if (bid_count != few) out.bids.resize(bid_count);
    if (out.asks.size() != few) out.asks.resize(few);
    DepthLevel* asks = out.asks.data();
    const std::size_t ask_count =
        static_cast<std::size_t>(best_levels<true>(*book, asks, asks + few) - asks);
    if (ask_count != few) out.asks.resize(ask_count);
    if (!out.bids.empty() && !out.asks.empty()) {
      out.mid_price = mid_of(out.bids.front().price, out.asks.front().price);
    }
    return true;
  }
  out.bids.clear();
  out.asks.clear();
  if (book == nullptr) return false;
  if (levels == 0) return true;
  visit_levels(*book, false, [&](uint32_t price, uint64_t quantity) {
    out.bids.push_back(DepthLevel{price, quantity});
    return out.bids.size() < levels;
  });
  visit_levels(*book, true, [&](uint32_t price, uint64_t quantity) {
    out.asks.push_back(DepthLevel{price, quantity});
    return out.asks.size() < levels;
  });
  if (!out.bids.empty() && !out.asks.empty()) {
    out.mid_price = mid_of(out.bids.front().price, out.asks.front().price);
  }
  return true;
}

std::optional<DepthView> BookSet::collect_depth(uint32_t token, uint64_t levels) const {
  DepthView view;
  if (!collect_depth(token, levels, view)) return std::nullopt;
  return view;
}

std::optional<DepthView> BookSet::collect_full_depth(uint32_t token) const {
  DepthView view;
  if (!collect_depth(token, std::numeric_limits<uint64_t>::max(), view)) return std::nullopt;
  view.mid_price = 0;
  return view;
}

std::size_t BookSet::write_snapshot_row(uint32_t token, uint64_t levels, char* out) const {
  DepthLevel bids[kSnapshotRowLevels];
  DepthLevel asks[kSnapshotRowLevels];
  std::size_t bid_count = 0;
  std::size_t ask_count = 0;
  uint32_t mid_price = 0;
  // A row shows five levels at most, and the mid price needs only the first.
  const std::size_t limit =
      static_cast<std::size_t>(std::min<uint64_t>(levels, kSnapshotRowLevels));
  const OrderBook* book = limit == 0 ? nullptr : find_book(token);
  if (book != nullptr) {
    bid_count = static_cast<std::size_t>(best_levels<false>(*book, bids, bids + limit) - bids);
    ask_count = static_cast<std::size_t>(best_levels<true>(*book, asks, asks + limit) - asks);
    if (bid_count != 0 && ask_count != 0) mid_price = mid_of(bids[0].price, asks[0].price);
  }
  return write_row(mid_price, bids, bid_count, asks, ask_count, out);
}

std::size_t format_snapshot_row(const DepthView& view, char* out) {
  return write_row(view.mid_price, view.bids.data(), view.bids.size(), view.asks.data(),
                   view.asks.size(), out);
}

std::string format_snapshot_row(const DepthView& view) {
  char buffer[kSnapshotRowMaxSize];
  return std::string(buffer, format_snapshot_row(view, buffer));
}

}  // namespace tidemark
