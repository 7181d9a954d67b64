#include "CommandLine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "ClientHelp.h"
#include "OptionTable.h"

namespace vorel::client {

namespace {

using commandline::OptionRule;

commandline::OptionTable optionTable() {
  commandline::OptionTable table;
  for (const auto& [name, text] : helpTexts) {
    if (!name.empty()) table.verbs.push_back(name);
  }
  table.options = {
      {"--helper", true, {}},
      {"--json", false, {}},
      {"--locale", true, {"transcribe", "dictate", "learn", "forget"}},
      {"--list", false, {"learn"}},
      {"--format", true, {"transcribe"}},
      {"--max-line-width", true, {"transcribe"}},
      {"--max-duration", true, {"transcribe"}},
      {"--output", true, {"transcribe"}},
      {"--realtime", false, {"dictate"}},
  };
  table.shortNames = {{'o', "--output"}};
  return table;
}

std::string lowercase(std::string text) {
  for (auto& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return text;
}

// A positive number no larger than `most`, or nothing.
std::optional<double> positiveNumber(const std::string& text, double most) {
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !(value > 0) || value > most) {
    return std::nullopt;
  }
  return value;
}

// The format a file's name asks for ("notes.srt"), if any.
std::optional<Format> formatOfName(const std::string& path) {
  auto extension = lowercase(std::filesystem::path(path).extension().string());
  if (extension.size() < 2) return std::nullopt;
  return formatNamed(extension.substr(1));
}

}  // namespace

std::expected<Options, int> parseCommandLine(const std::vector<std::string>& args) {
  auto line = commandline::readCommandLine(args, optionTable());
  if (!line) return std::unexpected(usage(line.error().verb, line.error().problem));
  Options options;
  options.command = line->verb;
  options.arguments = line->arguments;
  options.help = line->help;
  options.version = line->version;
  if (options.help || options.version) return options;
  bool layoutGiven = false;
  bool formatGiven = false;
  for (const auto& [name, value] : line->options) {
    if (name == "--helper") {
      options.helper = value;
    } else if (name == "--json") {
      options.json = true;
    } else if (name == "--locale") {
      options.locale = value;
    } else if (name == "--format") {
      auto format = formatNamed(lowercase(value));
      if (!format) {
        return std::unexpected(usage(
            options.command, commandline::withSuggestion("unknown format " + value, value,
                                                         {"text", "txt", "srt", "vtt", "json"})));
      }
      options.format = *format;
      formatGiven = true;
    } else if (name == "--max-line-width") {
      auto width = positiveNumber(value, 1000);
      if (!width || *width != static_cast<int>(*width)) {
        return std::unexpected(
            usage(options.command, "--max-line-width takes a whole number of characters"));
      }
      options.layout.maxLineWidth = static_cast<int>(*width);
      layoutGiven = true;
    } else if (name == "--max-duration") {
      auto seconds = positiveNumber(value, 3600);
      if (!seconds || *seconds < 0.5) {
        return std::unexpected(
            usage(options.command, "--max-duration takes seconds, at least 0.5"));
      }
      options.layout.maxDurationMs = static_cast<std::uint64_t>(*seconds * 1000);
      layoutGiven = true;
    } else if (name == "--output") {
      if (value.empty()) return std::unexpected(usage(options.command, "-o needs a file name"));
      options.outputFile = value;
    } else if (name == "--realtime") {
      options.realtime = true;
    } else if (name == "--list") {
      options.list = true;
    }
  }
  // "-o notes.srt" asks for subtitles unless a format is given.
  if (!formatGiven && options.toFile()) {
    if (auto format = formatOfName(options.outputFile)) options.format = *format;
  }
  if (layoutGiven && options.format != Format::srt && options.format != Format::vtt) {
    return std::unexpected(usage(options.command, "cue layout options apply to srt and vtt"));
  }
  if (options.json && (layoutGiven || options.toFile())) {
    return std::unexpected(usage(options.command, "--json prints the helper's lines unchanged"));
  }
  return options;
}

}  // namespace vorel::client
