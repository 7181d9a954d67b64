#include "Requests.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>

#include "HelperProtocol.h"
#include "Interrupt.h"
#include "Locales.h"
#include "ProgramFolder.h"
#include "Reasons.h"

namespace vorel::client {
namespace {

// The locales the helper offers, the user's first; empty when it gave no answer.
std::vector<std::string> offeredLocales(const Options& options) {
  std::vector<std::string> offered;
  Options quiet = options;
  quiet.json = false;
  ask(quiet, request("locales"), [&](const std::string& line) {
    if (auto list = Wire::decode<LocalesLine>(line)) offered = list->locales;
    return 0;
  });
  return offered;
}

}  // namespace

std::expected<HelperProcess, std::string> startHelper(const Options& options, bool stops) {
  auto helper = HelperProcess::start(
      options.helper.empty() ? partOfThisProgram("vorel-speech", VOREL_PARTS_FROM_BINDIR).string()
                             : options.helper);
  if (!helper) return helper;
  helperStarted(helper->pid(), stops);
  return helper;
}

int reap(HelperProcess& helper) {
  helperEnded();
  return helper.wait();
}

std::string request(const std::string& op, const std::optional<std::string>& locale,
                    const std::optional<std::string>& path) {
  return HelperRequest{op, locale, path}.encode();
}

int ask(const Options& options, const std::string& line,
        const std::function<int(const std::string&)>& answered) {
  auto helper = startHelper(options);
  if (!helper) return fail(helper.error());
  helper->send(line);
  helper->closeInput();
  auto answer = helper->readLine();
  int status = reap(*helper);
  if (stoppedByInterrupt()) return interruptedStatus();
  if (!answer)
    return fail("the speech helper gave no answer (status " + std::to_string(status) + ")");
  if (options.json) print(*answer + "\n");
  if (auto failure = Wire::decode<SpeechEvent>(*answer);
      failure && failure->is<SpeechEvent::Failed>()) {
    return options.json ? 1 : fail(std::get<SpeechEvent::Failed>(failure->value).reason);
  }
  return answered(*answer);
}

const linuxplatform::ModelStore& modelStore() {
  static const linuxplatform::ModelStore store(linuxplatform::ModelStore::defaultLocations());
  return store;
}

bool installed(const std::string& locale) {
  return modelStore().installedModel(locale).has_value();
}

void reportCatalogProblems() {
  for (const auto& problem : modelStore().catalogProblems()) {
    warn("the catalog " + problem + "; it is skipped");
  }
}

// The locale to recognise: the one asked for; else the user's when its model is installed;
// else the first installed one, saying so.
std::expected<std::string, int> chooseLocale(const Options& options) {
  if (options.locale) return *options.locale;
  auto offered = offeredLocales(options);
  std::string user =
      linuxplatform::canonicalLocale(linuxplatform::currentLocaleFromEnvironment()).value_or("");
  bool userOffered = std::find(offered.begin(), offered.end(), user) != offered.end();
  if (userOffered && installed(user)) return user;
  for (const auto& locale : offered) {
    if (locale == user || !installed(locale)) continue;
    if (!user.empty()) {
      std::string why = userOffered
                            ? user + " is not installed (vorel-speech-client install " + user + ")"
                            : user + " is not offered";
      warn("using " + locale + ": " + why);
    }
    return locale;
  }
  if (interrupted()) return std::unexpected(interruptedStatus());
  std::string suggestion = userOffered ? user : offered.empty() ? "en-US" : offered.front();
  return std::unexpected(
      fail("no speech model is installed (vorel-speech-client install " + suggestion + ")"));
}

void stopHelper(HelperProcess& helper) {
  ::kill(-helper.pid(), SIGTERM);
}

std::optional<SpeechEvent> readEvents(HelperProcess& helper, const Options& options, Output& out,
                                      const std::function<bool(const SpeechEvent&)>& onEvent) {
  std::optional<SpeechEvent> terminal;
  bool showing = true;
  while (auto line = helper.readLine()) {
    if (!showing) continue;
    if (options.json) showing = out.write(*line + "\n");
    auto event = Wire::decode<SpeechEvent>(*line);
    if (event && event->isTerminal()) terminal = *event;
    if (showing && event && !options.json) showing = onEvent(*event);
    if (!showing) stopHelper(helper);
  }
  return terminal;
}

int finish(HelperProcess& helper, const Options& options,
           const std::optional<SpeechEvent>& terminal, const Output& out, const std::string& path,
           const std::string& shown) {
  int status = reap(helper);
  if (out.failed()) return fail(out.error());
  if (stoppedByInterrupt()) return interruptedStatus();
  if (!terminal) {
    return fail("the speech helper ended without finishing (status " + std::to_string(status) +
                ")");
  }
  if (auto* f = std::get_if<SpeechEvent::Failed>(&terminal->value)) {
    if (!options.json) fail(withFix(named(f->reason, path, shown), options));
    return 1;
  }
  if (terminal->is<SpeechEvent::Cancelled>()) {
    if (!options.json) fail("cancelled");
    return 1;
  }
  return status == 0 ? 0 : 1;
}

void sayNoSpeech(const Options& options, const std::string& shown) {
  if (!options.json) {
    warn("no speech was heard in " + oneLine(shown));
  }
}

}  // namespace vorel::client
