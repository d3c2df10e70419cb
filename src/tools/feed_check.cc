#include "feed_check.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

namespace tidemark::arrow {

namespace {

// What the books found at one message, as a shard hands it over: a word of
// flags and the order id of a reused id.
enum BookFinding : uint64_t {
  kReusedId = 1,
  kUnknownModify = 2,
  kUnknownCancel = 4,
  kUnknownTrade = 8,
  kUnknownTradeNeither = 16,
  kCrossed = 32,    // the book is crossed after the message
  kUncrossed = 64,  // a crossed book is no longer crossed
};
constexpr std::size_t kFindingWords = 2;

// Calls found(i, flags, order_id) for what the books find at each message
// of `run` that finds anything, applying the messages to `books`;
// `crossed` holds the tokens whose books are crossed.
template <class Found>
void find_in_books(BookSet& books, const FeedMessage* run, std::size_t n,
                   std::unordered_set<uint32_t>& crossed, DepthView& view, Found&& found) {
  books.apply_messages(
      run, n,
      [&](std::size_t i, const OrderBook* book) {
        const FeedMessage& m = run[i];
        const uint32_t token = book_key(m);
        auto holds = [&](uint64_t id) {
          return book != nullptr && books.find_order(token, id).has_value();
        };
        switch (m.header.msg_type) {
          case 'N':
            if ((m.order.order_type == 'B' || m.order.order_type == 'S') &&
                holds(m.order.order_id)) {
              found(i, kReusedId, m.order.order_id);
            }
            break;
          case 'M':
            if ((m.order.order_type == 'B' || m.order.order_type == 'S') &&
                !holds(m.order.order_id)) {
              found(i, kUnknownModify, 0);
            }
            break;
          case 'X':
            if (!holds(m.order.order_id)) found(i, kUnknownCancel, 0);
            break;
          default: {  // a trade
            const bool buy = holds(m.trade.buy_order_id);
            const bool sell = holds(m.trade.sell_order_id);
            if (!buy || !sell) {
              found(i, kUnknownTrade | (!buy && !sell ? uint64_t{kUnknownTradeNeither} : 0), 0);
            }
          }
        }
      },
      [&](std::size_t i, const OrderBook* book) {
        if (book == nullptr) return;
        const uint32_t token = book_key(run[i]);
        books.collect_book_depth(book, 1, view);
        const bool is_crossed =
            !view.bids.empty() && !view.asks.empty() && view.bids[0].price >= view.asks[0].price;
        if (is_crossed) {
          crossed.insert(token);
          found(i, kCrossed, 0);
        } else if (!crossed.empty() && crossed.erase(token) != 0) {
          found(i, kUncrossed, 0);
        }
      });
}

// One shard of the check: the books of its tokens and what they find.
class CheckShard final : public ShardWorker {
 public:
  void apply(const FeedMessage* messages, std::size_t count, ShardRows& out) override {
    find_in_books(books_, messages, count, crossed_, view_,
                  [&](std::size_t i, uint64_t flags, uint64_t order_id) {
                    uint64_t* words = out.row_for(i);
                    words[0] |= flags;
                    if (flags & kReusedId) words[1] = order_id;
                  });
  }

