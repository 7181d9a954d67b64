// The client's commands: each starts the helper, sends one request and shows what it says.
#pragma once

#include <atomic>
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
  bool json = false;
  bool realtime = false;
  bool help = false;
};

// Set by the first Ctrl-C: dictation and transcription stop the helper and end cleanly.
extern std::atomic<bool> interrupted;

int platform(const Options& options);
int locales(const Options& options);
int status(const Options& options);
int install(const Options& options);
int transcribe(const Options& options);
int dictate(const Options& options);

}  // namespace vorel::client
