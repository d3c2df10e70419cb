#include "merged_reader.h"

#include <algorithm>

namespace tidemark::arrow {

namespace {

// Messages decoded per file at a time: enough to make the decoder's loop
// cheap, few enough that hundreds of files stay small.
constexpr std::size_t kFileChunk = 1024;

inline uint64_t head_ts(const FeedMessage& m) {
  return m.is_trade() ? m.trade.exch_ts : m.order.exch_ts;
}

}  // namespace

MergedReader::MergedReader(std::vector<std::unique_ptr<FeedFile>> files) {
  inputs_.resize(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    inputs_[i].file = std::move(files[i]);
    if (inputs_[i].file == nullptr) inputs_[i].step = ReadStep::kEnd;
    inputs_[i].chunk.resize(kFileChunk);
    inputs_[i].tally.on_skipped = &MergedReader::on_skipped;
    inputs_[i].tally.context = this;
  }
}

void MergedReader::on_skipped(void* context, const RecordHeader& header) {
  auto* self = static_cast<MergedReader*>(context);
  Input* in = self->filling_;
  if (in != nullptr) in->skipped.emplace_back(in->count, header);
}

void MergedReader::refill(std::size_t i) {
  Input& in = inputs_[i];
  in.pos = in.count = 0;
  if (observer_ == nullptr) {
    in.count = read_messages(*in.file, in.chunk.data(), in.chunk.size(), in.step, in.error);
    return;
  }
  in.skipped.clear();
  in.next_skipped = 0;
  filling_ = &in;
  while (in.count < in.chunk.size()) {
    in.step = read_next_message(*in.file, in.chunk[in.count], in.error, in.tally);
    if (in.step != ReadStep::kMessage) break;
    ++in.count;
  }
  filling_ = nullptr;
}

void MergedReader::report_skipped(std::size_t i, std::size_t upto, std::size_t before) {
  Input& in = inputs_[i];
  for (; in.next_skipped < in.skipped.size() && in.skipped[in.next_skipped].first <= upto;
       ++in.next_skipped) {
    observer_->skipped(i, in.skipped[in.next_skipped].second, before);
  }
}

bool MergedReader::pending() const {
  for (const Input& in : inputs_) {
    if (in.pos < in.count) return true;
  }
  return false;
}

bool MergedReader::prepare(std::size_t n) {
  for (std::size_t i = 0; i < inputs_.size(); ++i) {
    Input& in = inputs_[i];
    if (in.pos == in.count && in.step == ReadStep::kMessage) {
      // What the framing skipped after the chunk's last message comes
      // before the next chunk's first.
      if (observer_ != nullptr) report_skipped(i, in.count, n);
      if (pause_pending_) {
        pause_pending_ = false;
        paused_ = true;
        return false;
      }
      if (clock_ != nullptr && (n > 0 || pending())) clock_->arm();
      refill(i);
      if (in.step == ReadStep::kEnd && in.file->take_pause()) {
        // A followed file with no more bytes for now: it has not ended,
        // and the merge cannot pass it without its next head.
        in.step = ReadStep::kMessage;
        if (in.count == 0) {
          paused_ = true;
          return false;
        }
        pause_pending_ = true;
      }
    }
    if (in.pos == in.count) {
      if (observer_ != nullptr) report_skipped(i, in.count, n);
      if (in.step == ReadStep::kError) {
        if (!keep_going_) {
          step_ = ReadStep::kError;
          failed_file_ = i;
          error_ = in.error;
          return false;
        }
        file_errors_.push_back({i, std::move(in.error), in.tally.record_offset});
        in.step = ReadStep::kEnd;
      }
    }
  }
  build_tree();
  heads_ready_ = true;
  return true;
}

void MergedReader::build_tree() {
  std::size_t leaves = 1;
  while (leaves < inputs_.size()) leaves *= 2;
  // Play the matches bottom-up: each inner node keeps its match's loser,
  // and the winner goes up.
  std::vector<Node> winners(2 * leaves, Node{kNone, 0});
  for (std::size_t i = 0; i < leaves; ++i) {
    winners[leaves + i].file = static_cast<uint32_t>(i);
    if (i < inputs_.size()) {
      const Input& in = inputs_[i];
      if (in.pos < in.count) winners[leaves + i].key = key_of(head_ts(in.chunk[in.pos]), i);
    }
  }
  tree_.assign(leaves, Node{kNone, 0});
  for (std::size_t node = leaves - 1; node >= 1; --node) {
    const Node& a = winners[2 * node];
    const Node& b = winners[2 * node + 1];
    const bool b_wins = b.key < a.key;
    winners[node] = b_wins ? b : a;
    tree_[node] = b_wins ? a : b;
  }
  tree_[0] = leaves > 1 ? winners[1] : winners[leaves];
}

std::size_t MergedReader::read(FeedMessage* out, uint32_t* files, std::size_t max) {
  std::size_t n = 0;
  while (n < max && step_ == ReadStep::kMessage) {
    if (!heads_ready_ && !prepare(n)) return n;
    if (tree_[0].key == kNone) {
      step_ = ReadStep::kEnd;
      return n;
    }
    uint32_t w = tree_[0].file;
    const std::size_t leaves = tree_.size();
    for (;;) {
      Input& in = inputs_[w];
      if (observer_ != nullptr) report_skipped(w, in.pos, n);
      out[n] = in.chunk[in.pos++];
      files[n] = w;
      ++n;
      if (in.pos == in.count) {
        // Its chunk is used up: the next pass refills it (or finds its end).
        heads_ready_ = false;
        break;
      }
      // Its next head replays the matches on the way from its leaf to the
      // top. Which file comes next is seldom predictable, so each match is
      // decided with masks rather than a branch.
      Key key = key_of(head_ts(in.chunk[in.pos]), w);
      for (std::size_t node = (w + leaves) / 2; node >= 1; node /= 2) {
        Node& match = tree_[node];
        const Key other = match.key;
        const uint32_t loser = match.file;
        const uint32_t mask = -static_cast<uint32_t>(other < key);  // all ones: the loser wins
        const Key wide = -static_cast<Key>(mask & 1);
        match.key = other ^ ((other ^ key) & wide);
        match.file = loser ^ ((loser ^ w) & mask);
        key ^= (key ^ other) & wide;
        w ^= (w ^ loser) & mask;
      }
      tree_[0] = Node{key, w};
      if (n == max) break;
    }
  }
  return n;
}

}  // namespace tidemark::arrow
