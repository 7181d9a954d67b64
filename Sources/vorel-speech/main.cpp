#include "Entry.h"
#include "LazyPlatform.h"

int main() {
  vorel::LazyPlatform platform;
  vorel::runHelperProcess(platform);
}
