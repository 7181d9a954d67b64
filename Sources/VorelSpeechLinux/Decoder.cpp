#include "Decoder.h"

#include <pocketsphinx.h>
#include <speex/speex_preprocess.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <array>
#include <cmath>

namespace vorel::linuxplatform {
namespace {

constexpr int prerollFrames = 30;          // audio kept before speech starts: 300 ms
constexpr int speechToStart = 3;           // speech frames in a row that open an utterance
constexpr int pauseToEnd = 35;             // quiet frames that end an utterance: 350 ms
constexpr int longUtterance = 2000;        // past 20 s, a shorter pause ends it
constexpr int shortPause = 15;             // 150 ms
constexpr int longestUtterance = 4500;     // 45 s: cut even without a pause
constexpr int guessAfter = 15;             // live, a pause this long starts the final decode
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

Denoiser::Denoiser(bool lookBack)
    : state_(speex_preprocess_state_init(blockSamples, Decoder::sampleRate)), holding_(lookBack) {
  int on = 1, off = 0, suppress = -15;  // voice detection and dereverberation stay off
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_DENOISE, &on);
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppress);
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_AGC, &off);
}

Denoiser::~Denoiser() {
  speex_preprocess_state_destroy(state_);
}

std::span<const std::int16_t> Denoiser::process(std::span<const std::int16_t> samples) {
  out_.clear();
  partial_.insert(partial_.end(), samples.begin(), samples.end());
  std::size_t whole = partial_.size() / blockSamples * blockSamples;
  std::array<std::int16_t, blockSamples> block;
  for (std::size_t at = 0; at < whole; at += blockSamples) {
    std::span<const std::int16_t> raw(partial_.data() + at, blockSamples);
    level_.add(raw);
    // The suppressor always runs, so that its estimate of the noise is current when it is
    // needed; its output is taken only where there is noise to take away.
    std::copy(raw.begin(), raw.end(), block.begin());
    speex_preprocess_run(state_, block.data());
    if (holding_) {
      heldRaw_.insert(heldRaw_.end(), raw.begin(), raw.end());
      if (level_.judged()) releaseHeld(level_.noisy());
    } else if (level_.noisy()) {
      out_.insert(out_.end(), block.begin(), block.end());
    } else {
      out_.insert(out_.end(), raw.begin(), raw.end());
    }
  }
  partial_.erase(partial_.begin(), partial_.begin() + static_cast<std::ptrdiff_t>(whole));
  return out_;
}

void Denoiser::releaseHeld(bool noisy) {
  std::size_t from = out_.size();
  out_.insert(out_.end(), heldRaw_.begin(), heldRaw_.end());
  if (noisy) {
    // The suppressor knows the noise only after a while: run it over the held blocks again, now
    // that it does.
    for (std::size_t at = from; at < out_.size(); at += blockSamples) {
      speex_preprocess_run(state_, out_.data() + at);
    }
  }
  heldRaw_ = {};
  holding_ = false;
}

std::vector<std::int16_t> Denoiser::rest() {
  out_.clear();
  if (holding_) releaseHeld(level_.noisySoFar());
  out_.insert(out_.end(), partial_.begin(), partial_.end());
  partial_.clear();
  return out_;
}

bool NoiseLevel::noisySoFar() const {
  // Less than a floor window: a short recording's quietest block may still be in a word, so it
  // counts as noisy only when even that stands close to the loudest.
  if (quietest_.empty()) return false;
  return loudest_.front().second - quietest_.front().second < noisyBelowDb;
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
  // The recogniser's log is process-wide: switched off once, and never given a log file, whose
  // opening closes the one other recognisers may be writing to at that moment.
  static std::once_flag quiet;
  std::call_once(quiet, [] { err_set_logfp(nullptr); });
  // Loading touches more of the library's process-wide state: one load at a time.
  static std::mutex loading;
  std::lock_guard lock(loading);
  cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", model.acousticModel.c_str(),
                                 "-lm", model.languageModel.c_str(), "-dict",
                                 model.dictionary.c_str(), "-remove_silence", "no", nullptr);
  if (!config) return nullptr;

  ps_decoder_t* ps = ps_init(config);
  cmd_ln_free_r(config);
  return ps;
}

}  // namespace

