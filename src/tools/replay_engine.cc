#include "replay_engine.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

namespace tidemark::arrow {

namespace {

// Messages read per chunk: enough to make the decoder's loop cheap, few
// enough to stay in cache until they are applied.
constexpr std::size_t kChunkMessages = 4096;
// Records framed per read when a token filter drops most of them, so that a
// read of a few kept messages still returns now and then.
constexpr std::size_t kFramedPerRead = 1 << 16;

}  // namespace

ReplayEngine::ReplayEngine(Inputs inputs, std::optional<std::vector<uint8_t>> types,
                           bool merge_by_time)
    : inputs_(std::move(inputs)), chunk_(kChunkMessages), merge_by_time_(merge_by_time) {
  books_.set_type_filter(std::move(types));
  tally_.on_skipped = &ReplayEngine::on_skipped;
  tally_.context = this;
}

void ReplayEngine::set_token_filter(std::optional<std::vector<uint32_t>> tokens) {
  if (tokens) {
    std::sort(tokens->begin(), tokens->end());
    tokens->erase(std::unique(tokens->begin(), tokens->end()), tokens->end());
  }
  tokens_ = std::move(tokens);
}

bool ReplayEngine::wanted(const uint8_t* record) const {
  // A decoded message's bytes are its record's bytes; the token sits at a
  // different place in orders and trades.
  uint32_t key;
  const std::size_t at =
      record[8] == 'T' ? offsetof(TradeMessage, token) : offsetof(OrderMessage, token);
  std::memcpy(&key, record + at, sizeof key);
  const std::vector<uint32_t>& tokens = *tokens_;
  if (tokens.size() <= 8) {
    return std::find(tokens.begin(), tokens.end(), key) != tokens.end();
  }
  return std::binary_search(tokens.begin(), tokens.end(), key);
}

std::size_t ReplayEngine::read_wanted(std::string& text, ReadStep& last) {
  if (!tokens_) return read_messages(*file_, chunk_.data(), chunk_.size(), last, text);
  return read_messages_if(
      *file_, chunk_.data(), chunk_.size(), kFramedPerRead,
      [this](const uint8_t* record) { return wanted(record); }, last, text);
}

std::size_t ReplayEngine::drop_unwanted(std::size_t count) {
  if (!tokens_) return count;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (!wanted(reinterpret_cast<const uint8_t*>(&chunk_[i]))) continue;
    if (kept != i) {
      chunk_[kept] = chunk_[i];
      files_[kept] = files_[i];
    }
    ++kept;
  }
  return kept;
}

void ReplayEngine::on_skipped(void* context, const RecordHeader& header) {
  auto* self = static_cast<ReplayEngine*>(context);
  if (self->observer_ != nullptr) self->observer_->skipped(header, self->count_, self->file_index_);
}

void ReplayEngine::skipped(std::size_t file, const RecordHeader& header, std::size_t before) {
  if (observer_ != nullptr) observer_->skipped(header, before, file);
}

std::vector<MergedReader::FileError> ReplayEngine::file_errors() const {
  std::vector<MergedReader::FileError> out = first_errors_;
  if (merged_ != nullptr) {
    out.insert(out.end(), merged_->file_errors().begin(), merged_->file_errors().end());
  }
  return out;
}

bool ReplayEngine::open_merged() {
  std::vector<std::unique_ptr<FeedFile>> files;
  for (std::size_t i = 0; i < given_files_.size(); ++i) {
    Status s = check_first_message(*given_files_[i]);
    if (s.ok()) {
      files.push_back(std::move(given_files_[i]));
      continue;
    }
    if (!keep_going_) {
      failed_ = true;
      file_index_ = i;
      error_ = s.text();
      return false;
    }
    first_errors_.push_back({i, s.text(), 0});
    files.push_back(nullptr);
  }
  given_files_.clear();
  for (std::size_t i = 0; i < inputs_.size(); ++i) {
    auto opened = inputs_[i]->take(flush_clock_);
    Status s = opened.ok() ? check_first_message(*opened.value()) : opened.status();
    if (!s.ok()) {
      failed_ = true;
      file_index_ = i;
      error_ = inputs_.size() > 1 ? inputs_[i]->path() + ": " + s.text() : s.text();
      error_offset_ = 0;
      return false;
    }
    files.push_back(std::move(opened.value()));
  }
  merged_ = std::make_unique<MergedReader>(std::move(files));
  merged_->set_keep_going(keep_going_);
  merged_->set_flush_clock(flush_clock_);
  if (observer_ != nullptr) merged_->set_observer(this);
  files_.resize(chunk_.size());
  return true;
}

void ReplayEngine::refill_merged() {
  next_ = count_ = 0;
  if (failed_) return;
  if (merged_ == nullptr) {
    if (opened_any_) return;  // start() failed
    opened_any_ = true;
    if (!open_merged()) return;
  }
  for (;;) {
    const std::size_t read = merged_->read(chunk_.data(), files_.data(), chunk_.size());
    count_ = drop_unwanted(read);
    const bool pause = merged_->take_pause();
    if (pause) (count_ != 0 ? pause_pending_ : paused_) = true;
    if (merged_->step() == ReadStep::kError && count_ == 0) {
      // The failure comes after the messages before it have been consumed.
      failed_ = true;
      file_index_ = merged_->failed_file();
      const std::string& text = merged_->error();
      error_ = inputs_.size() > 1 ? inputs_[file_index_]->path() + ": " + text : text;
      return;
    }
    // A chunk the token filter emptied is not the end: read on.
    if (count_ != 0 || read == 0 || pause) return;
  }
}

