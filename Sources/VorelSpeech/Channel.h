// An unbounded first-in first-out channel between threads.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <stop_token>

namespace vorel {

// push never blocks and never drops while the channel is open; pop waits for an item or the
// end, which comes once the channel is finished and drained. Finishing twice is harmless and a
// push after the end is dropped.
template <class T>
class Channel {
 public:
  // Returns false when the channel was already finished and the item was dropped.
  bool push(T item) {
    {
      std::lock_guard guard(mutex_);
      if (finished_) return false;
      items_.push_back(std::move(item));
    }
    ready_.notify_one();
    return true;
  }

  void finish() {
    {
      std::lock_guard guard(mutex_);
      finished_ = true;
    }
    ready_.notify_all();
  }

  // The next item, or nothing once the channel has ended (or the stop token was triggered).
  std::optional<T> pop(std::stop_token stop = {}) {
    std::unique_lock guard(mutex_);
    ready_.wait(guard, stop, [&] { return !items_.empty() || finished_; });
    if (items_.empty()) return std::nullopt;
    T item = std::move(items_.front());
    items_.pop_front();
    return item;
  }

 private:
  std::mutex mutex_;  // guards items_ and finished_
  std::condition_variable_any ready_;
  std::deque<T> items_;
  bool finished_ = false;
};

}  // namespace vorel
