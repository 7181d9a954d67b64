// A test build of the helper over the scripted platform. Unlike the helper, it reads its script
// from the environment: VOREL_TEST_OS_VERSION=major.minor.patch.
#include <cstdio>
#include <cstdlib>

#include "Entry.h"
#include "ScriptedPlatform.h"

int main() {
  vorel::testing::ScriptedPlatform platform;
  if (const char* version = std::getenv("VOREL_TEST_OS_VERSION")) {
    std::sscanf(version, "%d.%d.%d", &platform.version.major, &platform.version.minor,
                &platform.version.patch);
  }
  vorel::runHelperProcess(platform);
}
