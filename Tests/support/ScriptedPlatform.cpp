#include "ScriptedPlatform.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <thread>

namespace vorel::testing {
namespace {

MediaTime seconds(double value) {
  return MediaTime::make(std::llround(value * 1'000'000), 1'000'000);
}

TranscriptionResult toResult(const ScriptedResult& r) {
  return {r.text, {seconds(r.start), seconds(r.end - r.start)}, r.isFinal};
}

class ScriptedFile final : public AudioFile {
 public:
  ScriptedFile(double rate, std::int64_t frames) : rate_(rate), frames_(frames) {}
  double sampleRate() const override { return rate_; }
  std::int64_t lengthInFrames() const override { return frames_; }
  // The scripted analyzer never reads: its results are the script's.
  std::expected<void, PlatformError> read(int, const Block&) override { return {}; }

 private:
  double rate_;
  std::int64_t frames_;
};

// The analyzer keeps only what it needs of the platform's script, so that a late cancel from a
// background thread never reaches a platform the test has already let go of.
class ScriptedAnalyzer final : public Analyzer {
 public:
  ScriptedAnalyzer(ScriptedPlatform& platform, std::shared_ptr<ResultQueue> stream)
      : platform_(platform), stream_(std::move(stream)), live_(platform.liveAnalyzers) {
    ++*live_;
  }
  ~ScriptedAnalyzer() override {
    cancelled_ = true;
    if (hearing_.joinable()) {
      hearing_.request_stop();
      hearing_.join();
    }
    --*live_;
  }

  std::expected<std::optional<MediaTime>, PlatformError> analyzeSequence(AudioFile&) override {
    platform_.record("analyzeSequence");
    if (platform_.analyzeError) return std::unexpected(PlatformError{*platform_.analyzeError});
    for (const auto& r : platform_.results) stream_->push(toResult(r));
    if (!platform_.analyzing.wait([&] { return cancelled_.load(); })) {
      return std::unexpected(PlatformError{"the analysis was cancelled"});
    }
    if (!platform_.lastSample) return std::optional<MediaTime>{};
    return std::optional<MediaTime>{seconds(*platform_.lastSample)};
  }

  std::expected<void, PlatformError> finalizeAndFinish(MediaTime) override {
    platform_.record("finalizeAndFinish");
    return endResults();
  }

  std::expected<void, PlatformError> finalizeAndFinishThroughEndOfInput() override {
    platform_.record("finalizeAndFinishThroughEndOfInput");
    {
      std::unique_lock guard(mutex_);
      inputDone_.wait(guard, [&] { return inputEnded_ || cancelled_; });
    }
    if (platform_.atEnd && !platform_.finishError) {
      for (const auto& r : platform_.atEnd(position_)) stream_->push(toResult(r));
    }
    return endResults();
  }

  void cancelAndFinishNow() override {
    cancelled_ = true;
    stream_->end();
    {
      std::lock_guard guard(mutex_);
      inputDone_.notify_all();
    }
  }

  std::expected<void, PlatformError> start(std::shared_ptr<Channel<AnalyzerInput>> input) override {
    platform_.record("start");
    if (platform_.startError) return std::unexpected(PlatformError{*platform_.startError});
    hearing_ = std::jthread([this, input](std::stop_token stop) {
      for (;;) {
        if (!platform_.hearing.wait([&] { return cancelled_.load() || stop.stop_requested(); })) {
          break;
        }
        auto buffer = input->pop(stop);
        if (!buffer) break;
        double start = position_;
        position_ = start + buffer->buffer.frameLength / buffer->buffer.format.sampleRate;
        if (platform_.onBuffer && !cancelled_) {
          for (const auto& r : platform_.onBuffer(start, position_)) stream_->push(toResult(r));
        }
      }
      std::lock_guard guard(mutex_);
      inputEnded_ = true;
      inputDone_.notify_all();
    });
    return {};
  }

 private:
  std::expected<void, PlatformError> endResults() {
    if (platform_.finishError) return std::unexpected(PlatformError{*platform_.finishError});
    if (platform_.resultsError) {
      stream_->end(PlatformError{*platform_.resultsError});
    } else {
      stream_->end();
    }
    return {};
  }

  ScriptedPlatform& platform_;
  std::shared_ptr<ResultQueue> stream_;
  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;
  std::condition_variable inputDone_;
  bool inputEnded_ = false;
  double position_ = 0;  // written by the hearing thread, read after the input has ended
  std::shared_ptr<std::atomic<int>> live_;
  std::jthread hearing_;
};

class ScriptedRequest final : public InstallationRequest {
 public:
  ScriptedRequest(std::shared_ptr<Progress> progress,
                  std::function<std::expected<void, PlatformError>(Progress&)> install,
                  std::function<void()> onInstalled)
      : progress_(std::move(progress)),
        install_(std::move(install)),
        onInstalled_(std::move(onInstalled)) {}
  std::shared_ptr<Progress> progress() override { return progress_; }
  std::expected<void, PlatformError> downloadAndInstall() override {
    auto outcome = install_(*progress_);
    if (outcome) onInstalled_();
    return outcome;
  }

