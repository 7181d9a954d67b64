// Transcription results and the queue that carries them from the platform's threads to the
// engine's reader.
#pragma once

#include <condition_variable>
#include <deque>
#include <expected>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "MediaTime.h"

namespace vorel {

// A readable failure of the platform: what failed and why, in a sentence.
struct PlatformError {
  std::string description;
};

// One result of a transcriber: its text, where it lies on the analyzer's timeline and whether
// it is final.
struct TranscriptionResult {
  std::string text;
  MediaTimeRange range;
  bool isFinal = true;
};

// Results in order. next() blocks until a result, the end of the stream (nothing), a failure,
// or until the stop token is triggered, which ends the stream for this reader.
class ResultStream {
 public:
  virtual ~ResultStream() = default;
  virtual std::expected<std::optional<TranscriptionResult>, PlatformError> next(
      std::stop_token stop) = 0;
};

// A result stream fed by the platform from any thread: push() and end() on one side, next() on
// the reader's. Results pushed after the end are dropped.
class ResultQueue final : public ResultStream {
 public:
  void push(TranscriptionResult result) {
    {
      std::lock_guard guard(mutex_);
      if (ended_) return;
      items_.push_back(std::move(result));
    }
    changed_.notify_all();
  }
  // Ends the stream once the queued results are read, with the error if one is given. Only the
  // first end counts.
  void end(std::optional<PlatformError> error = std::nullopt) {
    {
      std::lock_guard guard(mutex_);
      if (ended_) return;
      ended_ = true;
      error_ = std::move(error);
    }
    changed_.notify_all();
  }
  std::expected<std::optional<TranscriptionResult>, PlatformError> next(
      std::stop_token stop) override {
    std::unique_lock guard(mutex_);
    changed_.wait(guard, stop, [&] { return !items_.empty() || ended_; });
    if (!items_.empty()) {
      auto item = std::move(items_.front());
      items_.pop_front();
      return item;
    }
    if (error_) return std::unexpected(*error_);
    return std::nullopt;
  }

 private:
  std::mutex mutex_;  // guards items_, ended_ and error_
  std::condition_variable_any changed_;
  std::deque<TranscriptionResult> items_;
  bool ended_ = false;
  std::optional<PlatformError> error_;
};

}  // namespace vorel
