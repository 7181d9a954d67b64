// One request to the helper, as every command makes it: the helper started, the request sent,
// its events read and its end waited for; and the locale a request is for.
#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Commands.h"
#include "HelperProcess.h"
#include "ModelStore.h"
#include "Output.h"
#include "SpeechWire.h"

namespace vorel::client {

// Starts the helper for one request; a stopping signal stops it when `stops` (it has a
// process group of its own, which a terminal's Ctrl-C does not reach).
std::expected<HelperProcess, std::string> startHelper(const Options& options, bool stops = true);

// Waits for the helper to exit; its status.
int reap(HelperProcess& helper);

// A request line.
std::string request(const std::string& op, const std::optional<std::string>& locale = {},
                    const std::optional<std::string>& path = {});

// Runs one request whose answer is a single record; hands its line to the handler, which shows
// it unless --json (the line is printed as it came) and gives the exit status either way.
int ask(const Options& options, const std::string& line,
        const std::function<int(const std::string&)>& answered);

// The user's model store, as the helper finds it: looked at here, so that marking a long list
// costs no helper per locale.
const linuxplatform::ModelStore& modelStore();

// Whether a locale's model is installed.
bool installed(const std::string& locale);

// Catalogs the helper skips, said on standard error: otherwise a typo in one only shows as a
// locale missing from the list.
void reportCatalogProblems();

// The locale to recognise: the one asked for; else the user's when its model is installed;
// else the first installed one, saying so. Or the exit status.
std::expected<std::string, int> chooseLocale(const Options& options);

// Stops the helper of a request whose output can no longer be written: its results would be
// lost.
void stopHelper(HelperProcess& helper);

// Reads the helper's events to the end of its output; the terminal one, if it came. Touches only
// the helper's output: it may run beside a thread writing the helper's input. The handler
// returns false when the events can no longer be shown (a write failed): the helper is stopped.
std::optional<SpeechEvent> readEvents(HelperProcess& helper, const Options& options, Output& out,
                                      const std::function<bool(const SpeechEvent&)>& onEvent);

// Waits for the helper once it has said everything; the exit status of the request. Reasons
// that name `path` name `shown` instead.
int finish(HelperProcess& helper, const Options& options,
           const std::optional<SpeechEvent>& terminal, const Output& out,
           const std::string& path = {}, const std::string& shown = {});

// A run that heard nothing says so, beside its empty transcript (a success all the same).
void sayNoSpeech(const Options& options, const std::string& shown);

}  // namespace vorel::client
