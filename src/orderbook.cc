#include "orderbook.h"

#include <sys/mman.h>

#include <algorithm>
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

// Half the width of a new book's window.
constexpr uint32_t kInitialHalfWindow = 10000;

// Blocks from this size on get their own 2 MB aligned mapping.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Page blocks start small, so that a set with few books stays small, and
// double up to one huge page.
constexpr std::size_t kFirstPageBlockBytes = std::size_t{16} << 10;

// apply_messages looks ahead in two stages, kPrefetchDistance messages
// apart; see there.
constexpr std::size_t kPrefetchDistance = 8;

// The token of a message, a trade's signed token read as its 32 bits.
uint32_t token_of(const FeedMessage& m) {
  if (m.is_trade()) return static_cast<uint32_t>(static_cast<int32_t>(m.trade.token));
  return m.order.token;
}

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
  books_.for_each([](const OrderBook& b) { delete b.sides_; });
}

void BookSet::mark_page_occupied(OrderBook::PageGroups& groups, uint32_t page_number) {
  const uint32_t number = page_number >> kGroupBits;
  const uint64_t bit = uint64_t{1} << (page_number & ((1u << kGroupBits) - 1));
  auto it =
      std::lower_bound(groups.begin(), groups.end(), number,
                       [](const OrderBook::PageGroup& g, uint32_t n) { return g.number < n; });
  if (it != groups.end() && it->number == number) {
    it->pages |= bit;
  } else {
    groups.insert(it, OrderBook::PageGroup{number, bit});
  }
}

void BookSet::mark_page_empty(OrderBook::PageGroups& groups, uint32_t page_number) {
  const uint32_t number = page_number >> kGroupBits;
  const uint64_t bit = uint64_t{1} << (page_number & ((1u << kGroupBits) - 1));
  auto it =
      std::lower_bound(groups.begin(), groups.end(), number,
                       [](const OrderBook::PageGroup& g, uint32_t n) { return g.number < n; });
  if (it == groups.end() || it->number != number) return;
  it->pages &= ~bit;
  if (it->pages == 0) groups.erase(it);
}

const BookSet::Page* BookSet::find_page(uint32_t token, bool is_sell, uint32_t page_number) const {
  const PageSlot* s = pages_.find(page_key(token, is_sell, page_number));
  return s == nullptr ? nullptr : s->page;
}

// Adds a non-zero quantity at a price of `book` and returns the page that
// holds it. A slot saturates at the largest 64-bit value rather than wrap.
BookSet::Page* BookSet::add_quantity(OrderBook& book, uint32_t token, bool is_sell, uint32_t price,
                                     uint64_t quantity) {
  const uint32_t page_number = price >> kPageBits;
  const uint64_t key = page_key(token, is_sell, page_number);
  Page* p;
  if (PageSlot* found = pages_.find(key)) {
    p = found->page;
  } else {
    pages_.reserve_one();
    p = arena_.allocate();
    p->number = page_number;
    p->groups = &book.groups(is_sell);
    pages_.find_or_add(key).page = p;
  }
  const unsigned s = price & (kPageSlots - 1);
  uint64_t& slot = p->quantity[s];
  if (slot == 0) {
    // Anything that can fail to allocate happens before the slot changes.
    if (p->occupied == 0) mark_page_occupied(*p->groups, page_number);
    p->occupied |= 1u << s;
  }
  slot = quantity > kMaxQuantity - slot ? kMaxQuantity : slot + quantity;
  return p;
}

// Takes a quantity from a price of a page. Taking more than the slot holds
// cannot follow from the book's rules; it would stop at 0 rather than wrap.
void BookSet::subtract_quantity(Page* p, uint32_t price, uint64_t quantity) {
  const unsigned s = price & (kPageSlots - 1);
  uint64_t& slot = p->quantity[s];
  if (slot > quantity) {
    slot -= quantity;
    return;
  }
  if (slot == 0) return;
  slot = 0;
  p->occupied &= ~(1u << s);
  if (p->occupied == 0) mark_page_empty(*p->groups, p->number);
}

