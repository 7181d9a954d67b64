// The recogniser module's one entry point, looked up by the helper's loader.
#include "LinuxPlatform.h"

extern "C" __attribute__((visibility("default"))) vorel::SpeechPlatform*
vorel_make_speech_platform() {
  return new vorel::real::LinuxSpeechPlatform();
}