 private:
  std::shared_ptr<Progress> progress_;
  std::function<std::expected<void, PlatformError>(Progress&)> install_;
  std::function<void()> onInstalled_;
};

// Picks the nearest input sample for each output frame; mono int16 to mono int16 or float32.
class ScriptedConverter final : public AudioConverter {
 public:
  explicit ScriptedConverter(bool fails) : fails_(fails) {}
  ConverterOutputStatus convert(PcmBuffer& output, const InputProvider& provider) override {
    if (fails_) return ConverterOutputStatus::error;
    auto input = provider(output.frameCapacity);
    if (input.status != ConverterInputStatus::haveData || !input.buffer) {
      return ConverterOutputStatus::inputRanDry;
    }
    const PcmBuffer& in = *input.buffer;
    double ratio = output.format.sampleRate / in.format.sampleRate;
    auto frames = static_cast<std::uint32_t>(
        std::min<double>(std::floor(in.frameLength * ratio), output.frameCapacity));
    for (std::uint32_t i = 0; i < frames; ++i) {
      auto source =
          std::min<std::uint32_t>(static_cast<std::uint32_t>(i / ratio), in.frameLength - 1);
      std::int16_t sample = in.int16[source];
      if (output.format.commonFormat == CommonFormat::int16) {
        output.int16[i] = sample;
      } else {
        output.float32[i] = static_cast<float>(sample) / 32768.0f;
      }
    }
    output.frameLength = frames;
    return provider(0).status == ConverterInputStatus::haveData
               ? ConverterOutputStatus::haveData
               : ConverterOutputStatus::inputRanDry;
  }

 private:
  bool fails_;
};

}  // namespace

ScriptedPlatform::~ScriptedPlatform() {
  for (int waited = 0; *liveAnalyzers > 0 && waited < 5000; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::vector<std::string> ScriptedPlatform::calls() const {
  std::lock_guard guard(callsMutex_);
  return calls_;
}

void ScriptedPlatform::record(const std::string& call) {
  std::lock_guard guard(callsMutex_);
  calls_.push_back(call);
}

std::vector<std::string> ScriptedPlatform::supportedLocales() {
  return locales;
}

std::optional<std::string> ScriptedPlatform::supportedLocale(const std::string& equivalentTo) {
  resolving.wait();
  auto listed = [&](const std::string& id) {
    return std::find(locales.begin(), locales.end(), id) != locales.end();
  };
  if (listed(equivalentTo)) return equivalentTo;
  auto alias = equivalents.find(equivalentTo);
  if (alias != equivalents.end()) return alias->second;
  return std::nullopt;
}

std::shared_ptr<Transcriber> ScriptedPlatform::makeTranscriber(const std::string& locale,
                                                               TranscriberMode mode) {
  record("transcriber " + locale);
  return std::make_shared<Transcriber>(locale, mode);
}

std::shared_ptr<Analyzer> ScriptedPlatform::makeAnalyzer(std::shared_ptr<Transcriber> transcriber) {
  return std::make_shared<ScriptedAnalyzer>(*this, transcriber->queue());
}

std::optional<AudioFormat> ScriptedPlatform::bestAvailableAudioFormat(const Transcriber&) {
  return analyzerFormat;
}

AssetStatus ScriptedPlatform::assetStatus(const Transcriber&) {
  record("assetStatus");
  return installed_ ? statusAfterInstall : status;
}

std::expected<std::unique_ptr<InstallationRequest>, PlatformError>
ScriptedPlatform::installationRequest(const Transcriber&) {
  record("installationRequest");
  if (requestError) return std::unexpected(PlatformError{*requestError});
  if (nothingToInstall) return std::unique_ptr<InstallationRequest>();
  return std::make_unique<ScriptedRequest>(installProgress, install, [this] { installed_ = true; });
}

std::expected<std::shared_ptr<AudioFile>, PlatformError> ScriptedPlatform::openAudioFile(
    const std::string& path) {
  record("open " + path);
  if (openError) return std::unexpected(PlatformError{*openError});
  return std::make_shared<ScriptedFile>(fileSampleRate, fileFrames);
}

std::unique_ptr<AudioConverter> ScriptedPlatform::makeConverter(const AudioFormat&,
                                                                const AudioFormat&) {
  return std::make_unique<ScriptedConverter>(converterFails);
}

}  // namespace vorel::testing
