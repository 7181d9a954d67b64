// The boundary to the platform's speech services: the recogniser, its model assets, audio
// files and the audio converter. The engine and the live session reach the platform only
// through these operations; real and scripted implementations live outside the library.
//
// Threads: every call is made on the caller's thread and may block there (loading a model,
// reading a file, downloading) unless it says otherwise; nothing calls back into the caller
// except Progress observers and the result queue, which the platform feeds from threads of its
// own. Ownership: shared_ptr where the platform's threads may outlive the call that made the
// object (transcribers, analyzers, progress), unique_ptr where the caller alone holds it.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Channel.h"
#include "MediaTime.h"
#include "Progress.h"
#include "ResultQueue.h"

namespace vorel {

struct OperatingSystemVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;
  auto operator<=>(const OperatingSystemVersion&) const = default;
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

// Recognises speech into its transcriber's result queue. A file goes analyzeSequence, then
// finalizeAndFinish; live input goes start, then finalizeAndFinishThroughEndOfInput; either
// may be cut short by cancelAndFinishNow. Destroying the analyzer stops and joins whatever
// threads it runs.
class Analyzer {
 public:
  virtual ~Analyzer() = default;
  // Reads the whole file into the analysis on the caller's thread; the time of the last sample
  // read, or nothing.
  virtual std::expected<std::optional<MediaTime>, PlatformError> analyzeSequence(
      AudioFile& file) = 0;
  // Return once every result up to the time (or the end of input) has been delivered; the
  // result stream then ends.
  virtual std::expected<void, PlatformError> finalizeAndFinish(MediaTime through) = 0;
  virtual std::expected<void, PlatformError> finalizeAndFinishThroughEndOfInput() = 0;
  // Stops at once; the result stream ends soon. Safe from any thread, at any time.
  virtual void cancelAndFinishNow() = 0;
  // Returns once analysis has begun, without waiting for the input to end: the analyzer reads
  // the channel on a thread of its own until the channel is finished.
  virtual std::expected<void, PlatformError> start(
      std::shared_ptr<Channel<AnalyzerInput>> input) = 0;
};

enum class AssetStatus { unsupported, supported, downloading, installed, unknown };

// Downloads and installs one locale's model. downloadAndInstall blocks until it is done; the
// progress is updated meanwhile, from the installing thread.
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
  // Runs the conversion once into output, pulling input from the provider on the caller's
  // thread.
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