std::unique_ptr<Recogniser> Recogniser::load(const ModelFiles& model) {
  ps_decoder_t* ps = vorel::linuxplatform::load(model);
  if (!ps) return nullptr;
  return std::unique_ptr<Recogniser>(new Recogniser(ps));
}

Recogniser::~Recogniser() {
  if (running_) ps_end_utt(ps_);
  ps_free(ps_);
}

std::vector<Recogniser::Word> Recogniser::decodeWhole(std::span<const std::int16_t> utterance) {
  ps_start_stream(ps_);  // word frames count from the utterance's first sample
  ps_start_utt(ps_);
  ps_process_raw(ps_, utterance.data(), utterance.size(), FALSE, TRUE);
  ps_end_utt(ps_);
  return words();
}

void Recogniser::begin() {
  ps_start_stream(ps_);
  ps_start_utt(ps_);
  running_ = true;
}

void Recogniser::add(std::span<const std::int16_t> samples) {
  ps_process_raw(ps_, samples.data(), samples.size(), FALSE, FALSE);
}

std::string Recogniser::hypothesis() {
  int32 score;
  const char* hyp = ps_get_hyp(ps_, &score);
  return hyp ? hyp : "";
}

void Recogniser::end() {
  if (running_) ps_end_utt(ps_);
  running_ = false;
}

std::vector<Recogniser::Word> Recogniser::words() {
  std::vector<Word> found;
  for (ps_seg_t* seg = ps_seg_iter(ps_); seg; seg = ps_seg_next(seg)) {
    const char* word = ps_seg_word(seg);
    if (!isWord(word)) continue;
    int startFrame, endFrame;
    ps_seg_frames(seg, &startFrame, &endFrame);
    found.push_back({spelling(word), startFrame, endFrame + 1});
  }
  return found;
}

std::vector<TranscriptionResult> utteranceResults(const std::vector<Recogniser::Word>& words,
                                                  std::int64_t start, std::int64_t samples,
                                                  int longest) {
  auto at = [](std::int64_t sample) { return MediaTime::make(sample, Decoder::sampleRate); };
  if (words.empty()) return {{"", {at(start), at(samples)}, true}};
  // The last frame may be padding past the audio: never report beyond it.
  auto sample = [&](int frame) {
    return start + std::min(samples, std::int64_t{frame} * SpeechDetector::frameSamples);
  };
  std::vector<std::pair<int, int>> frames;
  for (const auto& word : words) frames.emplace_back(word.first, word.past);
  std::vector<TranscriptionResult> results;
  for (auto [first, past] : phrases(frames, longest)) {
    std::string text;
    for (std::size_t w = first; w < past; ++w) text += (w > first ? " " : "") + words[w].spelling;
    std::int64_t from = sample(words[first].first), to = sample(words[past - 1].past);
    results.push_back({asWritten(text), {at(from), at(to - from)}, true});
  }
  return results;
}

WholeUtterances::WholeUtterances(ModelFiles model, std::vector<std::unique_ptr<Recogniser>> loaded,
                                 int most, Sink sink)
    : model_(std::move(model)),
      most_(std::max<int>(most, static_cast<int>(loaded.size()))),  // loaded holds at least one
      sink_(std::move(sink)),
      spare_(std::move(loaded)) {}

WholeUtterances::~WholeUtterances() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  workers_.clear();  // joins them
}

std::size_t WholeUtterances::waiting() const {
  return static_cast<std::size_t>(std::count_if(
      slots_.begin(), slots_.end(), [](const Slot& s) { return s.state == Slot::State::waiting; }));
}

WholeUtterances::Ticket WholeUtterances::decode(std::int64_t start, std::vector<std::int16_t> audio,
                                                int longestPhrase, std::int64_t heard) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return waiting() < 2 * static_cast<std::size_t>(most_); });
  Ticket ticket = nextTicket_++;
  slots_.push_back(
      {Slot::State::waiting, ticket, start, std::move(audio), longestPhrase, heard, {}});
  if (idle_ > 0) {
    changed_.notify_all();
  } else if (static_cast<int>(workers_.size()) < most_) {
    // Every worker is busy: one more, with a loaded recogniser if there is one.
    std::unique_ptr<Recogniser> recogniser;
    if (!spare_.empty()) {
      recogniser = std::move(spare_.back());
      spare_.pop_back();
    }
    workers_.emplace_back([this, r = std::move(recogniser)]() mutable { work(std::move(r)); });
  }
  return ticket;
}

