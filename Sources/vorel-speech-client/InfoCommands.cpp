// The commands of one answer: platform, locales and status.
#include <cstdio>

#include "Commands.h"
#include "Locales.h"
#include "PersonalModel.h"
#include "Reasons.h"
#include "Requests.h"

namespace vorel::client {

int platform(const Options& options) {
  return ask(options, request("platform"), [&](const std::string& line) {
    auto status = Wire::decode<PlatformStatus>(line);
    if (!status) return fail("the speech helper's answer was not understood: " + line);
    // The helper names the level of its speech services in the form of an operating system
    // version, which is what the journaling application compares with its floor.
    std::string level = status->osVersion;
    if (level.starts_with("macOS ")) level = level.substr(6);
    if (status->floorMet) {
      if (!options.json) print("Speech is available (speech services level " + level + ").\n");
      return 0;
    }
    if (options.json) return 1;
    print("Speech is not available: the speech services level " + level +
          " is below the level speech needs.\n");
    return 1;
  });
}

int locales(const Options& options) {
  reportCatalogProblems();
  return ask(options, request("locales"), [&](const std::string& line) {
    auto list = Wire::decode<LocalesLine>(line);
    if (!list) return fail("the speech helper's answer was not understood: " + line);
    if (list->locales.empty()) {
      if (!options.json) print("No locales: speech recognition is not available.\n");
      return 1;
    }
    if (options.json) return 0;
    std::string text;
    for (const auto& l : list->locales) {
      text += (text.empty() ? "" : ", ") + l + (installed(l) ? " (installed)" : "");
    }
    print(text + "\n");
    return 0;
  });
}

int status(const Options& options) {
  reportCatalogProblems();
  const std::string& locale = options.arguments.at(0);
  return ask(options, request("asset-state", locale), [&](const std::string& line) {
    auto state = Wire::decode<AssetState>(line);
    if (!state) return fail("the speech helper's answer was not understood: " + line);
    int result = state->is<AssetState::Failed>() || state->is<AssetState::Unsupported>() ? 1 : 0;
    if (options.json) return result;
    print(describe(locale, *state) + "\n");
    const auto& store = modelStore();
    auto named = linuxplatform::equivalentLocale(locale, store.offeredLocales()).value_or(locale);
    auto general = store.installedModel(named);
    if (!general) return result;
    // What is learnt, without learning anything.
    auto personal = linuxplatform::withPersonalWords(
        store, named, *general, {linuxplatform::LearnOptions::Building::never});
    const auto& text = personal.text;
    if (text.words() == 0) return result;
    std::string words = counted(text.words(), "word", "words") + " of your writing";
    std::string files = counted(text.files.size(), "file", "files");
    if (personal.current) {
      print(locale + ": " + words + " learnt, from " + files + "\n");
    } else if (personal.building) {
      print(locale + ": " + words + " being learnt, from " + files + "\n");
    } else {
      print(locale + ": " + words + " not learnt: " + personal.problem + "\n");
    }
    return result;
  });
}

}  // namespace vorel::client
