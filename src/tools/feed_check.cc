#include "feed_check.h"

#include <algorithm>
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

bool FeedChecker::step() {
  if (done_) return true;
  skipped_.clear();
  const std::size_t n = engine_.available();
  const FeedMessage* run = engine_.messages();
  // The framing's findings, in file order: records of other types come
  // before the message whose index they carry.
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
  check_books(run, n);
  engine_.consume(n);
  if (n == 0) finish();
  return done_;
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
  BookSet& books = engine_.books();
  books.apply_messages(
      run, n,
      [&](std::size_t i, const OrderBook* book) {
        const FeedMessage& m = run[i];
        const uint32_t token = book_key(m);
        FeedCheck& check = checks_[engine_.file_of(i)];
        auto holds = [&](uint64_t id) {
          return book != nullptr && books.find_order(token, id).has_value();
        };
        switch (m.header.msg_type) {
          case 'N':
            if ((m.order.order_type == 'B' || m.order.order_type == 'S') &&
                holds(m.order.order_id)) {
              check.reused_ids.add(m.header.seq_no, token, m.order.order_id);
            }
            break;
          case 'M':
            if ((m.order.order_type == 'B' || m.order.order_type == 'S') &&
                !holds(m.order.order_id)) {
              ++check.unknown_modify;
            }
            break;
          case 'X':
            if (!holds(m.order.order_id)) ++check.unknown_cancel;
            break;
          default: {  // a trade
            const bool buy = holds(m.trade.buy_order_id);
            const bool sell = holds(m.trade.sell_order_id);
            if (!buy || !sell) ++check.unknown_trade;
            if (!buy && !sell) ++check.unknown_trade_neither;
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
          const std::size_t file = engine_.file_of(i);
          checks_[file].crossed.add(run[i].header.seq_no, token);
          crossed_books_[token] = file;
        } else if (!crossed_books_.empty()) {
          crossed_books_.erase(token);
        }
      });
}

}  // namespace tidemark::arrow