void WholeUtterances::work(std::unique_ptr<Recogniser> recogniser) {
  // Only a worker after the first loads its own; if that fails (out of memory, most likely),
  // the workers already running decode everything.
  if (!recogniser) recogniser = Recogniser::load(model_);
  if (!recogniser) return;
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    changed_.wait(lock, [&] { return stopping_ || waiting() > 0; });
    --idle_;
    if (stopping_) return;
    auto slot = std::find_if(slots_.begin(), slots_.end(),
                             [](const Slot& s) { return s.state == Slot::State::waiting; });
    slot->state = Slot::State::decoding;
    Ticket ticket = slot->ticket;
    std::int64_t start = slot->start;
    std::vector<std::int16_t> audio = std::move(slot->audio);
    int longest = slot->longestPhrase;
    std::int64_t heard = slot->heard;
    changed_.notify_all();  // room for another utterance
    lock.unlock();
    auto results = utteranceResults(recogniser->decodeWhole(audio), start, heard, longest);
    lock.lock();
    // Slots before this one may have been delivered meanwhile: find it again.
    slot = std::find_if(slots_.begin(), slots_.end(),
                        [&](const Slot& s) { return s.ticket == ticket; });
    if (slot != slots_.end() && slot->state == Slot::State::decoding) {
      slot->state = Slot::State::done;
      slot->results = std::move(results);
    }
    deliverReady();
  }
}

void WholeUtterances::deliverReady() {
  while (!slots_.empty() && (slots_.front().state == Slot::State::done ||
                             slots_.front().state == Slot::State::withdrawn)) {
    for (auto& result : slots_.front().results) sink_(std::move(result));
    slots_.pop_front();
  }
  changed_.notify_all();
}

void WholeUtterances::withdraw(Ticket ticket) {
  std::lock_guard lock(mutex_);
  for (auto& slot : slots_) {
    if (slot.ticket == ticket) {
      slot.state = Slot::State::withdrawn;
      slot.audio = {};
    }
  }
  deliverReady();
}

void WholeUtterances::deliver(TranscriptionResult result) {
  std::lock_guard lock(mutex_);
  if (slots_.empty()) {
    sink_(std::move(result));
    return;
  }
  Slot given{Slot::State::done, nextTicket_++, 0, {}, 0, 0, {}};
  given.results.push_back(std::move(result));
  slots_.push_back(std::move(given));
}

bool WholeUtterances::deliverIfIdle(TranscriptionResult result) {
  std::lock_guard lock(mutex_);
  if (!slots_.empty()) return false;
  sink_(std::move(result));
  return true;
}

void WholeUtterances::drain() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return slots_.empty(); });
}

