#include "streaming_loader.h"

#include <system_error>
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

ReadAhead::~ReadAhead() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

bool ReadAhead::start(FeedMessage* out, std::size_t max) {
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      return false;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    out_ = out;
    max_ = max;
    started_ = true;
  }
  wake_.notify_one();
  return true;
}

std::size_t ReadAhead::finish(ReadStep& last, std::string& error) {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return finished_; });
  finished_ = false;
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  last = last_;
  error = std::move(error_);
  return count_;
}

void ReadAhead::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return started_ || stop_; });
    // A batch that was started is read before stopping: the caller's
    // destructor waits for it rather than leave the loader half-read.
    if (!started_) return;
    FeedMessage* out = out_;
    const std::size_t max = max_;
    lock.unlock();
    std::size_t count = 0;
    ReadStep last = ReadStep::kMessage;
    std::string error;
    std::exception_ptr failure;
    try {
      count = loader_.next_messages(out, max, last, error);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    count_ = count;
    last_ = last;
    error_ = std::move(error);
    failure_ = failure;
    started_ = false;
    finished_ = true;
    done_.notify_one();
  }
}

}  // namespace tidemark
