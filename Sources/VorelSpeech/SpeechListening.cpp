#include "SpeechListening.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "SpeechEngine.h"

namespace vorel {
namespace {

constexpr std::string_view fellBehind = "the speech engine fell a minute behind";
constexpr std::string_view noFormat = "the speech engine named no format to hear in";
constexpr std::string_view notConverted = "a buffer was not converted for the speech engine";

void drain(Channel<std::string>& audio) {
  while (audio.pop()) {
  }
}

}  // namespace

// --- Lag -------------------------------------------------------------------------------------

bool Lag::isSpeech(std::string_view chunk) {
  std::size_t samples = chunk.size() / 2;
  if (samples == 0) return false;
  double sum = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(chunk.data());
  for (std::size_t i = 0; i < samples; ++i) {
    auto sample = static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    double value = sample;
    sum += value * value;
  }
  return std::sqrt(sum / static_cast<double>(samples)) >= 32.768;
}

bool Lag::fed(double seconds, bool speech) {
  std::lock_guard guard(lock_);
  fedThrough_ += seconds;
  if (speech) spoken_ += seconds;
  // A mark that adds no speech to the one before it (an empty chunk, or silence after silence)
  // would change nothing that heard() computes: leaving it out keeps a long silence, or a
  // flood of empty frames, from growing the list.
  double before = marks_.empty() ? heardSpoken_ : marks_.back().spoken;
  if (spoken_ != before) marks_.push_back({fedThrough_, spoken_});
  return spoken_ - heardSpoken_ <= limitSeconds;
}

void Lag::heard(double through) {
  std::lock_guard guard(lock_);
  while (!marks_.empty() && marks_.front().end <= through) {
    heardSpoken_ = marks_.front().spoken;
    marks_.pop_front();
  }
}

// --- SpeechSession ---------------------------------------------------------------------------

AudioFormat SpeechSession::inputFormat() {
  return {CommonFormat::int16, 48000.0, 1, true};
}

SpeechSession::SpeechSession(SpeechPlatform& platform, OnEvent onEvent)
    : platform_(platform),
      pcm_(std::make_shared<Channel<std::string>>(
          static_cast<std::uint64_t>(backlogSeconds * bytesPerSecond),
          [](const std::string& chunk) { return chunk.size(); })),
      onEvent_(std::move(onEvent)) {}

std::shared_ptr<SpeechSession> SpeechSession::open(SpeechPlatform& platform,
                                                   const std::string& locale, OnEvent onEvent) {
  std::shared_ptr<SpeechSession> session(new SpeechSession(platform, std::move(onEvent)));
  std::promise<void> completed;
  auto run = completed.get_future().share();
  {
    std::lock_guard guard(session->lock_);
    session->run_ = std::move(run);
  }
  // The analyzing thread belongs to the session, which joins it when it is discarded; it reports
  // completion as its last act, so finish() never returns while it still uses the session.
  session->analyzing_ =
      std::jthread([self = session.get(), locale, completed = std::move(completed)]() mutable {
        self->analyze(*self->pcm_, locale);
        completed.set_value();
      });
  return session;
}

SpeechSession::~SpeechSession() {
  // Discarded while still open (its audio broke off): it ends without a word, and every thread
  // it started is joined before it goes.
  {
    std::lock_guard guard(emitting_);
    ended_.store(true, std::memory_order_release);
  }
  stopping_.request_stop();
  pcm_->finish();
  std::shared_ptr<Analyzer> analyzer;
  {
    std::lock_guard guard(lock_);
    analyzer = analyzer_;
  }
  if (analyzer) analyzer->cancelAndFinishNow();
  if (ending_.joinable()) ending_.join();
  if (analyzing_.joinable()) analyzing_.join();
  if (cancelling_.joinable()) cancelling_.join();
}

void SpeechSession::feed(std::string chunk) {
  if (ended_.load(std::memory_order_acquire)) return;
  bool speech = Lag::isSpeech(chunk);
  if (lag_.fed(static_cast<double>(chunk.size()) / bytesPerSecond, speech)) {
    // A chunk without a whole sample converts to nothing: it is counted, not queued.
    if (chunk.size() >= 2) pcm_->pushWhenRoom(std::move(chunk), stopping_.get_token());
    return;
  }
  // Ending can wait on the client reading its output, which feed() must never do, so it is
  // handed to a thread of the session's: one, however many chunks come before it has ended.
  if (!fellBehind_.exchange(true)) {
    ending_ = std::jthread([this] { end(SpeechEvent::failed(std::string(fellBehind))); });
  }
}

void SpeechSession::finish() {
  pcm_->finish();
  std::shared_future<void> run;
  {
    std::lock_guard guard(lock_);
    run = run_;
  }
  if (run.valid()) run.wait();
}

bool SpeechSession::close(const SpeechEvent* event) {
  bool changed;
  {
    std::lock_guard guard(emitting_);
    bool expected = false;
    changed = ended_.compare_exchange_strong(expected, true, std::memory_order_acq_rel);
    if (changed && event) onEvent_(*event);
  }
  std::shared_ptr<Analyzer> analyzer;
  {
    std::lock_guard guard(lock_);
    analyzer = analyzer_;
  }
  if (!changed) return false;
  stopping_.request_stop();
  pcm_->finish();
  // Only the call that ended the session gets here, once.
  if (analyzer) cancelling_ = std::jthread([analyzer] { analyzer->cancelAndFinishNow(); });
  return true;
}

void SpeechSession::deliver(SpeechEvent event) {
  std::lock_guard guard(emitting_);
  if (!ended_.load(std::memory_order_acquire)) onEvent_(event);
}

void SpeechSession::analyze(Channel<std::string>& audio, const std::string& locale) {
  // Whichever way the analysis ends, the audio channel ends with it.
  struct FinishAudio {
    Channel<std::string>& audio;
    ~FinishAudio() { audio.finish(); }
  } finishAudio{audio};

  auto resolved = platform_.supportedLocale(locale);
  if (!resolved) {
    end(SpeechEvent::failed("the speech engine does not offer " + locale));
    return drain(audio);
  }
  auto transcriber = platform_.makeTranscriber(*resolved, TranscriberMode::live);
  auto analyzerFormat = platform_.bestAvailableAudioFormat(*transcriber);
  const AudioFormat input = inputFormat();
  std::unique_ptr<AudioConverter> converter;
  if (analyzerFormat) converter = platform_.makeConverter(input, *analyzerFormat);
  if (!converter) {
    end(SpeechEvent::failed(std::string(noFormat)));
    return drain(audio);
  }

  // Weighed in microseconds of audio.
  auto analyzerInput = std::make_shared<Channel<AnalyzerInput>>(
      static_cast<std::uint64_t>(backlogSeconds * 1e6), [](const AnalyzerInput& input) {
        const PcmBuffer& pcm = input.buffer;
        double rate = pcm.format.sampleRate > 0 ? pcm.format.sampleRate : 1.0;
        return static_cast<std::uint64_t>(pcm.frameLength * 1e6 / rate);
      });
  auto analyzer = platform_.makeAnalyzer(transcriber);
  {
    std::lock_guard guard(lock_);
    analyzer_ = analyzer;
  }
  if (ended_.load(std::memory_order_acquire)) return drain(audio);

  std::jthread results([this, stream = transcriber->results()] { readResults(*stream); });
  auto failWith = [&](const PlatformError& error) {
    analyzerInput->finish();
    end(SpeechEvent::failed(error.description));
    results.join();
    drain(audio);
  };
  if (auto started = analyzer->start(analyzerInput); !started) return failWith(started.error());

  while (auto chunk = audio.pop()) {
    if (ended_.load(std::memory_order_acquire)) continue;
    auto buffer = convert(*chunk, input, *converter, *analyzerFormat);
    if (!buffer) {
      end(SpeechEvent::failed(std::string(notConverted)));
      continue;
    }
    if (buffer->frameLength == 0) continue;
    analyzerInput->pushWhenRoom(AnalyzerInput{std::move(*buffer)}, stopping_.get_token());
  }
  // The last few milliseconds are still inside the converter.
  if (!ended_.load(std::memory_order_acquire)) {
    auto rest = flush(*converter, *analyzerFormat);
    if (!rest) {
      end(SpeechEvent::failed(std::string(notConverted)));
    } else if (rest->frameLength > 0) {
      analyzerInput->push(AnalyzerInput{std::move(*rest)});
    }
  }
  analyzerInput->finish();
  if (!ended_.load(std::memory_order_acquire)) {
    if (auto finished = analyzer->finalizeAndFinishThroughEndOfInput(); !finished) {
      return failWith(finished.error());
    }
  }
  results.join();
  end(SpeechEvent::done());
}

void SpeechSession::readResults(ResultStream& results) {
  for (;;) {
    auto next = results.next({});
    if (!next) {
      end(SpeechEvent::failed(next.error().description));
      return;
    }
    if (!*next) return;
    const TranscriptionResult& result = **next;
    MediaTime end = result.range.end();
    // Only final text is what the caller waits for: speech heard provisionally is still behind.
    if (result.isFinal) lag_.heard(end.seconds());
    std::string text(SpeechEngine::trimmed(result.text));
    if (!result.isFinal) {
      deliver(SpeechEvent::volatileText(std::move(text)));
    } else if (!text.empty()) {
      deliver(SpeechEvent::segments(
          {SpeechSegment{std::move(text), SpeechEngine::milliseconds(result.range.start),
                         SpeechEngine::milliseconds(end)}}));
    }
  }
}

std::optional<PcmBuffer> SpeechSession::flush(AudioConverter& with, const AudioFormat& to) {
  // A second of output is far more than any converter holds back.
  auto output = PcmBuffer::make(to, static_cast<std::uint32_t>(std::max(to.sampleRate, 1.0)));
  if (!output) return std::nullopt;
  auto status = with.convert(*output, [](std::uint32_t) -> AudioConverter::Input {
    return {ConverterInputStatus::endOfStream, nullptr};
  });
  if (status == ConverterOutputStatus::error) return std::nullopt;
  return output;
}

std::optional<PcmBuffer> SpeechSession::convert(std::string_view chunk, const AudioFormat& from,
                                                AudioConverter& with, const AudioFormat& to) {
  auto frames = static_cast<std::uint32_t>(chunk.size() / 2);
  if (chunk.size() < 2) return PcmBuffer::make(to, 1);
  auto input = PcmBuffer::make(from, frames);
  if (!input || input->format.commonFormat != CommonFormat::int16) return std::nullopt;
  input->frameLength = frames;
  std::memcpy(input->int16.data(), chunk.data(), std::size_t{frames} * 2);

  double capacity = std::ceil(to.sampleRate / from.sampleRate * frames) + 16;
  if (!(capacity <= std::numeric_limits<std::uint32_t>::max())) return std::nullopt;
  auto output = PcmBuffer::make(to, static_cast<std::uint32_t>(capacity));
  if (!output) return std::nullopt;

  bool handedOver = false;
  auto status = with.convert(*output, [&](std::uint32_t) -> AudioConverter::Input {
    if (handedOver) return {ConverterInputStatus::noDataNow, nullptr};
    handedOver = true;
    return {ConverterInputStatus::haveData, &*input};
  });
  if (status == ConverterOutputStatus::error) return std::nullopt;
  return output;
}

}  // namespace vorel
