#include "CommandLine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "ClientHelp.h"

namespace vorel::client {

namespace {

// Each option, whether it takes a value, and the commands it applies to ("" for any).
struct OptionRule {
  const char* name;
  bool takesValue;
  std::vector<std::string> commands;
};

const std::vector<OptionRule> optionRules = {
    {"--helper", true, {""}},
    {"--json", false, {""}},
    {"--locale", true, {"transcribe", "dictate", "learn", "forget"}},
    {"--list", false, {"learn"}},
    {"--format", true, {"transcribe"}},
    {"--max-line-width", true, {"transcribe"}},
    {"--max-duration", true, {"transcribe"}},
    {"--output", true, {"transcribe"}},
    {"--realtime", false, {"dictate"}},
};

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

// Letters to change, add, remove or swap with their neighbour to make one word the other.
std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

std::vector<std::string> commandNames() {
  std::vector<std::string> names{"help"};
  for (const auto& [name, text] : helpTexts) {
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

std::string withSuggestion(const std::string& problem, const std::string& given,
                           const std::vector<std::string>& known) {
  auto near = nearest(given, known);
  return near.empty() ? problem : problem + "; did you mean " + near + "?";
}

// The format a file's name asks for ("notes.srt"), if any.
std::optional<Format> formatOfName(const std::string& path) {
  auto extension = lowercase(std::filesystem::path(path).extension().string());
  if (extension.size() < 2) return std::nullopt;
  return formatNamed(extension.substr(1));
}

}  // namespace

std::string nearest(const std::string& given, const std::vector<std::string>& known) {
  std::string best;
  std::size_t bestDistance = 0;
  for (const auto& word : known) {
    std::size_t distance = editDistance(lowercase(given), word);
    // A slip of one or two letters, fewer than half of them.
    if (distance <= 2 && distance * 2 < word.size() && (best.empty() || distance < bestDistance)) {
      best = word;
      bestDistance = distance;
    }
  }
  return best;
}

std::expected<Options, int> parseCommandLine(const std::vector<std::string>& args) {
  Options options;
  std::vector<std::pair<std::string, std::string>> given;  // options and their values
  bool onlyArguments = false;                              // after "--"
  bool helpCommand = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    bool isOption = !onlyArguments && a.size() > 1 && a[0] == '-';
    if (isOption && a == "--") {
      onlyArguments = true;
    } else if (isOption && (a == "--help" || a == "-h")) {
      options.help = true;
    } else if (isOption && a == "--version") {
      options.version = true;
    } else if (isOption) {
      std::optional<std::string> value;
      if (a.starts_with("--")) {
        if (auto equals = a.find('='); equals != std::string::npos) {
          value = a.substr(equals + 1);
          a = a.substr(0, equals);
        }
      } else if (a.starts_with("-o")) {
        if (a.size() > 2) value = a.substr(2);
        a = "--output";
      }
      auto rule = std::find_if(optionRules.begin(), optionRules.end(),
                               [&](const OptionRule& r) { return a == r.name; });
      if (rule == optionRules.end()) {
        std::vector<std::string> names;
        for (const auto& r : optionRules) names.push_back(r.name);
        names.insert(names.end(), {"--help", "--version"});
        return std::unexpected(
            usage(options.command, withSuggestion("unknown option " + a, a, names)));
      }
      if (rule->takesValue && !value) {
        if (i + 1 >= args.size())
          return std::unexpected(usage(options.command, a + " needs a value"));
        value = args[++i];
      } else if (!rule->takesValue && value) {
        return std::unexpected(usage(options.command, a + " takes no value"));
      }
      given.emplace_back(a, value.value_or(""));
    } else if (options.command.empty() && !helpCommand) {
      if (a == "help") {
        helpCommand = true;  // "help" or "help COMMAND": that command's --help
        options.help = true;
        continue;
      }
      if (!helpTexts.count(a) || a.empty()) {
        return std::unexpected(
            usage("", withSuggestion("unknown command " + a, a, commandNames())));
      }
      options.command = a;
    } else if (helpCommand && options.command.empty()) {
      if (!helpTexts.count(a) || a.empty()) {
        return std::unexpected(usage("", withSuggestion("no help on " + a, a, commandNames())));
      }
      options.command = a;
    } else {
      options.arguments.push_back(a);
    }
  }
  if (options.help || options.version) return options;
  bool layoutGiven = false;
  bool formatGiven = false;
  for (const auto& [name, value] : given) {
    const auto& rule = *std::find_if(optionRules.begin(), optionRules.end(),
                                     [&](const OptionRule& r) { return name == r.name; });
    bool applies = std::any_of(rule.commands.begin(), rule.commands.end(),
                               [&](const auto& c) { return c.empty() || c == options.command; });
    if (!applies) {
      return std::unexpected(
          usage(options.command, name + " does not apply to " +
                                     (options.command.empty() ? "no command" : options.command)));
    }
    if (name == "--helper") {
      options.helper = value;
    } else if (name == "--json") {
      options.json = true;
    } else if (name == "--locale") {
      options.locale = value;
    } else if (name == "--format") {
      auto format = formatNamed(lowercase(value));
      if (!format) {
        return std::unexpected(
            usage(options.command, withSuggestion("unknown format " + value, value,
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
