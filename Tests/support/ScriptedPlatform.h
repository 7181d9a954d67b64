// A platform whose recogniser, assets, files and converter do exactly what the test says, with
// points where the test holds them.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "SpeechPlatform.h"

namespace vorel::testing {

// A point a scripted operation waits at until the test opens it (or the operation is stopped).
class Gate {
 public:
  void open() {
    {
      std::lock_guard guard(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  void close() {
    std::lock_guard guard(mutex_);
    open_ = false;
  }
  // Waits until open or stop; true if open.
  bool wait(const std::function<bool()>& stopped = [] { return false; }) {
    std::unique_lock guard(mutex_);
    ++waiting_;
    changed_.notify_all();
    while (!open_ && !stopped()) changed_.wait_for(guard, std::chrono::milliseconds(2));
    --waiting_;
    return open_;
  }
  // Waits until some operation is waiting at the gate.
  void awaitArrival() {
    std::unique_lock guard(mutex_);
    changed_.wait(guard, [&] { return waiting_ > 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = true;
  int waiting_ = 0;
};

struct ScriptedResult {
  std::string text;
  double start = 0;  // seconds
  double end = 0;
  bool isFinal = true;
};

class ScriptedPlatform final : public SpeechPlatform {
 public:
  // Everything below is set by the test before the operation starts.
  OperatingSystemVersion version{26, 0, 0};
  std::vector<std::string> locales{"en-US"};
  // Locales the platform resolves to another, whether or not that one is listed.
  std::map<std::string, std::string> equivalents{{"en_US", "en-US"}, {"en", "en-US"}};
  std::string current = "en-US";
  AssetStatus status = AssetStatus::installed;

  // Installation: a request that fails to be made, none at all, or one whose progress and
  // outcome the test drives through install (called on the installing thread).
  std::optional<std::string> requestError;
  bool nothingToInstall = false;
  std::shared_ptr<Progress> installProgress = std::make_shared<Progress>();
  std::function<std::expected<void, PlatformError>(Progress&)> install = [](Progress&) {
    return std::expected<void, PlatformError>{};
  };
  AssetStatus statusAfterInstall = AssetStatus::installed;

  // File transcription.
  std::optional<std::string> openError;
  double fileSampleRate = 16000;
  std::int64_t fileFrames = 16000;
  std::vector<ScriptedResult> results;
  std::optional<std::string> resultsError;  // the result stream fails after the results
  std::optional<double> lastSample = 1.0;   // what analyzeSequence reports
  std::optional<std::string> analyzeError;
  std::optional<std::string> finishError;
  Gate analyzing;  // analyzeSequence holds here after handing out the results

  // Live recognition: each buffer handed to the analyzer is passed to onBuffer with the position
  // of its start and end on the analyzer's timeline; the results it returns are delivered. At
  // the end of input, atEnd's results are delivered before the stream ends.
  std::optional<AudioFormat> analyzerFormat = AudioFormat{CommonFormat::int16, 16000, 1, true};
  bool converterFails = false;
  std::optional<std::string> startError;
  std::function<std::vector<ScriptedResult>(double start, double end)> onBuffer;
  std::function<std::vector<ScriptedResult>(double end)> atEnd;
  Gate hearing;    // the live analyzer holds here before taking each buffer
  Gate resolving;  // supportedLocale holds here

  ~ScriptedPlatform() override;

  // What the engine asked for, in order.
  std::vector<std::string> calls() const;
  void record(const std::string& call);

  OperatingSystemVersion operatingSystemVersion() const override { return version; }
  std::vector<std::string> supportedLocales() override;
  std::optional<std::string> supportedLocale(const std::string& equivalentTo) override;
  std::string currentLocale() override { return current; }
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
  mutable std::mutex callsMutex_;
  std::vector<std::string> calls_;
  bool installed_ = false;

 public:
  // Analyzers still alive: background cancels may outlive an operation by a moment, and the
  // platform waits for them before it goes.
  std::shared_ptr<std::atomic<int>> liveAnalyzers = std::make_shared<std::atomic<int>>(0);
};

}  // namespace vorel::testing
