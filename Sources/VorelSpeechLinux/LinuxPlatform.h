// The real speech platform on Linux: PocketSphinx recognition, libsndfile audio files, a model
// store with a catalog of downloadable models, and libsoxr conversion.
#pragma once

#include "ModelStore.h"
#include "SpeechPlatform.h"

namespace vorel::linuxplatform {

class LinuxSpeechPlatform final : public SpeechPlatform {
 public:
  explicit LinuxSpeechPlatform(ModelStore store = ModelStore(ModelStore::defaultLocations()));

  OperatingSystemVersion operatingSystemVersion() const override;
  std::vector<std::string> supportedLocales() override;
  std::optional<std::string> supportedLocale(const std::string& equivalentTo) override;
  std::string currentLocale() override;
  std::shared_ptr<Transcriber> makeTranscriber(const std::string& locale,
                                               TranscriberMode mode) override;
  std::shared_ptr<Analyzer> makeAnalyzer(std::shared_ptr<Transcriber> transcriber) override;
  std::optional<AudioFormat> bestAvailableAudioFormat(const Transcriber& transcriber) override;
  AssetStatus assetStatus(const Transcriber& transcriber) override;
  std::expected<std::unique_ptr<InstallationRequest>, PlatformError> installationRequest(
      const Transcriber& transcriber) override;
  std::expected<std::shared_ptr<AudioFile>, PlatformError> openAudioFile(
      const std::string& path) override;
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from,
                                                const AudioFormat& to) override;

 private:
  std::shared_ptr<const ModelStore> store_;
};

}  // namespace vorel::linuxplatform
