// The writer's own words as part of a model: their text's new words and n-grams, built once
// per text and model, and kept in the store under a fingerprint of both.
//
//   <store>/.personal/<locale>/<fingerprint>/   dictionary.dict  the general one and new words
//                                               personal.lm      the text's n-grams (ARPA)
//                                               summary.json     what was learnt
//
// A model is built by the model checker in a process of its own (espeak-ng and the recogniser
// run there, bounded in time), into a folder beside, which is renamed into place once the
// recogniser has loaded it: two helpers building at once each build their own, and the first
// rename wins. A text that cannot be built is remembered as such (<fingerprint>.failed) and
// leaves recognition as it was.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "ModelFiles.h"
#include "ModelStore.h"
#include "PersonalText.h"

namespace vorel::linuxplatform {

struct PersonalModel {
  ModelFiles model;                   // the general model with the writer's words, if learnt
  PersonalText text;                  // what was read
  std::vector<std::string> newWords;  // the words the general dictionary lacked
  bool learnt = false;                // whether `model` holds the writer's words
  std::string problem;                // why the text was not learnt, if it was not
};

// The locale's model with the writer's words, built first when the text or the model changed.
// Never fails: without a text, or when it cannot be built, it is the general model.
PersonalModel withPersonalWords(const ModelStore& store, const std::string& locale,
                                const ModelFiles& general);

}  // namespace vorel::linuxplatform
