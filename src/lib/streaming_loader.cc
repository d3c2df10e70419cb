#include "streaming_loader.h"

#include <utility>

namespace tidemark {

Result<uint64_t> StreamingLoader::open_stream(const std::string& path, bool count) {
  auto opened = FeedFile::open(path);
  if (!opened.ok()) return opened.status();
  Status s = check_first_message(*opened.value());
  if (!s.ok()) return s;
  uint64_t n = 0;
  if (count) {
    auto counted = count_messages(path);
    if (!counted.ok()) return counted.status();
    n = counted.value();
  }
  stream_ = std::move(opened.value());
  return n;
}

ReadStep StreamingLoader::next_message(FeedMessage& out, std::string& error) {
  if (!stream_) return ReadStep::kEnd;
  return read_next_message(*stream_, out, error);
}

Result<bool> StreamingLoader::is_end_of_msg() {
  if (!stream_) return true;
  const uint64_t saved = stream_->position();
  FeedMessage scratch;
  std::string error;
  const ReadStep step = read_next_message(*stream_, scratch, error);
  Status s = stream_->seek(saved);
  if (!s.ok()) return s;
  if (step == ReadStep::kError) return Status::error(error);
  return step == ReadStep::kEnd;
}

Status StreamingLoader::reset_cursor() {
  if (!stream_) return Status();
  return stream_->seek(0);
}

}  // namespace tidemark
