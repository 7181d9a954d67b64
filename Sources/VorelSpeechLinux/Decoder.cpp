#include "Decoder.h"

#include <pocketsphinx.h>
#include <speex/speex_preprocess.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <array>
#include <cmath>

namespace vorel::real {
namespace {

constexpr int prerollFrames = 30;          // audio kept before speech starts: 300 ms
constexpr int speechToStart = 3;           // speech frames in a row that open an utterance
constexpr int pauseToEnd = 35;             // quiet frames that end an utterance: 350 ms
constexpr int longUtterance = 2000;        // past 20 s, a shorter pause ends it
constexpr int shortPause = 15;             // 150 ms
constexpr int longestUtterance = 4500;     // 45 s: cut even without a pause
constexpr int reportEvery = 100;           // a result at least every second of audio
constexpr int repeatPartial = 20;          // an unchanged partial text again after 200 ms
constexpr std::size_t decodeBlock = 1600;  // 100 ms

bool isWord(const char* word) {
  std::string_view w(word);
  return !w.empty() && w != "<s>" && w != "</s>" && w != "<sil>" && w.front() != '[' &&
         !w.starts_with("++") && w != "<unk>";
}

std::string spelling(const char* word) {
  std::string_view w(word);
  auto alternative = w.find('(');
  return std::string(w.substr(0, alternative));
}

bool hasExtension(const std::filesystem::path& file, std::initializer_list<const char*> endings) {
  std::string name = file.filename().string();
  return std::any_of(endings.begin(), endings.end(),
                     [&](const char* e) { return name.ends_with(e); });
}

}  // namespace

std::string asWritten(std::string_view words) {
  std::string text;
  std::size_t at = 0;
  while (at < words.size()) {
    std::size_t end = std::min(words.find(' ', at), words.size());
    std::string word(words.substr(at, end - at));
    bool first = text.empty();
    bool pronoun =
        word == "i" || word == "i'm" || word == "i'll" || word == "i've" || word == "i'd";
    if ((first || pronoun) && !word.empty() && word[0] >= 'a' && word[0] <= 'z') {
      word[0] = static_cast<char>(word[0] - 'a' + 'A');
    }
    if (!first) text += ' ';
    text += word;
    at = end + 1;
  }
  return text;
}

Denoiser::Denoiser() : state_(speex_preprocess_state_init(blockSamples, Decoder::sampleRate)) {
  int on = 1, off = 0, suppress = -15;  // voice detection and dereverberation stay off
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_DENOISE, &on);
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppress);
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_AGC, &off);
}

Denoiser::~Denoiser() {
  speex_preprocess_state_destroy(state_);
}

std::span<const std::int16_t> Denoiser::process(std::span<const std::int16_t> samples) {
  held_.insert(held_.end(), samples.begin(), samples.end());
  std::size_t whole = held_.size() / blockSamples * blockSamples;
  out_.assign(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(whole));
  held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(whole));
  std::array<std::int16_t, blockSamples> raw;
  for (std::size_t at = 0; at < whole; at += blockSamples) {
    std::span<std::int16_t> block(out_.data() + at, blockSamples);
    level_.add(block);
    // The suppressor always runs, so that its estimate of the noise is current when it is
    // needed; its output is taken only where there is noise to take away.
    std::copy(block.begin(), block.end(), raw.begin());
    speex_preprocess_run(state_, block.data());
    if (!level_.noisy()) std::copy(raw.begin(), raw.end(), block.begin());
  }
  return out_;
}

void NoiseLevel::add(std::span<const std::int16_t> block) {
  double sum = 0;
  for (auto s : block) sum += static_cast<double>(s) * s;
  double level = 10 * std::log10(sum / block.size() / (32768.0 * 32768.0) + 1e-10);
  ++count_;
  auto slide = [&](std::deque<std::pair<std::int64_t, double>>& window, std::int64_t span,
                   auto keepsBack) {
    while (!window.empty() && !keepsBack(window.back().second, level)) window.pop_back();
    window.emplace_back(count_, level);
    while (window.front().first <= count_ - span) window.pop_front();
  };
  slide(quietest_, floorBlocks, std::less<>());
  slide(loudest_, peakBlocks, std::greater<>());
  if (count_ < floorBlocks) return;
  double range = loudest_.front().second - quietest_.front().second;
  noisy_ = noisy_ ? range < cleanAboveDb : range < noisyBelowDb;
}

std::vector<std::pair<std::size_t, std::size_t>> phrases(
    const std::vector<std::pair<int, int>>& words, int longest) {
  std::vector<std::pair<std::size_t, std::size_t>> found;
  std::size_t first = 0;
  while (first < words.size()) {
    std::size_t past = first + 1;  // the first word that does not fit
    while (past < words.size() && words[past].second - words[first].first <= longest) ++past;
    std::size_t cut = past;
    if (past < words.size()) {
      // The widest pause between two words, up to the one before the first that does not
      // fit; the later of equals.
      int widest = -1;
      for (std::size_t w = first + 1; w <= past; ++w) {
        int pause = words[w].first - words[w - 1].second;
        if (pause >= widest) {
          widest = pause;
          cut = w;
        }
      }
    }
    found.emplace_back(first, cut);
    first = cut;
  }
  return found;
}

