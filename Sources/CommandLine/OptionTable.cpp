#include "OptionTable.h"

#include <algorithm>
#include <cctype>
#include <optional>

namespace vorel::commandline {
namespace {

std::string lowercase(std::string text) {
  for (auto& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return text;
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

std::string withSuggestion(const std::string& problem, const std::string& given,
                           const std::vector<std::string>& known) {
  auto near = nearest(given, known);
  return near.empty() ? problem : problem + "; did you mean " + near + "?";
}

std::expected<CommandLine, UsageProblem> readCommandLine(const std::vector<std::string>& args,
                                                         const OptionTable& table) {
  CommandLine line;
  auto problem = [&](std::string verb, std::string what) {
    return std::unexpected(UsageProblem{std::move(verb), std::move(what)});
  };
  std::vector<std::string> verbs{"help"};
  verbs.insert(verbs.end(), table.verbs.begin(), table.verbs.end());
  auto isVerb = [&](const std::string& word) {
    return std::find(table.verbs.begin(), table.verbs.end(), word) != table.verbs.end();
  };
  bool onlyArguments = false;  // after "--"
  bool helpVerb = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    bool isOption = !onlyArguments && a.size() > 1 && a[0] == '-';
    if (isOption && a == "--") {
      onlyArguments = true;
    } else if (isOption && (a == "--help" || a == "-h")) {
      line.help = true;
    } else if (isOption && a == "--version") {
      line.version = true;
    } else if (isOption) {
      std::optional<std::string> value;
      if (a.starts_with("--")) {
        if (auto equals = a.find('='); equals != std::string::npos) {
          value = a.substr(equals + 1);
          a = a.substr(0, equals);
        }
      } else {
        for (const auto& [letter, name] : table.shortNames) {
          if (a[1] != letter) continue;
          if (a.size() > 2) value = a.substr(2);
          a = name;
          break;
        }
      }
      auto rule = std::find_if(table.options.begin(), table.options.end(),
                               [&](const OptionRule& r) { return a == r.name; });
      if (rule == table.options.end()) {
        std::vector<std::string> names;
        for (const auto& r : table.options) names.push_back(r.name);
        names.insert(names.end(), {"--help", "--version"});
        return problem(line.verb, withSuggestion("unknown option " + a, a, names));
      }
      if (rule->takesValue && !value) {
        if (i + 1 >= args.size()) return problem(line.verb, a + " needs a value");
        value = args[++i];
      } else if (!rule->takesValue && value) {
        return problem(line.verb, a + " takes no value");
      }
      line.options.emplace_back(a, value.value_or(""));
    } else if (line.verb.empty() && !helpVerb) {
      if (a == "help") {
        helpVerb = true;  // "help" or "help VERB": that verb's --help
        line.help = true;
        continue;
      }
      if (!isVerb(a))
        return problem("", withSuggestion("unknown " + table.verbIs + " " + a, a, verbs));
      line.verb = a;
    } else if (helpVerb && line.verb.empty()) {
      if (!isVerb(a)) return problem("", withSuggestion("no help on " + a, a, verbs));
      line.verb = a;
    } else {
      line.arguments.push_back(a);
    }
  }
  if (line.help || line.version) return line;
  for (const auto& [name, value] : line.options) {
    const auto& rule = *std::find_if(table.options.begin(), table.options.end(),
                                     [&](const OptionRule& r) { return name == r.name; });
    bool applies = rule.verbs.empty() ||
                   std::find(rule.verbs.begin(), rule.verbs.end(), line.verb) != rule.verbs.end();
    if (!applies) {
      return problem(line.verb,
                     name + " does not apply to " + (line.verb.empty() ? "no command" : line.verb));
    }
  }
  return line;
}

}  // namespace vorel::commandline
