// vorel-speech-model-check ACOUSTIC-MODEL LANGUAGE-MODEL DICTIONARY: loads a PocketSphinx model
// and decodes a moment of near silence with it. Exits 0 when that worked; 1 when it did not, or
// whatever the recogniser ends the process with.
//
// vorel-speech-model-check --personal TEXT-FOLDER TEXT-DIGEST INTO ACOUSTIC-MODEL LANGUAGE-MODEL
// DICTIONARY VOICE: builds the model of the writer's text into the folder INTO and loads it.
// Exits 0 when built, 3 when the text no longer has that digest, 1 when it cannot be built.
#include <exception>
#include <string_view>

#include "PersonalBuild.h"
#include "Recogniser.h"

#ifdef __SANITIZE_ADDRESS__
// Built with AddressSanitizer, the checker runs without an environment: the leaks PocketSphinx
// leaves behind a mixed language model at its exit are named here.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libsphinxbase.so\nleak:libpocketsphinx.so\n";
}
#endif

int main(int argc, char** argv) {
  using namespace vorel::linuxplatform;
  try {
    if (argc == 9 && std::string_view(argv[1]) == "--personal") {
      return static_cast<int>(
          buildPersonalModel(argv[2], argv[3], argv[4], {argv[5], argv[6], argv[7], {}}, argv[8]));
    }
    if (argc != 4) return 2;
    return Recogniser::trialRun({argv[1], argv[2], argv[3], {}}) ? 0 : 1;
  } catch (const std::exception&) {
    return 1;
  }
}
