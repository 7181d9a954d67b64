// A first-in first-out channel between threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <stop_token>

namespace vorel {

// push never blocks and never drops while the channel is open; pop waits for an item or the
// end, which comes once the channel is finished and drained. Finishing twice is harmless and a
// push after the end is dropped.
//
// A channel given a capacity can also hold its producer back: pushWhenRoom waits while what is
// queued weighs the capacity or more (each item weighed by the given function), so a producer
// faster than its consumer cannot grow the queue without bound.
template <class T>
class Channel {
 public:
  using Weigh = std::function<std::uint64_t(const T&)>;

  Channel() = default;
  Channel(std::uint64_t capacity, Weigh weigh) : capacity_(capacity), weigh_(std::move(weigh)) {}

  // Returns false when the channel was already finished and the item was dropped.
  bool push(T item) {
    {
      std::lock_guard guard(mutex_);
      if (finished_) return false;
      add(std::move(item));
    }
    ready_.notify_one();
    return true;
  }

  // Waits until the queue weighs less than the capacity, then pushes. Returns false, dropping
  // the item, when the channel is finished or the stop is requested first.
  bool pushWhenRoom(T item, std::stop_token stop) {
    {
      std::unique_lock guard(mutex_);
      room_.wait(guard, stop, [&] { return finished_ || weight_ < capacity_; });
      if (finished_ || stop.stop_requested()) return false;
      add(std::move(item));
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
    room_.notify_all();
  }

  // The next item, or nothing once the channel has ended (or the stop token was triggered).
  std::optional<T> pop(std::stop_token stop = {}) {
    std::optional<T> item;
    {
      std::unique_lock guard(mutex_);
      ready_.wait(guard, stop, [&] { return !items_.empty() || finished_; });
      if (items_.empty()) return std::nullopt;
      item.emplace(std::move(items_.front()));
      items_.pop_front();
      if (weigh_) weight_ -= weigh_(*item);
    }
    room_.notify_all();
    return item;
  }

 private:
  void add(T item) {  // with mutex_ held
    if (weigh_) weight_ += weigh_(item);
    items_.push_back(std::move(item));
  }

  const std::uint64_t capacity_ = std::numeric_limits<std::uint64_t>::max();
  const Weigh weigh_;
  std::mutex mutex_;  // guards items_, weight_ and finished_
  std::condition_variable_any ready_;
  std::condition_variable_any room_;
  std::deque<T> items_;
  std::uint64_t weight_ = 0;  // of items_, when weighed
  bool finished_ = false;
};

}  // namespace vorel