 private:
  BookSet books_;
  std::unordered_set<uint32_t> crossed_;
  DepthView view_;
};

}  // namespace

bool FeedCheck::faulty() const {
  if (failed) return true;
  for (const auto& [id, s] : streams) {
    if (s.gaps.count != 0 || s.repeated.count != 0) return true;
  }
  return false;
}

FeedChecker::FeedChecker(std::unique_ptr<FeedFile> file, uint64_t jump_ns)
    : engine_(std::move(file), std::nullopt), jump_ns_(jump_ns), checks_(1) {
  engine_.set_observer(this);
}

FeedChecker::FeedChecker(std::vector<std::unique_ptr<FeedFile>> files, uint64_t jump_ns)
    : engine_(std::move(files), std::nullopt), jump_ns_(jump_ns) {
  checks_.resize(std::max<std::size_t>(1, engine_.given_file_count()));
  engine_.set_observer(this);
  engine_.set_keep_going(true);
}

void FeedChecker::skipped(const RecordHeader& header, std::size_t before, std::size_t file) {
  skipped_.push_back({before, file, header});
}

void FeedChecker::record(FeedCheck& check, const RecordHeader& header, const uint64_t* exch_ts) {
  ++check.records_by_type[header.msg_type];
  StreamCheck& s = check.streams[header.stream_id];
  const uint32_t seq = header.seq_no;
  if (s.records == 0) {
    s.first_seq_no = seq;
  } else if (seq <= s.last_seq_no) {
    s.repeated.add(s.last_seq_no, seq);
  } else if (seq != s.last_seq_no + 1) {
    s.gaps.add(s.last_seq_no, seq);
    s.missing += seq - s.last_seq_no - 1;
  }
  // A repeated or backward number does not move the mark back, so that
  // numbers already seen are not counted again as a gap.
  if (s.records == 0 || seq > s.last_seq_no) s.last_seq_no = seq;
  ++s.records;
  if (exch_ts == nullptr) return;
  if (s.has_ts) {
    if (*exch_ts < s.last_ts) {
      s.backwards.add(seq, s.last_ts, *exch_ts);
    } else if (*exch_ts - s.last_ts > jump_ns_) {
      s.jumps.add(seq, s.last_ts, *exch_ts);
    }
  }
  s.has_ts = true;
  s.last_ts = *exch_ts;
}

Status FeedChecker::set_threads(uint64_t threads) {
  if (threads <= 1) return Status();
  std::vector<std::unique_ptr<ShardWorker>> workers;
  for (std::size_t k = 0; k < shard_count(threads); ++k) {
    workers.push_back(std::make_unique<CheckShard>());
  }
  pool_ = std::make_unique<ShardPool>(engine_, std::move(workers), 1 + kFindingWords,
                                      8 * kFindingWords, static_cast<std::size_t>(threads));
  // The framing's findings are made as the messages are read, on this
  // thread, in the order of the file.
  pool_->set_read_hook([this](const FeedMessage* run, std::size_t n) {
    check_framing(run, n);
    skipped_.clear();
  });
  return pool_->start();
}

bool FeedChecker::step() {
  if (done_) return true;
  if (pool_ != nullptr) return step_shards();
  skipped_.clear();
  const std::size_t n = engine_.available();
  const FeedMessage* run = engine_.messages();
  check_framing(run, n);
  check_books(run, n);
  engine_.consume(n);
  if (n == 0) finish();
  return done_;
}

// Takes what the shards found in one chunk, in file order.
bool FeedChecker::step_shards() {
  const FeedMessage* m = nullptr;
  const uint64_t* words = nullptr;
  for (;;) {
    switch (pool_->next_row(m, words)) {
      case ShardPool::RowStep::kRow: {
        take_finding(pool_->row_file(), *m, words[0], words[1]);
        break;
      }
      case ShardPool::RowStep::kChunkDone:
        return false;
      case ShardPool::RowStep::kEnd:
        finish();
        return true;
    }
  }
}

// The framing's findings for the messages just read (and the records of
// other types among them), in file order.
void FeedChecker::check_framing(const FeedMessage* run, std::size_t n) {
  // Records of other types come before the message whose index they carry.
  std::size_t next_skipped = 0;
  auto record_skipped = [&](std::size_t upto) {
    for (; next_skipped < skipped_.size() && skipped_[next_skipped].before <= upto;
         ++next_skipped) {
      const Skipped& s = skipped_[next_skipped];
      record(checks_[s.file], s.header, nullptr);
    }
  };
  for (std::size_t i = 0; i < n; ++i) {
    record_skipped(i);
    const uint64_t ts = exch_ts_of(run[i]);
    FeedCheck& check = checks_[engine_.file_of(i)];
    record(check, run[i].header, &ts);
    ++check.messages;
  }
  record_skipped(n);
}

void FeedChecker::finish() {
  done_ = true;
  if (engine_.failed()) {
    FeedCheck& check = checks_[engine_.merged() ? engine_.file_index() : 0];
    check.failed = true;
    check.error = engine_.error();
    check.error_offset = engine_.error_offset();
  }
  for (const MergedReader::FileError& e : engine_.file_errors()) {
    FeedCheck& check = checks_[e.file];
    check.failed = true;
    check.error = e.text;
    check.error_offset = e.offset;
  }
  for (const auto& [token, file] : crossed_books_) ++checks_[file].crossed_at_end;
}

void FeedChecker::check_books(const FeedMessage* run, std::size_t n) {
  find_in_books(engine_.books(), run, n, crossed_now_, view_,
                [&](std::size_t i, uint64_t flags, uint64_t order_id) {
                  take_finding(engine_.file_of(i), run[i], flags, order_id);
                });
}

void FeedChecker::take_finding(std::size_t file, const FeedMessage& m, uint64_t flags,
                               uint64_t order_id) {
  FeedCheck& check = checks_[file];
  const uint32_t token = book_key(m);
  if (flags & kReusedId) check.reused_ids.add(m.header.seq_no, token, order_id);
  if (flags & kUnknownModify) ++check.unknown_modify;
  if (flags & kUnknownCancel) ++check.unknown_cancel;
  if (flags & kUnknownTrade) ++check.unknown_trade;
  if (flags & kUnknownTradeNeither) ++check.unknown_trade_neither;
  if (flags & kCrossed) {
    check.crossed.add(m.header.seq_no, token);
    crossed_books_[token] = file;
  }
  if (flags & kUncrossed) crossed_books_.erase(token);
}

}  // namespace tidemark::arrow
