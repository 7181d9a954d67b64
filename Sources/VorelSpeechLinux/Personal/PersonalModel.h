// The writer's own words as part of a model: their text's new words and n-grams, built once
// per text and model, and kept in the store under a fingerprint of both.
//
//   <store>/.personal/<locale>/<fingerprint>/   dictionary.dict  the general one and new words
//                                               personal.lm      the text's n-grams (ARPA)
//                                               summary.json     what was learnt, and in "built"
//                                                                the "size" and "sha256" of each
//                                                                of the two files
//
// A model is built by the model checker in a process of its own (espeak-ng and the recogniser
// run there, bounded in time), into a scratch folder beside (.build-*), which is renamed into
// place once the recogniser has loaded it: two builders at once each build their own, and the
// first rename wins. The builder holds a lock on its scratch folder while it lives, so what a
// killed one leaves is swept by the next.
//
// A build is checked against its summary each time it is used; a damaged one is removed and
// built again, never used. A text that cannot be learnt for what it is (no word of it can be
// read or pronounced) is remembered as such (<fingerprint>.failed, with the reason); anything
// else that stops a build (a full disk, a killed checker, the time bound) is tried again: by
// `learn` at once, by requests after a while (<fingerprint>.retry).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "ModelFiles.h"
#include "ModelStore.h"
#include "PersonalText.h"

namespace vorel::linuxplatform {

// How a build ended, as the model checker's exit status: built; failed for a passing reason
// (the disk, the model's files); the text no longer had the digest asked for; or the text
// itself cannot be learnt (nothing of it can be read or pronounced).
enum class PersonalBuild { built = 0, failed = 1, textChanged = 3, cannotLearn = 4 };

struct PersonalModel {
  ModelFiles model;                   // the general model with the writer's words, if learnt
  PersonalText text;                  // what was read
  std::vector<std::string> newWords;  // the words the general dictionary lacked
  bool learnt = false;                // whether `model` holds the writer's words
  bool current = false;               // whether what it holds is the text as it is now
  bool building = false;              // whether the text as it is now is being learnt
  bool textChanged = false;           // whether the text changed while it was built
  std::string problem;                // why the text is not learnt, if it is not
};

struct LearnOptions {
  // Here: the text is built before this returns (`learn`). In the background: a build is
  // started that outlives the caller, and until it is done the last build of the locale, or
  // the general model, is used (a request never waits on a build). Never: what is built is
  // looked at, and nothing is started (`status`).
  enum class Building { here, inBackground, never };
  Building building = Building::here;
  // Building here: a descriptor that becomes readable when the build is to stop at once.
  int stop = -1;
};

// The locale's model with the writer's words, built first when the text or the model changed.
// Never fails: without a text, or when it cannot be built, it is the general model.
PersonalModel withPersonalWords(const ModelStore& store, const std::string& locale,
                                const ModelFiles& general, const LearnOptions& options = {});

// The same, with the text's folder and the folder its builds are kept in given.
PersonalModel withPersonalWords(const std::filesystem::path& textFolder,
                                const std::filesystem::path& builds, const std::string& locale,
                                const ModelFiles& general, const LearnOptions& options = {});

}  // namespace vorel::linuxplatform
