// The platform the helper program runs on. Answering "platform" (or any question below the
// floor) must not pay for loading the recogniser, audio and network libraries, so they live in a
// module beside the program that is loaded on the first operation that needs it.
#pragma once

#include <memory>
#include <mutex>

#include "SpeechPlatform.h"

namespace vorel {

class LazyPlatform final : public SpeechPlatform {
 public:
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
  SpeechPlatform& loaded();

  std::once_flag loading_;
  std::unique_ptr<SpeechPlatform> platform_;
};

}  // namespace vorel
