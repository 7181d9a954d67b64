#include "Decoder.h"

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <mutex>

#include "ListenConfig.h"

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

// Decodes with the general language model mixed with an n-gram model of the writer's text,
// so that their names, words and phrases can win where the general model makes them too rare.
// Measured: the mix makes a decode 1.6 to 1.8 times slower; adding the words to the general
// model instead is what the library cannot do (its decodes crash once such a word is a
// history).
bool usePersonalModel(ps_decoder_t* ps, const ModelFiles& model) {
  // The default search holds the general model in a set of one: mixed with that model itself,
  // not with the set, so that no score goes through two sets.
  ngram_model_t* defaultSet = ps_get_lm(ps, "_default");
  if (!defaultSet) return false;
  ngram_model_set_iter_t* first = ngram_model_set_iter(defaultSet);
  if (!first) return false;
  const char* generalName = nullptr;
  ngram_model_t* general = ngram_model_set_iter_model(first, &generalName);
  ngram_model_set_iter_free(first);
  if (!general) return false;
  ngram_model_t* personal = ngram_model_read(ps_get_config(ps), model.personalLanguageModel.c_str(),
                                             NGRAM_ARPA, ps_get_logmath(ps));
  if (!personal) return false;
  // The set owns its models: the general one is shared with the default search.
  ngram_model_t* models[] = {personal, ngram_model_retain(general)};
  char personalName[] = "personal", generalLabel[] = "general";
  char* names[] = {personalName, generalLabel};
  const float32 weights[] = {ListenConfig::personalWeight, 1 - ListenConfig::personalWeight};
  ngram_model_t* mixed = ngram_model_set_init(ps_get_config(ps), models, names, weights, 2);
  if (!mixed) {
    ngram_model_free(general);
    ngram_model_free(personal);
    return false;
  }
  // The search keeps a reference of its own.
  bool set = ps_set_lm(ps, "personal", mixed) == 0;
  ngram_model_free(mixed);
  return set && ps_set_search(ps, "personal") == 0;
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
  if (ps && !model.personalLanguageModel.empty() && !usePersonalModel(ps, model)) {
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
