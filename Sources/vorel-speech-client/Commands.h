// The client's commands: each starts the helper, sends one request and shows what it says.
// Each family of commands has a file of its own (InfoCommands, InstallCommand,
// TranscribeCommands, DictateCommand, LearnCommands).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ClientFormat.h"

namespace vorel::client {

struct Options {
  std::string helper;
  std::string command;
  std::vector<std::string> arguments;
  std::optional<std::string> locale;
  Format format = Format::text;
  CueLayout layout;
  std::string outputFile;  // standard output when empty or "-"
  bool json = false;
  bool realtime = false;
  bool list = false;
  bool help = false;
  bool version = false;

  bool toFile() const { return !outputFile.empty() && outputFile != "-"; }
};

int platform(const Options& options);
int locales(const Options& options);
int status(const Options& options);
int install(const Options& options);
int transcribe(const Options& options);
// Several files: text and txt on standard output, each under a "==> FILE <==" line; other
// formats into a file beside each audio file, named for the format (talk.wav: talk.srt).
int transcribeEach(const Options& options);
int dictate(const Options& options);
// The writer's own text for a locale: kept, shown, forgotten.
int learn(const Options& options);
int learnt(const Options& options);
int forget(const Options& options);

}  // namespace vorel::client