uint64_t BookSet::level_quantity(uint32_t token, bool is_sell, uint32_t price) const {
  const Page* p = find_page(token, is_sell, price >> kPageBits);
  return p == nullptr ? 0 : p->quantity[price & (kPageSlots - 1)];
}

// Calls fn(price, quantity) for each level of one side of a book, best
// first (bids from the highest price down, asks from the lowest up), until
// fn returns false. Only pages that hold a level are visited.
template <class Fn>
void BookSet::visit_levels(const OrderBook& book, uint32_t token, bool is_sell, Fn&& fn) const {
  const OrderBook::PageGroups& groups = book.groups(is_sell);
  if (is_sell) {
    for (const OrderBook::PageGroup& g : groups) {
      for (uint64_t pages = g.pages; pages != 0; pages &= pages - 1) {
        const uint32_t page_number = (g.number << kGroupBits) | __builtin_ctzll(pages);
        const Page& p = *find_page(token, true, page_number);
        for (uint32_t slots = p.occupied; slots != 0; slots &= slots - 1) {
          const unsigned s = __builtin_ctz(slots);
          if (!fn((page_number << kPageBits) | s, p.quantity[s])) return;
        }
      }
    }
  } else {
    for (auto g = groups.rbegin(); g != groups.rend(); ++g) {
      for (uint64_t pages = g->pages; pages != 0;) {
        const unsigned b = 63 - __builtin_clzll(pages);
        pages &= ~(uint64_t{1} << b);
        const uint32_t page_number = (g->number << kGroupBits) | b;
        const Page& p = *find_page(token, false, page_number);
        for (uint32_t slots = p.occupied; slots != 0;) {
          const unsigned s = 31 - __builtin_clz(slots);
          slots &= ~(1u << s);
          if (!fn((page_number << kPageBits) | s, p.quantity[s])) return;
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// BookSet: orders

// Stores an order and adds its quantity to its level. The price must be in
// the window and the quantity non-zero.
void BookSet::place(OrderBook& book, uint32_t token, uint64_t order_id, uint32_t price,
                    uint32_t quantity, bool is_sell) {
  orders_.reserve_one();  // the insertion below then cannot fail
  Page* page = add_quantity(book, token, is_sell, price, quantity);
  OrderSlot& slot = orders_.find_or_add(OrderKey{token, order_id});
  slot.order = RestingOrder{price, quantity, is_sell};
  slot.page = page;
}

void BookSet::apply_new(uint32_t token, uint64_t order_id, uint32_t price, uint32_t quantity,
                        bool is_sell) {
  OrderBook& book = book_for_order(token, price);
  if (quantity == 0) return;
  if (!book.in_window(price) && !book.widen_window(price)) return;
  // A new order under an id that still rests (a feed re-sent after a gap
  // repeats messages) replaces the stored order. The replaced order's
  // remaining quantity leaves its level first: otherwise it would stay there
  // for good, since no later message can name it any more.
  remove_order(token, order_id);
  place(book, token, order_id, price, quantity, is_sell);
}

void BookSet::apply_modify(uint32_t token, uint64_t order_id, uint32_t price, uint32_t quantity,
                           bool is_sell) {
  OrderBook& book = book_for_order(token, price);
  remove_order(token, order_id);
  if (quantity == 0) return;
  if (!book.in_window(price) && !book.widen_window(price)) return;
  // The side comes from the modify, not from the order it replaces.
  place(book, token, order_id, price, quantity, is_sell);
}

// Removes a resting order, if there is one, and takes its remaining quantity
// out of its level.
void BookSet::remove_order(uint32_t token, uint64_t order_id) {
  const std::size_t i = orders_.find_index(OrderKey{token, order_id});
  if (i == decltype(orders_)::kNotFound) return;
  const OrderSlot old = orders_.at(i);
  orders_.erase_at(i);
  subtract_quantity(old.page, old.order.price, old.order.quantity);
}

void BookSet::apply_cancel(uint32_t token, uint64_t order_id) {
  // Orders are keyed by token, so a token without a book holds none.
  remove_order(token, order_id);
}

// Takes up to `traded` from one order, whatever side it rests on; an order
// used up entirely leaves the book.
void BookSet::apply_fill(uint32_t token, uint64_t order_id, uint32_t traded) {
  const std::size_t i = orders_.find_index(OrderKey{token, order_id});
  if (i == decltype(orders_)::kNotFound) return;
  OrderSlot& slot = orders_.at(i);
  const uint32_t remaining = slot.order.quantity;
  const uint32_t filled = std::min(remaining, traded);
  subtract_quantity(slot.page, slot.order.price, filled);
  if (remaining <= traded) {
    orders_.erase_at(i);
  } else {
    slot.order.quantity = remaining - filled;
  }
}

const RestingOrder* BookSet::find_order(uint32_t token, uint64_t order_id) const {
  const OrderSlot* s = orders_.find(OrderKey{token, order_id});
  return s == nullptr ? nullptr : &s->order;
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

OrderBook* BookSet::find_book_mutable(uint32_t token) {
  if (last_book_ != nullptr && last_token_ == token) return last_book_;
  OrderBook* b = books_.find(token);
  if (b == nullptr) return nullptr;
  last_book_ = b;
  last_token_ = token;
  return b;
}

// Returns the book of `token`, creating it around `price` when there is none:
// its window reaches 10000 below and above the price, clipped to the 32-bit
// price range.
OrderBook& BookSet::book_for_order(uint32_t token, uint32_t price) {
  if (OrderBook* b = find_book_mutable(token)) return *b;
  books_.reserve_one();
  auto sides = std::make_unique<OrderBook::Sides>();
  OrderBook& b = books_.find_or_add(token);  // cannot fail after reserve_one
  b.min_price_ = price < kInitialHalfWindow ? 0 : price - kInitialHalfWindow;
  b.max_price_ = price > kMaxPrice - kInitialHalfWindow ? kMaxPrice : price + kInitialHalfWindow;
  b.sides_ = sides.release();
  last_book_ = &b;
  last_token_ = token;
  return b;
}

bool BookSet::apply_message(const FeedMessage& message) {
  const uint8_t type = message.header.msg_type;
  if (filter_ && !type_allowed_[type]) return false;
  switch (type) {
    case 'N':
    case 'M': {
      const OrderMessage& o = message.order;
      const uint8_t side = o.order_type;
      if (side != 'B' && side != 'S') return false;
      if (type == 'N') {
        apply_new(o.token, o.order_id, o.price, o.quantity, side == 'S');
      } else {
        apply_modify(o.token, o.order_id, o.price, o.quantity, side == 'S');
      }
      return true;
    }
    case 'X':
      apply_cancel(message.order.token, message.order.order_id);
      return true;
    case 'T': {
      const TradeMessage& t = message.trade;
      const int32_t traded = t.trade_quantity;
      const uint32_t q = traded < 0 ? 0 : static_cast<uint32_t>(traded);
      const uint32_t token = token_of(message);
      apply_fill(token, t.buy_order_id, q);
      apply_fill(token, t.sell_order_id, q);
      return true;
    }
    default:
      // No decoder produces other types; such a message changes nothing.
      return true;
  }
}

// The first look-ahead stage touches what a message names directly: its
// book's header, the home slots of its order ids and of the page of a new
// price. None of these addresses depends on another miss.
void BookSet::prefetch_first(const FeedMessage& m) const {
  const uint8_t type = m.header.msg_type;
  if (filter_ && !type_allowed_[type]) return;
  switch (type) {
    case 'N':
    case 'M': {
      const uint32_t token = m.order.token;
      books_.prefetch(token);
      orders_.prefetch(OrderKey{token, m.order.order_id});
      pages_.prefetch(page_key(token, m.order.order_type == 'S', m.order.price >> kPageBits));
      break;
    }
    case 'X':
      orders_.prefetch(OrderKey{m.order.token, m.order.order_id});
      break;
    case 'T':
      orders_.prefetch(OrderKey{token_of(m), m.trade.buy_order_id});
      orders_.prefetch(OrderKey{token_of(m), m.trade.sell_order_id});
      break;
    default:
      break;
  }
}

void BookSet::prefetch_order_slot(uint32_t token, uint64_t order_id) const {
  if (const OrderSlot* s = orders_.find(OrderKey{token, order_id})) {
    const unsigned slot = s->order.price & (kPageSlots - 1);
    prefetch_line(&s->page->quantity[slot]);
    prefetch_line(s->page);
  }
}

void BookSet::prefetch_new_slot(uint32_t token, bool is_sell, uint32_t price) const {
  if (const Page* p = find_page(token, is_sell, price >> kPageBits)) {
    prefetch_line(&p->quantity[price & (kPageSlots - 1)]);
    prefetch_line(p);
  }
}

// The second stage follows the slots fetched by the first to the ladder
// slots that the message will change.
void BookSet::prefetch_second(const FeedMessage& m) const {
  const uint8_t type = m.header.msg_type;
  if (filter_ && !type_allowed_[type]) return;
  switch (type) {
    case 'M':
      prefetch_order_slot(m.order.token, m.order.order_id);
      [[fallthrough]];
    case 'N':
      prefetch_new_slot(m.order.token, m.order.order_type == 'S', m.order.price);
      break;
    case 'X':
      prefetch_order_slot(m.order.token, m.order.order_id);
      break;
    case 'T':
      prefetch_order_slot(token_of(m), m.trade.buy_order_id);
      prefetch_order_slot(token_of(m), m.trade.sell_order_id);
      break;
    default:
      break;
  }
}

// Applies messages one after another while looking ahead: the first stage
// runs 2 * kPrefetchDistance messages ahead, the second kPrefetchDistance
// ahead. Misses of many messages then overlap instead of following each
// other. Prefetches are only hints: a book created or a table grown in
// between makes one useless, never a result wrong.
std::size_t BookSet::apply_messages(const FeedMessage* messages, std::size_t count) {
  const std::size_t lead = std::min(count, 2 * kPrefetchDistance);
  for (std::size_t j = 0; j < lead; ++j) prefetch_first(messages[j]);
  for (std::size_t j = 0; j < std::min(count, kPrefetchDistance); ++j) {
    prefetch_second(messages[j]);
  }
  std::size_t accepted = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (i + 2 * kPrefetchDistance < count) prefetch_first(messages[i + 2 * kPrefetchDistance]);
    if (i + kPrefetchDistance < count) prefetch_second(messages[i + kPrefetchDistance]);
    accepted += apply_message(messages[i]) ? 1 : 0;
  }
  return accepted;
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
  out.bids.clear();
  out.asks.clear();
  out.mid_price = 0;
  const OrderBook* book = find_book(token);
  if (book == nullptr) return false;
  if (levels == 0) return true;
  visit_levels(*book, token, false, [&](uint32_t price, uint64_t quantity) {
    out.bids.push_back(DepthLevel{price, quantity});
    return out.bids.size() < levels;
  });
  visit_levels(*book, token, true, [&](uint32_t price, uint64_t quantity) {
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
    visit_levels(*book, token, false, [&](uint32_t price, uint64_t quantity) {
      bids[bid_count++] = DepthLevel{price, quantity};
      return bid_count < limit;
    });
    visit_levels(*book, token, true, [&](uint32_t price, uint64_t quantity) {
      asks[ask_count++] = DepthLevel{price, quantity};
      return ask_count < limit;
    });
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
