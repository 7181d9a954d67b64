#include "Decoder.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <mutex>

#include "ListenConfig.h"
#include "PersonalMix.h"

namespace vorel::linuxplatform {
namespace {

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

ps_decoder_t* loadDecoder(const ModelFiles& model) {
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
  if (ps && !model.personalLanguageModel.empty() &&
      !mixPersonalModel(ps, model.personalLanguageModel)) {
    ps_free(ps);
    return nullptr;
  }
  return ps;
}

}  // namespace

std::unique_ptr<Decoder> Decoder::load(const ModelFiles& model) {
  ps_decoder_t* ps = loadDecoder(model);
  if (!ps) return nullptr;
  return std::unique_ptr<Decoder>(new Decoder(ps));
}

Decoder::~Decoder() {
  if (running_) ps_end_utt(ps_);
  ps_free(ps_);
}

std::optional<std::vector<RecognisedWord>> Decoder::decodeWhole(
    std::span<const std::int16_t> utterance) {
  ps_start_stream(ps_);  // word frames count from the utterance's first sample
  bool decoded = ps_start_utt(ps_) == 0 &&
                 ps_process_raw(ps_, utterance.data(), utterance.size(), FALSE, TRUE) >= 0;
  decoded = ps_end_utt(ps_) == 0 && decoded;
  if (!decoded) return std::nullopt;
  return words();
}

bool Decoder::trialRun(const ModelFiles& model) {
  auto recogniser = load(model);
  if (!recogniser) return false;
  std::vector<std::int16_t> quiet(ListenConfig::sampleRate / 2);
  for (std::size_t i = 0; i < quiet.size(); ++i) quiet[i] = static_cast<std::int16_t>(i % 7 * 50);
  return recogniser->decodeWhole(quiet).has_value();
}

void Decoder::begin() {
  ps_start_stream(ps_);
  ps_start_utt(ps_);
  running_ = true;
}

void Decoder::add(std::span<const std::int16_t> samples) {
  ps_process_raw(ps_, samples.data(), samples.size(), FALSE, FALSE);
}

std::string Decoder::hypothesis() {
  int32 score;
  const char* hyp = ps_get_hyp(ps_, &score);
  return hyp ? hyp : "";
}

void Decoder::end() {
  if (running_) ps_end_utt(ps_);
  running_ = false;
}

std::vector<RecognisedWord> Decoder::words() {
  std::vector<RecognisedWord> found;
  for (ps_seg_t* seg = ps_seg_iter(ps_); seg; seg = ps_seg_next(seg)) {
    const char* word = ps_seg_word(seg);
    if (!isWord(word)) continue;
    int startFrame, endFrame;
    ps_seg_frames(seg, &startFrame, &endFrame);
    found.push_back({spelling(word), startFrame, endFrame + 1});
  }
  return found;
}

}  // namespace vorel::linuxplatform
