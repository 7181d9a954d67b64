// The recogniser module's one entry point, looked up by the helper's loader.
#include "LinuxPlatform.h"
#include "PlatformModuleEntry.h"

extern "C" __attribute__((visibility("default"))) const vorel::PlatformModuleEntry*
vorel_speech_platform_entry() {
  static const vorel::PlatformModuleEntry entry{
      vorel::platformModuleVersion, sizeof(vorel::PlatformModuleEntry),
      []() -> vorel::SpeechPlatform* { return new vorel::linuxplatform::LinuxSpeechPlatform(); }};
  return &entry;
}
