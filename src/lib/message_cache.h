// The native state of a message cache: the path of the last successful load
// and the decoded messages of that file behind a shared, immutable handle.
// A failed load changes neither.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "read_trd_ord_only.h"
#include "status.h"

namespace tidemark {

class MessageCache {
 public:
  MessageCache() : messages_(std::make_shared<const FeedMessageArray>()) {}

  // Maps and decodes `path`; on success replaces both fields and returns the
  // number of messages now cached.
  Result<uint64_t> load(const std::string& path) {
    auto loaded = load_feed_file(path);
    if (!loaded.ok()) return loaded.status();
    messages_ = std::move(loaded.value());
    file_source_ = path;
    return static_cast<uint64_t>(messages_->size());
  }

  const std::optional<std::string>& file_source() const { return file_source_; }
  // The cached messages in file order; the handle may be kept by a reader.
  const std::shared_ptr<const FeedMessageArray>& messages() const { return messages_; }

 private:
  std::optional<std::string> file_source_;
  std::shared_ptr<const FeedMessageArray> messages_;
};

}  // namespace tidemark