std::expected<ModelFiles, std::string> findModel(const std::filesystem::path& folder) {
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) return std::unexpected("no model folder");
  ModelFiles files;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const auto& path = entry.path();
    if (entry.is_directory(error) && std::filesystem::exists(path / "mdef", error) &&
        std::filesystem::exists(path / "means", error)) {
      files.acousticModel = path;
    } else if (entry.is_regular_file(error)) {
      // A phonetic language model (en-us-phone.lm.bin) decodes phones, not words.
      bool phonetic = path.filename().string().find("phone") != std::string::npos;
      if (hasExtension(path, {".lm.bin", ".lm", ".DMP", ".dmp"}) && !phonetic) {
        files.languageModel = path;
      }
      if (hasExtension(path, {".dict"})) files.dictionary = path;
    }
  }
  if (files.acousticModel.empty()) return std::unexpected("no acoustic model");
  if (files.languageModel.empty()) return std::unexpected("no language model");
  if (files.dictionary.empty()) return std::unexpected("no dictionary");
  return files;
}

bool SpeechDetector::isSpeech(std::span<const std::int16_t> frame) {
  double sum = 0;
  for (auto s : frame) sum += static_cast<double>(s) * s;
  double level = 10 * std::log10(sum / frame.size() / (32768.0 * 32768.0) + 1e-10);
  if (!started_ || level < floor_) {
    floor_ = level;
    started_ = true;
  } else {
    floor_ += 0.02;  // the floor creeps up by 2 dB a second unless quieter frames pull it down
  }
  return level > std::max(floor_ + 15.0, -60.0);
}

namespace {

ps_decoder_t* load(const ModelFiles& model) {
  err_set_logfp(nullptr);
  cmd_ln_t* config =
      cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", model.acousticModel.c_str(), "-lm",
                  model.languageModel.c_str(), "-dict", model.dictionary.c_str(), "-remove_silence",
                  "no", "-logfn", "/dev/null", nullptr);
  if (!config) return nullptr;
  ps_decoder_t* ps = ps_init(config);
  cmd_ln_free_r(config);
  return ps;
}

}  // namespace

std::expected<std::unique_ptr<Decoder>, PlatformError> Decoder::open(const ModelFiles& model,
                                                                     bool partialResults,
                                                                     Sink sink) {
  ps_decoder_t* ps = load(model);
  if (!ps) {
    return std::unexpected(PlatformError{"the speech engine could not load the model in " +
                                         model.acousticModel.parent_path().string()});
  }
  return std::unique_ptr<Decoder>(new Decoder(ps, partialResults, std::move(sink)));
}

bool Decoder::trialRun(const ModelFiles& model) {
  ps_decoder_t* ps = load(model);
  if (!ps) return false;
  std::vector<std::int16_t> quiet(sampleRate / 2);
  for (std::size_t i = 0; i < quiet.size(); ++i) quiet[i] = static_cast<std::int16_t>(i % 7 * 50);
  bool decoded = ps_start_utt(ps) == 0 &&
                 ps_process_raw(ps, quiet.data(), quiet.size(), FALSE, TRUE) >= 0 &&
                 ps_end_utt(ps) == 0;
  int32 score = 0;
  ps_get_hyp(ps, &score);
  ps_free(ps);
  return decoded;
}

Decoder::Decoder(ps_decoder_s* ps, bool partialResults, Sink sink)
    : ps_(ps), partialResults_(partialResults), sink_(std::move(sink)) {}

Decoder::~Decoder() {
  if (inUtterance_) ps_end_utt(ps_);
  ps_free(ps_);
}

void Decoder::feed(std::span<const std::int16_t> samples) {
  position_ += static_cast<std::int64_t>(samples.size());
  takeSamples(denoiser_.process(samples));
  if (inUtterance_) {
    decodePending(/*all=*/false);
    if (partialResults_) reportPartial();
  }
}

void Decoder::takeSamples(std::span<const std::int16_t> samples) {
  while (!samples.empty()) {
    std::size_t take =
        std::min<std::size_t>(SpeechDetector::frameSamples - partialFrame_.size(), samples.size());
    partialFrame_.insert(partialFrame_.end(), samples.begin(), samples.begin() + take);
    samples = samples.subspan(take);
    if (partialFrame_.size() == SpeechDetector::frameSamples) {
      takeFrame(partialFrame_);
      partialFrame_.clear();
    }
  }
}

