#include "LinuxPlatform.h"

#include <algorithm>
#include <condition_variable>
#include <thread>

#include "AudioFiles.h"
#include "Installer.h"
#include "LinuxServiceLevel.h"
#include "Locales.h"
#include "ModelCheck.h"
#include "PersonalModel.h"
#include "Recogniser.h"
#include "SoxrConverter.h"

namespace vorel::linuxplatform {
namespace {

const AudioFormat analyzerFormat{CommonFormat::int16, Recogniser::sampleRate, 1, true};

// Runs the decoder over a whole file (on the caller's thread) or over live input (on a thread
// of its own), delivering results into the transcriber's queue.
class RealAnalyzer final : public Analyzer {
 public:
  RealAnalyzer(std::shared_ptr<const ModelStore> store, std::shared_ptr<Transcriber> transcriber)
      : store_(std::move(store)), transcriber_(std::move(transcriber)) {}

  ~RealAnalyzer() override {
    cancelled_ = true;
    if (live_.joinable()) {
      live_.request_stop();
      live_.join();
    }
  }

  std::expected<std::optional<MediaTime>, PlatformError> analyzeSequence(AudioFile& file) override {
    if (auto opened = openDecoder(); !opened) return std::unexpected(opened.error());
    auto read = file.read(Recogniser::sampleRate, [&](std::span<const std::int16_t> block) {
      if (cancelled_) return false;
      decoder_->feed(block);
      return true;
    });
    if (!read) return std::unexpected(read.error());
    if (cancelled_) return std::unexpected(cancelledError());
    if (decoder_->position() == 0) return std::optional<MediaTime>{};
    return std::optional<MediaTime>{MediaTime::make(decoder_->position(), Recogniser::sampleRate)};
  }

  std::expected<void, PlatformError> finalizeAndFinish(MediaTime) override {
    return finishResults();
  }

  std::expected<void, PlatformError> finalizeAndFinishThroughEndOfInput() override {
    if (live_.joinable()) live_.join();  // it ends once the input has ended and been decoded
    return finishResults();
  }

  void cancelAndFinishNow() override {
    cancelled_ = true;
    transcriber_->queue()->end();
  }

  std::expected<void, PlatformError> start(std::shared_ptr<Channel<AnalyzerInput>> input) override {
    if (auto opened = openDecoder(); !opened) return std::unexpected(opened.error());
    live_ = std::jthread([this, input](std::stop_token stop) {
      std::stop_callback wake(stop, [&] { input->finish(); });
      while (auto buffer = input->pop()) {
        if (cancelled_) break;
        const PcmBuffer& pcm = buffer->buffer;
        decoder_->feed(std::span(pcm.int16.data(), pcm.frameLength));
      }
    });
    return {};
  }

 private:
  static PlatformError cancelledError() { return {"the speech engine's analysis was cancelled"}; }

  std::expected<void, PlatformError> openDecoder() {
    const std::string& locale = transcriber_->locale();
    auto model = store_->installedModel(locale);
    if (!model) {
      return std::unexpected(
          PlatformError{"the speech engine has no model installed for " + locale});
    }
    if (auto loads = proveLoadable(*model, store_->proofFolder()); !loads) {
      return std::unexpected(PlatformError{"the speech engine cannot load the model for " + locale +
                                           " (" + loads.error() + ")"});
    }
    // The writer's own words, when they have given their text: never a reason to fail, and
    // never a wait (a text not learnt yet is learnt beside this request, for the next ones).
    ModelFiles files =
        withPersonalWords(*store_, locale, *model, {LearnOptions::Building::inBackground}).model;
    auto queue = transcriber_->queue();
    // A file's utterances are decoded on every core; live speech comes no faster than it is
    // spoken, and one recogniser keeps up with it beside the one giving the running text.
    bool live = transcriber_->mode() == TranscriberMode::live;
    int decoders = live ? 1
                        : std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1,
                                     ListenConfig::mostFileDecoders);
    auto decoder = Recogniser::open(
        files, live, [queue](TranscriptionResult result) { queue->push(std::move(result)); },
        decoders);
    if (!decoder) return std::unexpected(decoder.error());
    decoder_ = std::move(*decoder);
    return {};
  }

  std::expected<void, PlatformError> finishResults() {
    if (cancelled_) return std::unexpected(cancelledError());
    if (decoder_) decoder_->flush();
    transcriber_->queue()->end();
    return {};
  }

  std::shared_ptr<const ModelStore> store_;
  std::shared_ptr<Transcriber> transcriber_;
  std::unique_ptr<Recogniser> decoder_;
  std::atomic<bool> cancelled_{false};
  std::jthread live_;
};

}  // namespace

LinuxSpeechPlatform::LinuxSpeechPlatform(ModelStore store)
    : store_(std::make_shared<const ModelStore>(std::move(store))) {}

OperatingSystemVersion LinuxSpeechPlatform::operatingSystemVersion() const {
  return linuxServiceLevel;
}

std::vector<std::string> LinuxSpeechPlatform::supportedLocales() {
  return store_->offeredLocales();
}

std::optional<std::string> LinuxSpeechPlatform::supportedLocale(const std::string& equivalentTo) {
  return equivalentLocale(equivalentTo, store_->offeredLocales());
}

std::string LinuxSpeechPlatform::currentLocale() {
  return currentLocaleFromEnvironment();
}

std::shared_ptr<Transcriber> LinuxSpeechPlatform::makeTranscriber(const std::string& locale,
                                                                  TranscriberMode mode) {
  return std::make_shared<Transcriber>(locale, mode);
}

std::shared_ptr<Analyzer> LinuxSpeechPlatform::makeAnalyzer(
    std::shared_ptr<Transcriber> transcriber) {
  return std::make_shared<RealAnalyzer>(store_, std::move(transcriber));
}

std::optional<AudioFormat> LinuxSpeechPlatform::bestAvailableAudioFormat(const Transcriber&) {
  return analyzerFormat;
}

AssetStatus LinuxSpeechPlatform::assetStatus(const Transcriber& transcriber) {
  const std::string& locale = transcriber.locale();
  if (store_->installedModel(locale)) return AssetStatus::installed;
  if (store_->installing(locale)) return AssetStatus::downloading;
  if (store_->catalogEntry(locale)) return AssetStatus::supported;
  return AssetStatus::unsupported;
}

std::expected<std::unique_ptr<InstallationRequest>, PlatformError>
LinuxSpeechPlatform::installationRequest(const Transcriber& transcriber) {
  const std::string& locale = transcriber.locale();
  if (store_->installedModel(locale)) return std::unique_ptr<InstallationRequest>();
  if (auto entry = store_->catalogEntry(locale)) {
    return std::make_unique<ModelInstallation>(store_, std::move(*entry));
  }
  return std::unexpected(
      PlatformError{"the speech engine offers no download for " + transcriber.locale()});
}

std::expected<std::shared_ptr<AudioFile>, PlatformError> LinuxSpeechPlatform::openAudioFile(
    const std::string& path) {
  auto file = SoundFile::open(path);
  if (!file) return std::unexpected(file.error());
  return std::shared_ptr<AudioFile>(std::move(*file));
}

std::unique_ptr<AudioConverter> LinuxSpeechPlatform::makeConverter(const AudioFormat& from,
                                                                   const AudioFormat& to) {
  return SoxrConverter::make(from, to);
}

}  // namespace vorel::linuxplatform
