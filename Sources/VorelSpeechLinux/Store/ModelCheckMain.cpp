// vorel-speech-model-check ACOUSTIC-MODEL LANGUAGE-MODEL DICTIONARY: loads a PocketSphinx model
// and decodes a moment of near silence with it. Exits 0 when that worked; 1 when it did not, or
// whatever the recogniser ends the process with.
//
// vorel-speech-model-check --personal TEXT-FOLDER TEXT-DIGEST INTO ACOUSTIC-MODEL LANGUAGE-MODEL
// DICTIONARY VOICE: builds the model of the writer's text into the folder INTO and loads it.
// Exits with a PersonalBuild (0 built, 1 failed, 3 the text no longer has that digest, 4 the
// text cannot be learnt), the reason of a failure on standard output. It ends with the process
// that started it, which waits for it.
//
// vorel-speech-model-check --learn TEXT-FOLDER BUILDS LOCALE ACOUSTIC-MODEL LANGUAGE-MODEL
// DICTIONARY: learns the writer's text as `learn` does, on its own: a request that found the text
// not yet learnt starts it and goes on without waiting. It runs in a session of its own and
// bounds its own time.
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <string_view>

#include "PersonalBuild.h"
#include "PersonalModel.h"
#include "Decoder.h"

#ifdef __SANITIZE_ADDRESS__
// Built with AddressSanitizer, the checker runs without an environment: the leaks PocketSphinx
// leaves behind a mixed language model at its exit are named here.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libsphinxbase.so\nleak:libpocketsphinx.so\n";
}
#endif

namespace {

// A learner on its own ends by this however its build goes (the build itself is bounded by
// less: at most about four and a half minutes, for the 20 MB read).
constexpr unsigned learnerLimitSeconds = 360;

}  // namespace

int main(int argc, char** argv) {
  using namespace vorel::linuxplatform;
  try {
    if (argc == 9 && std::string_view(argv[1]) == "--personal") {
      // A build is worth nothing once its starter is gone: it ends with it.
      pid_t starter = ::getppid();
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != starter) return static_cast<int>(PersonalBuild::failed);
      auto built =
          buildPersonalModel(argv[2], argv[3], argv[4], {argv[5], argv[6], argv[7], {}}, argv[8]);
      if (!built.reason.empty()) std::printf("%s\n", built.reason.c_str());
      return static_cast<int>(built.outcome);
    }
    if (argc == 8 && std::string_view(argv[1]) == "--learn") {
      ::alarm(learnerLimitSeconds);
      auto learnt = withPersonalWords(argv[2], argv[3], argv[4], {argv[5], argv[6], argv[7], {}});
      return learnt.learnt ? 0 : 1;
    }
    if (argc != 4) return 2;
    return Decoder::trialRun({argv[1], argv[2], argv[3], {}}) ? 0 : 1;
  } catch (const std::exception&) {
    return 1;
  }
}
