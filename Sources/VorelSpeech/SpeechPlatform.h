// The boundary to the platform's speech services: the recogniser, its model assets, audio
// files and the audio converter. The engine and the live session reach the platform only
// through these operations; real and scripted implementations live outside the library.
#pragma once

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "Channel.h"

namespace vorel {

struct OperatingSystemVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;
  auto operator<=>(const OperatingSystemVersion&) const = default;
};

// A readable failure of the platform: what failed and why, in a sentence.
struct PlatformError {
  std::string description;
};

// A point on a media timeline: value / timescale seconds, with validity flags.
struct MediaTime {
  enum Flag : std::uint32_t {
    valid = 1,
    positiveInfinity = 4,
    negativeInfinity = 8,
    indefinite = 16,
  };

  std::int64_t value = 0;
  std::int32_t timescale = 0;
  std::uint32_t flags = 0;

  static MediaTime make(std::int64_t value, std::int32_t timescale) {
    return {value, timescale, timescale > 0 ? std::uint32_t{valid} : 0u};
  }
  static MediaTime invalid() { return {}; }

  bool isNumeric() const {
    return (flags & (valid | positiveInfinity | negativeInfinity | indefinite)) == valid;
  }
  double seconds() const {
    if (!isNumeric()) return std::nan("");
    return static_cast<double>(value) / static_cast<double>(timescale);
  }
};

struct MediaTimeRange {
  MediaTime start;
  MediaTime duration;

  MediaTime end() const {
    if (!start.isNumeric() || !duration.isNumeric()) return MediaTime::invalid();
    if (start.timescale == duration.timescale) {
      return MediaTime::make(start.value + duration.value, start.timescale);
    }
    constexpr std::int32_t micro = 1'000'000;
    return MediaTime::make(std::llround((start.seconds() + duration.seconds()) * micro), micro);
  }
};

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

// Linear PCM formats: the two sample types the helper meets.
enum class CommonFormat : int { float32 = 1, int16 = 3 };

struct AudioFormat {
  CommonFormat commonFormat = CommonFormat::int16;
  double sampleRate = 0;
  std::uint32_t channels = 0;
  bool interleaved = true;
  bool operator==(const AudioFormat&) const = default;
};

// A buffer of PCM audio with a fixed capacity; frameLength frames of it are valid. Samples are
// interleaved, in int16 or float32 as the format says.
struct PcmBuffer {
  AudioFormat format;
  std::uint32_t frameCapacity = 0;
  std::uint32_t frameLength = 0;
  std::vector<std::int16_t> int16;
  std::vector<float> float32;

  static std::optional<PcmBuffer> make(const AudioFormat& format, std::uint32_t capacity);
};

struct AnalyzerInput {
  PcmBuffer buffer;
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

enum class TranscriberMode {
  transcription,  // the plain transcription preset: final results only
  live,           // volatile results as audio arrives, with audio time ranges
};

// What is recognised for one request: the locale and mode asked for, and its one stream of
// results, which the platform's analyzer fills (from any thread) and the engine reads.
class Transcriber final {
 public:
  Transcriber(std::string locale, TranscriberMode mode) : locale_(std::move(locale)), mode_(mode) {}
  const std::string& locale() const { return locale_; }
  TranscriberMode mode() const { return mode_; }
  // The reading side, for the engine.
  std::shared_ptr<ResultStream> results() const { return queue_; }
  // The writing side, for the platform.
  const std::shared_ptr<ResultQueue>& queue() const { return queue_; }

 private:
  std::string locale_;
  TranscriberMode mode_;
  std::shared_ptr<ResultQueue> queue_ = std::make_shared<ResultQueue>();
};

// An opened audio file: its sample rate (0 or not a number when unknown) and length in frames.
class AudioFile {
 public:
  using Block = std::function<bool(std::span<const std::int16_t>)>;
  virtual ~AudioFile() = default;
  virtual double sampleRate() const = 0;
  virtual std::int64_t lengthInFrames() const = 0;
  // Reads the whole file from the start, mixed to mono and resampled to the given rate, in
  // blocks on the caller's thread; stops early when the block handler returns false.
  virtual std::expected<void, PlatformError> read(int rate, const Block& block) = 0;
};

class Analyzer {
 public:
  virtual ~Analyzer() = default;
  // Reads the whole file into the analysis; the time of the last sample read, or nothing.
  virtual std::expected<std::optional<MediaTime>, PlatformError> analyzeSequence(
      AudioFile& file) = 0;
  // Return once every result up to the time (or the end of input) has been delivered; the
  // result stream then ends.
  virtual std::expected<void, PlatformError> finalizeAndFinish(MediaTime through) = 0;
  virtual std::expected<void, PlatformError> finalizeAndFinishThroughEndOfInput() = 0;
  // Stops at once; the result stream ends soon. Safe from any thread, at any time.
  virtual void cancelAndFinishNow() = 0;
  // Returns once analysis has begun, without waiting for the input to end.
  virtual std::expected<void, PlatformError> start(
      std::shared_ptr<Channel<AnalyzerInput>> input) = 0;
};

enum class AssetStatus { unsupported, supported, downloading, installed, unknown };

class InstallationRequest {
 public:
  virtual ~InstallationRequest() = default;
  virtual std::shared_ptr<Progress> progress() = 0;
  virtual std::expected<void, PlatformError> downloadAndInstall() = 0;
};

enum class ConverterInputStatus { haveData = 0, noDataNow = 1, endOfStream = 2 };
enum class ConverterOutputStatus { haveData = 0, inputRanDry = 1, endOfStream = 2, error = 3 };

class AudioConverter {
 public:
  struct Input {
    ConverterInputStatus status = ConverterInputStatus::noDataNow;
    const PcmBuffer* buffer = nullptr;
  };
  using InputProvider = std::function<Input(std::uint32_t packetsWanted)>;

  virtual ~AudioConverter() = default;
  // Runs the conversion once into output, pulling input from the provider.
  virtual ConverterOutputStatus convert(PcmBuffer& output, const InputProvider& provider) = 0;
};

class SpeechPlatform {
 public:
  virtual ~SpeechPlatform() = default;

  virtual OperatingSystemVersion operatingSystemVersion() const = 0;

  // Locales, as BCP 47 identifiers.
  virtual std::vector<std::string> supportedLocales() = 0;
  virtual std::optional<std::string> supportedLocale(const std::string& equivalentTo) = 0;
  virtual std::string currentLocale() = 0;

  virtual std::shared_ptr<Transcriber> makeTranscriber(const std::string& locale,
                                                       TranscriberMode mode) = 0;
  virtual std::shared_ptr<Analyzer> makeAnalyzer(std::shared_ptr<Transcriber> transcriber) = 0;
  virtual std::optional<AudioFormat> bestAvailableAudioFormat(const Transcriber& transcriber) = 0;

  virtual AssetStatus assetStatus(const Transcriber& transcriber) = 0;
  // A request, nullptr when nothing is to be installed, or an error.
  virtual std::expected<std::unique_ptr<InstallationRequest>, PlatformError> installationRequest(
      const Transcriber& transcriber) = 0;

  virtual std::expected<std::shared_ptr<AudioFile>, PlatformError> openAudioFile(
      const std::string& path) = 0;
  // nullptr when no converter between the two formats can be built.
  virtual std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                        const AudioFormat& to) = 0;
};

}  // namespace vorel
