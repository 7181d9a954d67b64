#include "DecoderPool.h"

#include <algorithm>

namespace vorel::linuxplatform {

DecoderPool::DecoderPool(std::vector<std::unique_ptr<UtteranceDecoder>> loaded, int most,
                         Factory make, Sink sink)
    : most_(std::max<int>(most, static_cast<int>(loaded.size()))),  // loaded holds at least one
      make_(std::move(make)),
      sink_(std::move(sink)),
      spare_(std::move(loaded)) {}

DecoderPool::~DecoderPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  workers_.clear();  // joins them
}

std::size_t DecoderPool::waiting() const {
  return static_cast<std::size_t>(std::count_if(
      slots_.begin(), slots_.end(), [](const Slot& s) { return s.state == Slot::State::waiting; }));
}

DecoderPool::Ticket DecoderPool::decode(std::int64_t start, std::vector<std::int16_t> audio,
                                        int longestPhrase, std::int64_t heard) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return waiting() < 2 * static_cast<std::size_t>(most_); });
  Ticket ticket = nextTicket_++;
  slots_.push_back(
      {Slot::State::waiting, ticket, start, std::move(audio), longestPhrase, heard, {}});
  if (idle_ > 0) {
    changed_.notify_all();
  } else if (static_cast<int>(workers_.size()) < most_) {
    // Every worker is busy: one more, with a loaded recogniser if there is one.
    std::unique_ptr<UtteranceDecoder> recogniser;
    if (!spare_.empty()) {
      recogniser = std::move(spare_.back());
      spare_.pop_back();
    }
    workers_.emplace_back([this, r = std::move(recogniser)]() mutable { work(std::move(r)); });
  }
  return ticket;
}

void DecoderPool::work(std::unique_ptr<UtteranceDecoder> recogniser) {
  // Only a worker without one given makes its own; if that fails (out of memory, most likely),
  // the workers already running decode everything.
  if (!recogniser && make_) recogniser = make_();
  if (!recogniser) return;
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    changed_.wait(lock, [&] { return stopping_ || waiting() > 0; });
    --idle_;
    if (stopping_) return;
    auto slot = std::find_if(slots_.begin(), slots_.end(),
                             [](const Slot& s) { return s.state == Slot::State::waiting; });
    slot->state = Slot::State::decoding;
    Ticket ticket = slot->ticket;
    std::int64_t start = slot->start;
    std::vector<std::int16_t> audio = std::move(slot->audio);
    int longest = slot->longestPhrase;
    std::int64_t heard = slot->heard;
    changed_.notify_all();  // room for another utterance
    lock.unlock();
    auto words = recogniser->decodeWhole(audio).value_or(std::vector<RecognisedWord>{});
    auto results = utteranceResults(words, start, heard, longest);
    lock.lock();
    // Slots before this one may have been delivered meanwhile: find it again.
    slot = std::find_if(slots_.begin(), slots_.end(),
                        [&](const Slot& s) { return s.ticket == ticket; });
    if (slot != slots_.end() && slot->state == Slot::State::decoding) {
      slot->state = Slot::State::done;
      slot->results = std::move(results);
    }
    deliverReady();
  }
}

void DecoderPool::deliverReady() {
  while (!slots_.empty() && (slots_.front().state == Slot::State::done ||
                             slots_.front().state == Slot::State::withdrawn)) {
    for (auto& result : slots_.front().results) sink_(std::move(result));
    slots_.pop_front();
  }
  changed_.notify_all();
}

void DecoderPool::withdraw(Ticket ticket) {
  std::lock_guard lock(mutex_);
  for (auto& slot : slots_) {
    if (slot.ticket == ticket) {
      slot.state = Slot::State::withdrawn;
      slot.audio = {};
    }
  }
  deliverReady();
}

void DecoderPool::deliver(TranscriptionResult result) {
  std::lock_guard lock(mutex_);
  if (slots_.empty()) {
    sink_(std::move(result));
    return;
  }
  Slot given{Slot::State::done, nextTicket_++, 0, {}, 0, 0, {}};
  given.results.push_back(std::move(result));
  slots_.push_back(std::move(given));
}

bool DecoderPool::deliverIfIdle(TranscriptionResult result) {
  std::lock_guard lock(mutex_);
  if (!slots_.empty()) return false;
  sink_(std::move(result));
  return true;
}

void DecoderPool::drain() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return slots_.empty(); });
}

}  // namespace vorel::linuxplatform
