#include "feed_check.h"

#include <utility>

namespace tidemark::arrow {

bool FeedCheck::faulty() const {
  if (failed) return true;
  for (const auto& [id, s] : streams) {
    if (s.gaps.count != 0 || s.repeated.count != 0) return true;
  }
  return false;
}

FeedChecker::FeedChecker(std::unique_ptr<FeedFile> file, uint64_t jump_ns)
    : engine_(std::move(file), std::nullopt), jump_ns_(jump_ns) {
  engine_.set_observer(this);
}

void FeedChecker::skipped(const RecordHeader& header, std::size_t before, std::size_t) {
  skipped_.emplace_back(before, header);
}

void FeedChecker::record(const RecordHeader& header, const uint64_t* exch_ts) {
  ++check_.records_by_type[header.msg_type];
  StreamCheck& s = check_.streams[header.stream_id];
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

bool FeedChecker::step() {
  if (done_) return true;
  skipped_.clear();
  const std::size_t n = engine_.available();
  const FeedMessage* run = engine_.messages();
  // The framing's findings, in file order: records of other types come
  // before the message whose index they carry.
  std::size_t next_skipped = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (; next_skipped < skipped_.size() && skipped_[next_skipped].first <= i; ++next_skipped) {
      record(skipped_[next_skipped].second, nullptr);
    }
    const uint64_t ts = exch_ts_of(run[i]);
    record(run[i].header, &ts);
  }
  for (; next_skipped < skipped_.size(); ++next_skipped) {
    record(skipped_[next_skipped].second, nullptr);
  }
  check_.messages += n;
  check_books(run, n);
  engine_.consume(n);
  if (n == 0) {
    done_ = true;
    check_.failed = engine_.failed();
    check_.error = engine_.error();
    check_.error_offset = engine_.error_offset();
    check_.crossed_at_end = crossed_books_.size();
  }
  return done_;
}

void FeedChecker::check_books(const FeedMessage* run, std::size_t n) {
  BookSet& books = engine_.books();
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
              check_.reused_ids.add(m.header.seq_no, token, m.order.order_id);
            }
            break;
          case 'M':
            if ((m.order.order_type == 'B' || m.order.order_type == 'S') &&
                !holds(m.order.order_id)) {
              ++check_.unknown_modify;
            }
            break;
          case 'X':
            if (!holds(m.order.order_id)) ++check_.unknown_cancel;
            break;
          default: {  // a trade
            const bool buy = holds(m.trade.buy_order_id);
            const bool sell = holds(m.trade.sell_order_id);
            if (!buy || !sell) ++check_.unknown_trade;
            if (!buy && !sell) ++check_.unknown_trade_neither;
          }
        }
      },
      [&](std::size_t i, const OrderBook* book) {
        if (book == nullptr) return;
        const uint32_t token = book_key(run[i]);
        books.collect_book_depth(book, 1, view_);
        const bool crossed = !view_.bids.empty() && !view_.asks.empty() &&
                             view_.bids[0].price >= view_.asks[0].price;
        if (crossed) {
          check_.crossed.add(run[i].header.seq_no, token);
          crossed_books_.insert(token);
        } else if (!crossed_books_.empty()) {
          crossed_books_.erase(token);
        }
      });
}

}  // namespace tidemark::arrow
