// vorel-speech-model-check ACOUSTIC-MODEL LANGUAGE-MODEL DICTIONARY: loads a PocketSphinx model
// and decodes a moment of near silence with it. Exits 0 when that worked; 1 when it did not, or
// whatever the recogniser ends the process with.
#include "Recogniser.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  return vorel::linuxplatform::Recogniser::trialRun({argv[1], argv[2], argv[3]}) ? 0 : 1;
}
