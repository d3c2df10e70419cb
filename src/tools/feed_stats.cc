#include "feed_stats.h"

#include "feed_input.h"

namespace tidemark {

Result<std::unique_ptr<FeedStatsScan>> FeedStatsScan::open(const std::string& path) {
  auto opened = input::open_input(path, 1 << 20);
  if (!opened.ok()) return opened.status();
  // The size is for the report and the progress bar only; the scan itself
  // reads to the end of the file, whatever its length by then.
  input::Input& in = opened.value();
  std::unique_ptr<FeedStatsScan> scan(new FeedStatsScan(
      std::move(in.file), in.size, in.kind == input::Kind::kFile && !in.compressed));
  Status first = check_first_message(*scan->file_);
  if (!first.ok()) {
    scan->stats_.failed = true;
    scan->stats_.error = first.text();
    scan->done_ = true;
  }
  return scan;
}

FeedStatsScan::FeedStatsScan(std::unique_ptr<FeedFile> file, uint64_t size, bool sized)
    : file_(std::move(file)), sized_(sized) {
  stats_.file_size = sized ? size : 0;
  tally_.on_skipped = &FeedStatsScan::on_skipped;
  tally_.context = this;
}

void FeedStatsScan::on_skipped(void* context, const RecordHeader& header) {
  static_cast<FeedStatsScan*>(context)->count_sequence(header);
}

void FeedStatsScan::count_sequence(const RecordHeader& header) {
  auto [it, first] = last_seq_no_.try_emplace(header.stream_id, header.seq_no);
  if (first) return;
  if (header.seq_no > it->second + uint64_t{1}) {
    ++stats_.sequence_gaps;
    stats_.sequence_missing += header.seq_no - it->second - 1;
  }
  if (header.seq_no > it->second) it->second = header.seq_no;
}

void FeedStatsScan::count(const FeedMessage& m) {
  const uint32_t seq_no = m.header.seq_no;
  const uint64_t exch_ts = m.is_trade() ? m.trade.exch_ts : m.order.exch_ts;
  const uint32_t token = m.is_trade() ? static_cast<uint32_t>(m.trade.token) : m.order.token;
  if (stats_.messages == 0) {
    stats_.first_seq_no = seq_no;
    stats_.first_exch_ts = stats_.min_exch_ts = stats_.max_exch_ts = exch_ts;
  } else {
    if (exch_ts < stats_.last_exch_ts) ++stats_.exch_ts_backwards;
    if (exch_ts < stats_.min_exch_ts) stats_.min_exch_ts = exch_ts;
    if (exch_ts > stats_.max_exch_ts) stats_.max_exch_ts = exch_ts;
  }
  stats_.last_seq_no = seq_no;
  stats_.last_exch_ts = exch_ts;
  ++stats_.messages;
  count_sequence(m.header);
  ++stats_.records_by_type[m.header.msg_type];
  ++stats_.messages_by_token[token];
}

bool FeedStatsScan::step(uint64_t budget) {
  if (done_) return true;
  const uint64_t stop_at = file_->position() + budget;
  FeedMessage message;
  std::string error;
  while (file_->position() < stop_at) {
    const ReadStep r = read_next_message(*file_, message, error, tally_);
    if (r == ReadStep::kMessage) {
      count(message);
      continue;
    }
    if (r == ReadStep::kError) {
      stats_.failed = true;
      stats_.error = error;
      stats_.error_offset = tally_.record_offset;
    }
    done_ = true;
    break;
  }
  stats_.bytes_scanned = file_->position();
  if (!sized_) stats_.file_size = stats_.bytes_scanned;
  stats_.padding_bytes = tally_.padding_bytes;
  stats_.unknown_bytes = tally_.skipped_bytes;
  stats_.unknown_records = 0;
  for (std::size_t type = 0; type < tally_.skipped_records.size(); ++type) {
    if (record_kind(static_cast<uint8_t>(type)) != RecordKind::kUnknown) continue;
    stats_.records_by_type[type] = tally_.skipped_records[type];
    stats_.unknown_records += tally_.skipped_records[type];
  }
  return done_;
}

}  // namespace tidemark
