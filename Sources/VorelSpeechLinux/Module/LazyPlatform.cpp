#include "LazyPlatform.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>

#include "LinuxServiceLevel.h"
#include "PlatformModuleEntry.h"
#include "ProgramFolder.h"

namespace vorel {
namespace {

// Stands in when the recogniser module cannot be loaded: every operation that needs it fails
// with the reason.
class UnavailablePlatform final : public SpeechPlatform {
 public:
  explicit UnavailablePlatform(std::string reason) : error_{std::move(reason)} {}

  OperatingSystemVersion operatingSystemVersion() const override { return linuxServiceLevel; }
  std::vector<std::string> supportedLocales() override { return {}; }
  std::optional<std::string> supportedLocale(const std::string&) override { return std::nullopt; }
  std::string currentLocale() override { return {}; }
  std::shared_ptr<Transcriber> makeTranscriber(const std::string& locale,
                                               TranscriberMode mode) override {
    auto transcriber = std::make_shared<Transcriber>(locale, mode);
    transcriber->queue()->end(error_);  // its results are the failure
    return transcriber;
  }
  std::shared_ptr<Analyzer> makeAnalyzer(std::shared_ptr<Transcriber>) override {
    return std::make_shared<NoAnalyzer>(error_);
  }
  std::optional<AudioFormat> bestAvailableAudioFormat(const Transcriber&) override {
    return std::nullopt;
  }
  AssetStatus assetStatus(const Transcriber&) override { return AssetStatus::unsupported; }
  std::expected<std::unique_ptr<InstallationRequest>, PlatformError> installationRequest(
      const Transcriber&) override {
    return std::unexpected(error_);
  }
  std::expected<std::shared_ptr<AudioFile>, PlatformError> openAudioFile(
      const std::string&) override {
    return std::unexpected(error_);
  }
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat&, const AudioFormat&) override {
    return nullptr;
  }

 private:
  class NoAnalyzer final : public Analyzer {
   public:
    explicit NoAnalyzer(PlatformError error) : error_(std::move(error)) {}
    std::expected<std::optional<MediaTime>, PlatformError> analyzeSequence(AudioFile&) override {
      return std::unexpected(error_);
    }
    std::expected<void, PlatformError> finalizeAndFinish(MediaTime) override {
      return std::unexpected(error_);
    }
    std::expected<void, PlatformError> finalizeAndFinishThroughEndOfInput() override {
      return std::unexpected(error_);
    }
    void cancelAndFinishNow() override {}
    std::expected<void, PlatformError> start(std::shared_ptr<Channel<AnalyzerInput>>) override {
      return std::unexpected(error_);
    }

   private:
    PlatformError error_;
  };

  PlatformError error_;
};

std::unique_ptr<SpeechPlatform> loadModule() {
  auto path = besideThisProgram(platformModuleFile);
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    const char* why = dlerror();
    return std::make_unique<UnavailablePlatform>(
        std::string("the speech engine could not load its recogniser: ") +
        (why ? why : path.string()));
  }
  using Entry = const PlatformModuleEntry* (*)();
  auto entry = reinterpret_cast<Entry>(dlsym(module, platformModuleEntrySymbol));
  const PlatformModuleEntry* table = entry ? entry() : nullptr;
  if (!table) {
    return std::make_unique<UnavailablePlatform>(
        "the speech engine could not load its recogniser: " + path.string() +
        " has no platform in it");
  }
  if (table->version != platformModuleVersion || table->size != sizeof(PlatformModuleEntry)) {
    return std::make_unique<UnavailablePlatform>(
        "the speech engine could not load its recogniser: " + path.string() +
        " belongs to another build of the helper (interface " + std::to_string(table->version) +
        ", this helper needs " + std::to_string(platformModuleVersion) + ")");
  }
  // The module stays loaded for the life of the process.
  return std::unique_ptr<SpeechPlatform>(table->makePlatform());
}

}  // namespace

OperatingSystemVersion LazyPlatform::operatingSystemVersion() const {
  return linuxServiceLevel;
}

SpeechPlatform& LazyPlatform::loaded() {
  std::call_once(loading_, [this] { platform_ = loadModule(); });
  return *platform_;
}

std::vector<std::string> LazyPlatform::supportedLocales() {
  return loaded().supportedLocales();
}
std::optional<std::string> LazyPlatform::supportedLocale(const std::string& equivalentTo) {
  return loaded().supportedLocale(equivalentTo);
}
std::string LazyPlatform::currentLocale() {
  return loaded().currentLocale();
}
std::shared_ptr<Transcriber> LazyPlatform::makeTranscriber(const std::string& locale,
                                                           TranscriberMode mode) {
  return loaded().makeTranscriber(locale, mode);
}
std::shared_ptr<Analyzer> LazyPlatform::makeAnalyzer(std::shared_ptr<Transcriber> transcriber) {
  return loaded().makeAnalyzer(std::move(transcriber));
}
std::optional<AudioFormat> LazyPlatform::bestAvailableAudioFormat(const Transcriber& transcriber) {
  return loaded().bestAvailableAudioFormat(transcriber);
}
AssetStatus LazyPlatform::assetStatus(const Transcriber& transcriber) {
  return loaded().assetStatus(transcriber);
}
std::expected<std::unique_ptr<InstallationRequest>, PlatformError>
LazyPlatform::installationRequest(const Transcriber& transcriber) {
  return loaded().installationRequest(transcriber);
}
std::expected<std::shared_ptr<AudioFile>, PlatformError> LazyPlatform::openAudioFile(
    const std::string& path) {
  return loaded().openAudioFile(path);
}
std::unique_ptr<AudioConverter> LazyPlatform::makeConverter(const AudioFormat& from,
                                                            const AudioFormat& to) {
  return loaded().makeConverter(from, to);
}

}  // namespace vorel