void Decoder::takeFrame(std::span<const std::int16_t> frame) {
  bool speech = detector_.isSpeech(frame);
  ++framesSeen_;
  if (!inUtterance_) {
    preroll_.emplace_back(frame.begin(), frame.end());
    if (preroll_.size() > prerollFrames) preroll_.pop_front();
    speechRun_ = speech ? speechRun_ + 1 : 0;
    if (speechRun_ >= speechToStart) {
      startUtterance();
    } else if (framesSeen_ - lastReportFrame_ >= reportEvery) {
      reportSilence();
    }
    return;
  }
  pending_.insert(pending_.end(), frame.begin(), frame.end());
  ++utteranceFrames_;
  silenceRun_ = speech ? 0 : silenceRun_ + 1;
  if (silenceRun_ >= pauseToEnd ||
      (utteranceFrames_ >= longUtterance && silenceRun_ >= shortPause) ||
      utteranceFrames_ >= longestUtterance) {
    endUtterance();
  }
}

void Decoder::startUtterance() {
  inUtterance_ = true;
  utteranceStart_ =
      (framesSeen_ - static_cast<std::int64_t>(preroll_.size())) * SpeechDetector::frameSamples;
  utteranceFrames_ = static_cast<std::int64_t>(preroll_.size());
  silenceRun_ = 0;
  speechRun_ = 0;
  for (const auto& frame : preroll_) pending_.insert(pending_.end(), frame.begin(), frame.end());
  preroll_.clear();
  lastPartial_.clear();
  ps_start_stream(ps_);  // word frames then count from this utterance's first sample
  ps_start_utt(ps_);
}

void Decoder::decodePending(bool all) {
  // PocketSphinx updates its running normalisation at each call, so the audio goes in blocks of
  // the same size however it arrived: a file and the same audio streamed live decode alike.
  std::size_t done = 0;
  while (pending_.size() - done >= decodeBlock || (all && done < pending_.size())) {
    std::size_t n = std::min(decodeBlock, pending_.size() - done);
    ps_process_raw(ps_, pending_.data() + done, n, FALSE, FALSE);
    done += n;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(done));
}

void Decoder::endUtterance() {
  decodePending(/*all=*/true);
  ps_end_utt(ps_);
  inUtterance_ = false;
  std::vector<std::string> words;
  std::vector<std::pair<int, int>> frames;
  for (ps_seg_t* seg = ps_seg_iter(ps_); seg; seg = ps_seg_next(seg)) {
    const char* word = ps_seg_word(seg);
    if (!isWord(word)) continue;
    int startFrame, endFrame;
    ps_seg_frames(seg, &startFrame, &endFrame);
    words.push_back(spelling(word));
    frames.emplace_back(startFrame, endFrame + 1);
  }
  // The last frame may be padding past the audio fed: never report beyond the audio.
  std::int64_t utteranceEnd =
      std::min(position_, utteranceStart_ + utteranceFrames_ * SpeechDetector::frameSamples);
  auto sample = [&](int frame) {
    return std::min(utteranceEnd,
                    utteranceStart_ + std::int64_t{frame} * SpeechDetector::frameSamples);
  };
  if (words.empty()) {
    sink_({"", {at(utteranceStart_), at(utteranceEnd - utteranceStart_)}, true});
  }
  // One result a phrase, so that a long stretch of speech reads as sentences do.
  for (auto [first, last] : phrases(frames, longestPhraseFrames)) {
    std::string text;
    for (std::size_t w = first; w < last; ++w) text += (w > first ? " " : "") + words[w];
    std::int64_t start = sample(frames[first].first), end = sample(frames[last - 1].second);
    sink_({asWritten(text), {at(start), at(end - start)}, true});
  }
  lastReportFrame_ = framesSeen_;
}

void Decoder::reportPartial() {
  int32 score;
  const char* hyp = ps_get_hyp(ps_, &score);
  std::string text = hyp ? hyp : "";
  if (text == lastPartial_ && framesSeen_ - lastReportFrame_ < repeatPartial) return;
  lastPartial_ = text;
  lastReportFrame_ = framesSeen_;
  std::int64_t now = framesSeen_ * SpeechDetector::frameSamples;
  sink_({asWritten(text), {at(utteranceStart_), at(now - utteranceStart_)}, false});
}

void Decoder::reportSilence() {
  std::int64_t now = framesSeen_ * SpeechDetector::frameSamples;
  sink_({"", {at(now), at(0)}, true});
  lastReportFrame_ = framesSeen_;
}

void Decoder::flush() {
  takeSamples(denoiser_.rest());
  if (!partialFrame_.empty()) {
    // The last few milliseconds: pad them to a whole frame of silence so nothing is lost.
    partialFrame_.resize(SpeechDetector::frameSamples, 0);
    takeFrame(partialFrame_);
    partialFrame_.clear();
  }
  if (inUtterance_) endUtterance();
}

}  // namespace vorel::real
