#include "SpeechEngine.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <thread>
#include <utility>

namespace vorel {
namespace {

constexpr double twoToThe64 = 18446744073709551616.0;

std::uint64_t saturatingWhole(double value) {
  if (!(value > 0)) return 0;
  if (value >= twoToThe64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

std::uint64_t perMille(double fraction) {
  if (!std::isfinite(fraction)) fraction = 0;
  return static_cast<std::uint64_t>(std::clamp(fraction, 0.0, 1.0) * 1000.0);
}

// The Unicode white space and line breaks beyond ASCII's, in UTF-8.
constexpr std::string_view unicodeSpaces[] = {"\u0085", "\u00A0", "\u1680", "\u2000", "\u2001",
                                              "\u2002", "\u2003", "\u2004", "\u2005", "\u2006",
                                              "\u2007", "\u2008", "\u2009", "\u200A", "\u2028",
                                              "\u2029", "\u202F", "\u205F", "\u3000"};

// The length of the white space or line break at the front (or the back) of text, 0 if none.
std::size_t spaceAt(std::string_view text, bool front) {
  if (text.empty()) return 0;
  char edge = front ? text.front() : text.back();
  if (std::string_view(" \t\n\v\f\r").find(edge) != std::string_view::npos) return 1;
  for (auto space : unicodeSpaces) {
    if (front ? text.starts_with(space) : text.ends_with(space)) return space.size();
  }
  return 0;
}

// A transcriber for the supported locale equivalent to the one asked for, or none.
std::shared_ptr<Transcriber> transcriberFor(SpeechPlatform& platform, const std::string& locale) {
  auto equivalent = platform.supportedLocale(locale);
  if (!equivalent) return nullptr;
  return platform.makeTranscriber(*equivalent, TranscriberMode::transcription);
}

AssetState finalState(SpeechPlatform& platform, const std::string& locale) {
  if (SpeechEngine::assetState(platform, locale).is<AssetState::Unsupported>()) {
    return AssetState::unsupported();
  }
  return AssetState::installed();
}

// Reads the transcriber's results and reports each as a segment (when it has text) and progress.
std::expected<void, PlatformError> collect(ResultStream& results, const OnEvent& onEvent,
                                           std::uint64_t durationMs, std::stop_token stop) {
  for (;;) {
    auto result = results.next(stop);
    if (!result) return std::unexpected(result.error());
    if (!*result) return {};
    const auto& r = **result;
    auto text = SpeechEngine::trimmed(r.text);
    std::uint64_t end = SpeechEngine::milliseconds(r.range.end());
    if (!text.empty()) {
      onEvent(SpeechEvent::segments(
          {SpeechSegment{std::string(text), SpeechEngine::milliseconds(r.range.start), end}}));
    }
    onEvent(SpeechEvent::progress(std::min(end, durationMs), durationMs));
  }
}

}  // namespace

void ProgressReporter::report(const Progress& progress) {
  std::uint64_t done;
  std::uint64_t total;
  std::int64_t firstTotal = progress.totalUnitCount();
  std::int64_t completed = 0;
  std::int64_t secondTotal = 0;
  if (firstTotal >= 1) {
    completed = progress.completedUnitCount();
    secondTotal = progress.totalUnitCount();
  }
  if (firstTotal < 1 || secondTotal < 1) {
    // The amount of work is not (or no longer) known: report per mille.
    done = perMille(progress.fractionCompleted());
    total = 1000;
  } else {
    done = static_cast<std::uint64_t>(std::max<std::int64_t>(completed, 0));
    total = static_cast<std::uint64_t>(secondTotal);
  }
  std::uint64_t now = perMille(progress.fractionCompleted());
  {
    std::lock_guard guard(lock_);
    auto previous = std::exchange(last_, now);
    if (previous && *previous == now) return;
  }
  onChange_(AssetState::downloading(done, total));
}

namespace SpeechEngine {

std::vector<std::string> supportedLocales(SpeechPlatform& platform) {
  auto offered = platform.supportedLocales();
  auto current = platform.supportedLocale(platform.currentLocale());
  std::vector<std::string> rest;
  for (auto& identifier : offered) {
    if (!current || identifier != *current) rest.push_back(std::move(identifier));
  }
  std::sort(rest.begin(), rest.end());
  std::vector<std::string> result;
  if (current) result.push_back(*current);
  result.insert(result.end(), std::make_move_iterator(rest.begin()),
                std::make_move_iterator(rest.end()));
  return result;
}

AssetState assetState(SpeechPlatform& platform, const std::string& locale) {
  auto transcriber = transcriberFor(platform, locale);
  if (!transcriber) return AssetState::unsupported();
  switch (platform.assetStatus(*transcriber)) {
    case AssetStatus::supported:
      return AssetState::supported();
    case AssetStatus::downloading:
      return AssetState::downloading(0, 0);
    case AssetStatus::installed:
      return AssetState::installed();
    case AssetStatus::unsupported:
    case AssetStatus::unknown:
      break;
  }
  return AssetState::unsupported();
}

AssetState installAssets(SpeechPlatform& platform, const std::string& locale, OnChange onChange) {
  auto finish = [&](AssetState state) {
    onChange(state);
    return state;
  };
  auto transcriber = transcriberFor(platform, locale);
  if (!transcriber) return finish(AssetState::unsupported());
  auto request = platform.installationRequest(*transcriber);
  if (!request) return finish(AssetState::failed(request.error().description));
  if (!*request) return finish(finalState(platform, locale));

  auto progress = (*request)->progress();
  auto reporter = std::make_shared<ProgressReporter>(onChange);
  reporter->report(*progress);
  int observation =
      progress->addObserver([reporter, progress = progress.get()] { reporter->report(*progress); });
  auto installed = (*request)->downloadAndInstall();
  progress->removeObserver(observation);
  if (!installed) return finish(AssetState::failed(installed.error().description));
  return finish(finalState(platform, locale));
}

void transcribe(SpeechPlatform& platform, const std::string& path, const std::string& locale,
                OnEvent onEvent, std::stop_token cancel) {
  auto transcriber = transcriberFor(platform, locale);
  if (!transcriber) transcriber = platform.makeTranscriber(locale, TranscriberMode::transcription);
  auto file = platform.openAudioFile(path);
  if (!file) {
    onEvent(SpeechEvent::failed(file.error().description));
    return;
  }
  std::uint64_t durationMs = fileDurationMs((*file)->sampleRate(), (*file)->lengthInFrames());
  std::shared_ptr<Analyzer> analyzer = platform.makeAnalyzer(transcriber);

  std::expected<void, PlatformError> collected;
  std::jthread collector([&, results = transcriber->results()](std::stop_token stop) {
    collected = collect(*results, onEvent, durationMs, stop);
  });

  std::expected<void, PlatformError> analysed;
  // Cancelling the caller only signals: it stops the collector and, on a thread of this
  // operation's (joined before it returns), the analyzer, and waits for neither.
  std::jthread cancelling;
  {
    std::stop_callback onCancel(cancel, [&collector, &cancelling, analyzer] {
      collector.request_stop();
      cancelling = std::jthread([analyzer] { analyzer->cancelAndFinishNow(); });
    });
    auto last = analyzer->analyzeSequence(**file);
    if (!last) {
      analysed = std::unexpected(last.error());
    } else if (*last) {
      analysed = analyzer->finalizeAndFinish(**last);
    } else {
      analyzer->cancelAndFinishNow();
    }
    if (analysed) {
      collector.join();
      analysed = collected;
    }
  }
  if (analysed) {
    onEvent(cancel.stop_requested() ? SpeechEvent::cancelled() : SpeechEvent::done());
    return;
  }
  collector.request_stop();
  analyzer->cancelAndFinishNow();
  if (collector.joinable()) collector.join();
  onEvent(cancel.stop_requested() ? SpeechEvent::cancelled()
                                  : SpeechEvent::failed(analysed.error().description));
}

std::uint64_t milliseconds(const MediaTime& time) {
  if (!time.isNumeric()) return 0;
  double value = time.seconds() * 1000.0;
  if (!(value >= 0)) return 0;
  return saturatingWhole(std::round(value));
}

std::uint64_t fileDurationMs(double sampleRate, std::int64_t frames) {
  if (!(sampleRate > 0)) return 0;
  return saturatingWhole(static_cast<double>(frames) / sampleRate * 1000.0);
}

std::string_view trimmed(std::string_view text) {
  while (auto n = spaceAt(text, true)) text.remove_prefix(n);
  while (auto n = spaceAt(text, false)) text.remove_suffix(n);
  return text;
}

}  // namespace SpeechEngine
}  // namespace vorel
