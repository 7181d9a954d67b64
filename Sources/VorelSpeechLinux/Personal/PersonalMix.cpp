#include "PersonalMix.h"

#include <pocketsphinx.h>

namespace vorel::linuxplatform {

bool mixPersonalModel(ps_decoder_t* ps, const std::filesystem::path& personalModel) {
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
  ngram_model_t* personal =
      ngram_model_read(ps_get_config(ps), personalModel.c_str(), NGRAM_ARPA, ps_get_logmath(ps));
  if (!personal) return false;
  // The set owns its models: the general one is shared with the default search.
  ngram_model_t* models[] = {personal, ngram_model_retain(general)};
  char personalName[] = "personal", generalLabel[] = "general";
  char* names[] = {personalName, generalLabel};
  const float32 weights[] = {personalWeight, 1 - personalWeight};
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

ModelFiles withoutPersonalModel(ModelFiles model) {
  model.personalLanguageModel.clear();
  return model;
}

}  // namespace vorel::linuxplatform
