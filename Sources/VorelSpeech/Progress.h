// A count of work done that several threads update and observe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace vorel {

// A thread-safe progress count. Observers are told of every change of the fraction, on the
// thread that made the change; once removeObserver returns, that observer is not running and
// is never called again. The readers are virtual so that tests can drive every value.
class Progress {
 public:
  using Observer = std::function<void()>;

  virtual ~Progress() = default;

  virtual std::int64_t totalUnitCount() const { return total_.load(); }
  virtual std::int64_t completedUnitCount() const { return completed_.load(); }
  virtual double fractionCompleted() const {
    std::lock_guard guard(counts_);
    return fraction(total_.load(), completed_.load());
  }

  void setTotalUnitCount(std::int64_t total) {
    change([&] { total_.store(total); });
  }
  void setCompletedUnitCount(std::int64_t completed) {
    change([&] { completed_.store(completed); });
  }

  int addObserver(Observer observer) {
    std::lock_guard guard(observing_);
    observers_.emplace(++lastId_, std::move(observer));
    return lastId_;
  }
  void removeObserver(int id) {
    std::lock_guard guard(observing_);
    observers_.erase(id);
  }

 protected:
  void notifyObservers() {
    std::lock_guard guard(observing_);
    for (auto& [id, observer] : observers_) observer();
  }

 private:
  static double fraction(std::int64_t total, std::int64_t completed) {
    if (total <= 0) return 0.0;
    return static_cast<double>(completed) / static_cast<double>(total);
  }

  template <class Update>
  void change(Update update) {
    bool changed;
    {
      std::lock_guard guard(counts_);
      double before = fraction(total_.load(), completed_.load());
      update();
      changed = fraction(total_.load(), completed_.load()) != before;
    }
    if (changed) notifyObservers();
  }

  // Lock order: counts_ is never held while observing_ is taken (observers run without it).
  mutable std::mutex counts_;  // guards updates of the two counts together
  std::atomic<std::int64_t> total_{-1};
  std::atomic<std::int64_t> completed_{0};
  std::mutex observing_;  // guards observers_ and lastId_
  std::map<int, Observer> observers_;
  int lastId_ = 0;
};

}  // namespace vorel