std::expected<std::unique_ptr<Decoder>, PlatformError> Decoder::open(const ModelFiles& model,
                                                                     bool partialResults, Sink sink,
                                                                     int decoders) {
  // Live text needs a recogniser of its own beside the one that decodes utterances whole: load
  // both at once.
  std::unique_ptr<Recogniser> running, whole;
  {
    std::jthread second;
    if (partialResults) second = std::jthread([&] { running = Recogniser::load(model); });
    whole = Recogniser::load(model);
  }
  if (!whole || (partialResults && !running)) {
    return std::unexpected(PlatformError{"the speech engine could not load the model in " +
                                         model.acousticModel.parent_path().string()});
  }
  std::vector<std::unique_ptr<Recogniser>> loaded;
  loaded.push_back(std::move(whole));
  auto pool = std::make_unique<WholeUtterances>(model, std::move(loaded), std::max(decoders, 1),
                                                std::move(sink));
  return std::unique_ptr<Decoder>(new Decoder(std::move(running), std::move(pool)));
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

Decoder::Decoder(std::unique_ptr<Recogniser> running, std::unique_ptr<WholeUtterances> whole)
    : running_(std::move(running)), whole_(std::move(whole)), denoiser_(/*lookBack=*/!running_) {}

Decoder::~Decoder() = default;

void Decoder::feed(std::span<const std::int16_t> samples) {
  position_ += static_cast<std::int64_t>(samples.size());
  takeSamples(denoiser_.process(samples));
  if (inUtterance_ && running_) {
    // The running decode takes the audio in blocks of the same size however it arrived, so that
    // the same audio streamed in any pieces reads alike.
    while (utterance_.size() - runningFed_ >= decodeBlock) {
      running_->add(std::span(utterance_).subspan(runningFed_, decodeBlock));
      runningFed_ += decodeBlock;
    }
    reportPartial();
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
  utterance_.insert(utterance_.end(), frame.begin(), frame.end());
  auto frames = static_cast<std::int64_t>(utterance_.size()) / SpeechDetector::frameSamples;
  if (speech && guess_) {
    whole_->withdraw(*guess_);  // not the end after all
    guess_.reset();
  }
  silenceRun_ = speech ? 0 : silenceRun_ + 1;
  if (silenceRun_ >= pauseToEnd || (frames >= longUtterance && silenceRun_ >= shortPause) ||
      frames >= longestUtterance) {
    endUtterance();
  } else if (running_ && silenceRun_ == guessAfter && !guess_) {
    guessEnd();
  }
}

void Decoder::startUtterance() {
  inUtterance_ = true;
  utteranceStart_ =
      (framesSeen_ - static_cast<std::int64_t>(preroll_.size())) * SpeechDetector::frameSamples;
  silenceRun_ = 0;
  speechRun_ = 0;
  utterance_.clear();
  for (const auto& frame : preroll_)
    utterance_.insert(utterance_.end(), frame.begin(), frame.end());
  preroll_.clear();
  lastPartial_.clear();
  runningFed_ = 0;
  if (running_) running_->begin();
}

void Decoder::guessEnd() {
  // Live, the final text should not wait for the pause to be long enough to end the utterance:
  // decode it whole from here on, and take that if the pause does end it.
  // It has heard only part of the pause: the rest is made of the part heard, so that the
  // utterance is decoded as it would be once the pause had ended it (the normalisation over
  // the whole utterance counts its silence too).
  auto heard = static_cast<std::int64_t>(utterance_.size());
  std::vector<std::int16_t> audio = utterance_;
  std::size_t pause = static_cast<std::size_t>(guessAfter) * SpeechDetector::frameSamples;
  std::vector<std::int16_t> quiet(audio.end() - static_cast<std::ptrdiff_t>(pause), audio.end());
  for (int frame = guessAfter; frame < pauseToEnd; frame += guessAfter) {
    auto take = static_cast<std::size_t>(std::min(guessAfter, pauseToEnd - frame)) *
                SpeechDetector::frameSamples;
    audio.insert(audio.end(), quiet.begin(), quiet.begin() + static_cast<std::ptrdiff_t>(take));
  }
  guess_ = whole_->decode(utteranceStart_, std::move(audio), longestPhraseFrames, heard);
}

void Decoder::endUtterance() {
  inUtterance_ = false;
  if (running_) running_->end();
  // The utterance may be padding past the audio fed at the very end: never report beyond it.
  auto samples = std::min<std::int64_t>(static_cast<std::int64_t>(utterance_.size()),
                                        position_ - utteranceStart_);
  utterance_.resize(static_cast<std::size_t>(std::max<std::int64_t>(samples, 0)));
  if (guess_) {
    guess_.reset();  // its decode ends the utterance; the pause after the guess holds no words
  } else {
    auto heard = static_cast<std::int64_t>(utterance_.size());
    whole_->decode(utteranceStart_, std::move(utterance_), longestPhraseFrames, heard);
  }
  utterance_ = {};
  lastReportFrame_ = framesSeen_;
}

void Decoder::reportPartial() {
  std::string text = running_->hypothesis();
  if (text == lastPartial_ && framesSeen_ - lastReportFrame_ < repeatPartial) return;
  std::int64_t now = framesSeen_ * SpeechDetector::frameSamples;
  // Never ahead of the final text of an earlier utterance still being decoded.
  if (whole_->deliverIfIdle(
          {asWritten(text), {at(utteranceStart_), at(now - utteranceStart_)}, false})) {
    lastPartial_ = text;
    lastReportFrame_ = framesSeen_;
  }
}

void Decoder::reportSilence() {
  std::int64_t now = framesSeen_ * SpeechDetector::frameSamples;
  whole_->deliver({"", {at(now), at(0)}, true});
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
  whole_->drain();
}

}  // namespace vorel::linuxplatform