ReplayEngine::ReplayEngine(std::vector<std::unique_ptr<FeedFile>> files,
                           std::optional<std::vector<uint8_t>> types)
    : ReplayEngine(Inputs{}, std::move(types), true) {
  given_files_ = std::move(files);
}

ReplayEngine::ReplayEngine(std::unique_ptr<FeedFile> file,
                           std::optional<std::vector<uint8_t>> types)
    : ReplayEngine(Inputs{}, std::move(types)) {
  given_ = std::move(file);
}

bool ReplayEngine::open_current() {
  if (inputs_.empty()) {  // one file, given open
    Status s = check_first_message(*given_);
    if (!s.ok()) {
      failed_ = true;
      error_ = s.text();
      error_offset_ = 0;
      return false;
    }
    file_ = std::move(given_);
    return true;
  }
  const std::string& path = inputs_[file_index_]->path();
  auto opened = inputs_[file_index_]->take(flush_clock_);
  Status s = opened.ok() ? check_first_message(*opened.value()) : opened.status();
  if (!s.ok()) {
    failed_ = true;
    error_ = inputs_.size() > 1 ? path + ": " + s.text() : s.text();
    error_offset_ = 0;
    return false;
  }
  file_ = std::move(opened.value());
  return true;
}

Status ReplayEngine::start() {
  if (opened_any_) return Status();
  opened_any_ = true;
  if (merge_by_time_ ? !open_merged() : !open_current()) {
    return Status::error(error_);
  }
  return Status();
}

bool ReplayEngine::next_file() {
  if (failed_ || file_index_ + 1 >= inputs_.size()) return false;
  waiting_ = false;
  ++file_index_;
  file_.reset();
  return open_current();
}

void ReplayEngine::refill() {
  next_ = count_ = 0;
  if (pause_pending_) {
    pause_pending_ = false;
    paused_ = true;
    return;
  }
  if (merge_by_time_) return refill_merged();
  while (!failed_ && !waiting_) {
    if (file_ == nullptr) {
      if (opened_any_) {
        if (stop_at_file_end_) {
          waiting_ = true;
          return;
        }
        if (file_index_ + 1 >= inputs_.size()) return;
        ++file_index_;
      }
      opened_any_ = true;
      if (!open_current()) return;
    }
    ReadStep last = ReadStep::kMessage;
    std::string text;
    if (observer_ == nullptr) {
      count_ = read_wanted(text, last);
    } else {
      while (count_ < chunk_.size()) {
        last = read_next_message(*file_, chunk_[count_], text, tally_);
        if (last != ReadStep::kMessage) break;
        ++count_;
      }
      if (last == ReadStep::kError) error_offset_ = tally_.record_offset;
    }
    if (last == ReadStep::kError) {
      failed_ = true;
      error_ = inputs_.size() > 1 ? inputs_[file_index_]->path() + ": " + text : text;
    }
    if (last == ReadStep::kEnd && file_->take_pause()) {
      // A followed file that has not grown for a while: hand out what was
      // read, then report the pause; the file is read on afterwards.
      (count_ != 0 ? pause_pending_ : paused_) = true;
      return;
    }
    if (last != ReadStep::kMessage) {
      file_.reset();
      tally_ = SkipTally{.on_skipped = &ReplayEngine::on_skipped, .context = this};
    }
    if (count_ != 0) return;
  }
}

TableBatch::TableBatch(std::vector<ColumnSpec> columns, uint64_t batch_rows)
    : columns_(std::move(columns)), batch_rows_(batch_row_limit(columns_, batch_rows)) {
  builders_.reserve(columns_.size());
  for (const ColumnSpec& c : columns_) builders_.emplace_back(c.type);
}

void TableBatch::grow() {
  // A part of the batch up front, then doubling up to the batch's size (a
  // step may write a few rows past it).
  const std::size_t limit = static_cast<std::size_t>(batch_rows_);
  const std::size_t more = capacity_ == 0      ? first_reserve_rows(columns_, batch_rows_)
                           : capacity_ < limit ? std::min(capacity_, limit - capacity_)
                                               : capacity_;
  for (ColumnBuilder& b : builders_) b.reserve(more, 0, limit);
  capacity_ += more;
}

void TableBatch::finish(ArrowArray* out) {
  std::vector<ArrowArray> arrays(builders_.size());
  for (std::size_t k = 0; k < builders_.size(); ++k) builders_[k].finish(&arrays[k]);
  finish_batch(arrays, static_cast<int64_t>(rows_), out);
  rows_ = capacity_ = 0;
}

BatchStep ReplayTable::next_batch(ArrowArray* out, std::string& error) {
  // Asks whether to stop before the batch and every 64 steps of it (a step
  // applies at most one chunk of messages or writes a run of rows).
  bool started = false;  // the batch has rows (and the flush clock knows)
  for (unsigned steps = 0; !interrupted_ && !over_ && !batch_.full(); ++steps) {
    if (steps % 64 == 0 && interrupted()) interrupted_ = true;
    if (interrupted_) continue;
    if (step()) {
      if (!started && batch_.rows() > 0) {
        engine_.batch_started();
        started = true;
      }
      continue;
    }
    // A followed file paused: the rows so far go out now; with none, read on.
    if (!engine_.take_pause()) {
      over_ = true;
    } else if (batch_.rows() > 0) {
      break;
    }
  }
  if (interrupted_) {
    error = kInterruptedText;
    return BatchStep::kError;
  }
  if (batch_.rows() == 0) {
    if (!engine_.failed()) return BatchStep::kEnd;
    error = engine_.error();
    return BatchStep::kError;
  }
  before_finish();
  batch_.finish(out);
  return BatchStep::kBatch;
}

}  // namespace tidemark::arrow
