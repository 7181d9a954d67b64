#include "DecoderPool.h"

#include <algorithm>

#include "ListenConfig.h"

namespace vorel::linuxplatform {

DecoderPool::DecoderPool(std::vector<std::unique_ptr<UtteranceDecoder>> loaded, int most,
                         Factory make, Sink sink, std::size_t waitingAtMost)
    : most_(std::max<int>(most, static_cast<int>(loaded.size()))),  // loaded holds at least one
      make_(std::move(make)),
      waitingAtMost_(waitingAtMost),
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

DecoderPool::Ticket DecoderPool::decode(Utterance utterance) {
  std::unique_lock lock(mutex_);
  if (waitingAtMost_ > 0) changed_.wait(lock, [&] { return waiting() < waitingAtMost_; });
  Ticket ticket = add(std::move(utterance), /*held=*/false);
  slots_.back().provisional = std::exchange(current_, {});
  return ticket;
}

DecoderPool::Ticket DecoderPool::guess(Utterance utterance) {
  std::lock_guard lock(mutex_);
  return add(std::move(utterance), /*held=*/true);
}

DecoderPool::Ticket DecoderPool::add(Utterance utterance, bool held) {
  Ticket ticket = nextTicket_++;
  slots_.push_back({Slot::State::waiting, ticket, std::move(utterance), held, {}, {}});
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

void DecoderPool::confirm(Ticket ticket, int pauseMs) {
  std::lock_guard lock(mutex_);
  for (auto& slot : slots_) {
    if (slot.ticket == ticket && slot.held) {
      slot.held = false;
      slot.utterance.pauseMs = pauseMs;
      slot.provisional = std::exchange(current_, {});
    }
  }
  deliverReady();
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
    Utterance utterance = std::move(slot->utterance);
    changed_.notify_all();  // room for another utterance
    lock.unlock();
    auto words = recogniser->decodeWhole(utterance.audio).value_or(std::vector<RecognisedWord>{});
    auto results =
        utteranceResults(words, utterance.start, utterance.heard, utterance.longestPhrase);
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
  bool delivered = false;
  while (!slots_.empty()) {
    Slot& front = slots_.front();
    bool ready =
        (front.state == Slot::State::done && !front.held) || front.state == Slot::State::withdrawn;
    if (!ready) break;
    // A sentence may end after the last words of an utterance; never inside one.
    bool ends = sentenceMayEnd(front.utterance.pauseMs);
    auto last = std::find_if(front.results.rbegin(), front.results.rend(),
                             [](const TranscriptionResult& r) { return !r.text.empty(); });
    for (auto& result : front.results) {
      bool isLast = last != front.results.rend() && &result == &*last;
      result.text = sentences_.write(result.text, ends && isLast);
      sink_(std::move(result));
    }
    slots_.pop_front();
    delivered = true;
  }
  // What is still provisional, now without the text those results replace.
  if (delivered) deliverProvisional(/*always=*/false);
  changed_.notify_all();
}

void DecoderPool::provisional(std::string text, std::int64_t start, std::int64_t end) {
  std::lock_guard lock(mutex_);
  current_ = std::move(text);
  currentStart_ = start;
  currentEnd_ = end;
  deliverProvisional(/*always=*/true);
}

void DecoderPool::deliverProvisional(bool always) {
  std::string text;
  std::int64_t start = current_.empty() ? currentEnd_ : currentStart_;
  for (const auto& slot : slots_) {
    if (slot.state == Slot::State::withdrawn || slot.provisional.empty()) continue;
    start = std::min(start, slot.utterance.start);
    text += (text.empty() ? "" : " ") + slot.provisional;
  }
  if (!current_.empty()) text += (text.empty() ? "" : " ") + current_;
  text = sentences_.preview(text);
  // After results, only text still to come: a caller takes results as replacing the
  // provisional text, so an empty one would say nothing new.
  bool news = always || (!text.empty() && text != shown_);
  shown_ = text;
  if (!news) return;
  std::int64_t end = std::max(start, currentEnd_);
  sink_({std::move(text), {sampleTime(start), sampleTime(end - start)}, false});
}

void DecoderPool::withdraw(Ticket ticket) {
  std::lock_guard lock(mutex_);
  for (auto& slot : slots_) {
    if (slot.ticket == ticket) {
      slot.state = Slot::State::withdrawn;
      slot.held = false;
      slot.utterance.audio = {};
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
  Slot given{Slot::State::done, nextTicket_++, {}, false, {}, {}};
  given.results.push_back(std::move(result));
  slots_.push_back(std::move(given));
}

void DecoderPool::drain() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return slots_.empty(); });
}

}  // namespace vorel::linuxplatform
