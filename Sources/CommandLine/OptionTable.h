// A program's command line read from a table of its options, the way getopt_long tools read
// theirs: a verb first, long options with their value after a space or "=", short aliases
// ("-o FILE", "-oFILE"), "--" before arguments that start with a dash, "-" as an argument,
// --help, -h and "help [VERB]" for help, --version. The client and the widget host read theirs
// with it.
#pragma once

#include <expected>
#include <string>
#include <utility>
#include <vector>

namespace vorel::commandline {

struct OptionRule {
  std::string name;  // "--format"
  bool takesValue = false;
  std::vector<std::string> verbs;  // those it applies to; empty for every one
};

struct OptionTable {
  std::vector<std::string> verbs;  // besides "help"
  std::string verbIs = "command";  // what the program calls its verbs, in its messages
  std::vector<OptionRule> options;
  std::vector<std::pair<char, std::string>> shortNames;  // 'o' for "--output"
};

struct CommandLine {
  std::string verb;  // empty when none is given
  std::vector<std::string> arguments;
  std::vector<std::pair<std::string, std::string>> options;  // in order; "" for a flag's value
  bool help = false;
  bool version = false;
};

// What is wrong with a command line, and the verb whose help says how it goes ("" for the
// overview).
struct UsageProblem {
  std::string verb;
  std::string problem;
};

// The command line, or what is wrong with it: an unknown verb or option (naming the known one
// nearest to it), an option without its value or with one it does not take, or one that does
// not apply to the verb. With --help or --version, only unknown verbs and options are wrong.
std::expected<CommandLine, UsageProblem> readCommandLine(const std::vector<std::string>& args,
                                                         const OptionTable& table);

// The known word nearest to `given` when it is near enough to be a slip ("trancribe"), else "".
std::string nearest(const std::string& given, const std::vector<std::string>& known);

// "PROBLEM; did you mean WORD?" when a known word is near `given`, else the problem alone.
std::string withSuggestion(const std::string& problem, const std::string& given,
                           const std::vector<std::string>& known);

}  // namespace vorel::commandline
