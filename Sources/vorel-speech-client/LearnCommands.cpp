// learn, learn --list and forget: the writer's own text for a locale, kept, learnt, shown and
// forgotten.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <expected>
#include <filesystem>

#include "Commands.h"
#include "Interrupt.h"
#include "Locales.h"
#include "PersonalModel.h"
#include "PersonalText.h"
#include "Reasons.h"
#include "Requests.h"
#include "StandardInput.h"
#include "TextFolder.h"

namespace vorel::client {
namespace {

namespace fs = std::filesystem;

// The locale the writer's text is for, as the helper names it; or the exit status.
std::expected<std::string, int> textLocale(const Options& options) {
  if (!options.locale) return chooseLocale(options);
  auto offered = modelStore().offeredLocales();
  if (auto equivalent = linuxplatform::equivalentLocale(*options.locale, offered)) {
    return *equivalent;
  }
  if (auto canonical = linuxplatform::canonicalLocale(*options.locale)) return *canonical;
  return std::unexpected(fail(*options.locale + " is not a locale"));
}

// A file's text (or standard input's, for "-"), at most the 20 MB learnt; or why not.
std::expected<std::string, std::string> readText(const std::string& path) {
  std::string shown = path == "-" ? "standard input" : path;
  if (path == "-" && standardInputWasClosed()) return std::unexpected(shown + " is closed");
  if (path == "-" && ::isatty(STDIN_FILENO)) {
    return std::unexpected(std::string("standard input is a terminal: pipe text into it"));
  }
  int fd = path == "-" ? ::dup(STDIN_FILENO) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected("cannot read " + shown + ": " + std::strerror(errno));
  std::string text;
  std::array<char, 65536> buffer;
  std::string problem;
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR && !interrupted()) continue;
    if (n < 0) {
      problem = interrupted() ? "stopped" : "cannot read " + shown + ": " + std::strerror(errno);
      break;
    }
    if (n == 0) break;
    text.append(buffer.data(), static_cast<std::size_t>(n));
    if (text.size() > linuxplatform::largestText) {
      problem = shown + " holds more than the 20 MB of text that is learnt";
      break;
    }
  }
  ::close(fd);
  if (!problem.empty()) return std::unexpected(problem);
  if (!linuxplatform::isText(text)) return std::unexpected(shown + " is not UTF-8 text");
  return text;
}

// The name a text is kept under: its file's name, or for standard input one of its moment.
std::string keptName(const std::string& path) {
  if (path != "-") return linuxplatform::textNameFor(path);
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H%M%S", std::localtime(&now));
  return std::string("standard-input-") + stamp + ".txt";
}

// What keeping a text did, for people.
std::string keptLine(const std::string& path, const linuxplatform::TextFolder::KeptText& kept,
                     const std::string& wanted, std::size_t words) {
  using Kept = linuxplatform::TextFolder::Kept;
  std::string shown = path == "-" ? "standard input" : path;
  std::string count = counted(words, "word", "words");
  switch (kept.how) {
    case Kept::unchanged:
      return shown + " is kept already as " + kept.name + ": " + count;
    case Kept::replaced:
      return "Kept " + kept.name + ": " + count + " (it holds the whole of the " + kept.name +
             " kept before, which it replaces)";
    case Kept::added:
      break;
  }
  if (kept.name == wanted) return "Kept " + kept.name + ": " + count;
  return "Kept " + shown + " as " + kept.name + ": " + count + " (another text is kept as " +
         wanted + ")";
}

// Builds what is learnt for the locale, when its model is installed, and says so.
int showLearnt(const std::string& locale, bool listing) {
  const auto& store = modelStore();
  auto general = store.installedModel(locale);
  linuxplatform::PersonalModel personal;
  if (general) {
    // Built here, while the writer waits; Ctrl-C stops the build and leaves nothing behind.
    personal =
        linuxplatform::withPersonalWords(store, locale, *general, {.stop = stopOfInput().fd()});
    if (interrupted()) {
      fail("stopped; your text is kept, and learnt when next used");
      return interruptedStatus();
    }
  } else {
    personal.text = linuxplatform::readPersonalText(store.personalTextFolder(locale));
  }
  for (const auto& skipped : personal.text.skipped) {
    warn("skipped " + skipped);
  }
  const auto& text = personal.text;
  if (text.files.empty()) {
    print("Nothing is learnt for " + locale + ".\n");
    return 0;
  }
  std::string line = locale + ": " + counted(text.words(), "word", "words") + " of your writing";
  if (personal.learnt) {
    line += ", " + counted(personal.newWords.size(), "word", "words") + " new to the recogniser";
  }
  print(line + "\n");
  if (listing) {
    for (const auto& file : text.files) {
      std::string name = file.name;
      name.resize(std::max<std::size_t>(name.size(), 40), ' ');
      print("  " + name + " " + counted(file.words, "word", "words") + "\n");
    }
    if (!personal.newWords.empty()) {
      std::string words;
      for (const auto& word : personal.newWords) words += (words.empty() ? "" : ", ") + word;
      print("new words: " + words + "\n");
    }
  }
  if (!general) {
    warn(locale +
         " has no model installed: your text is learnt once it is (vorel-speech-client install " +
         locale + ")");
    return 0;
  }
  if (!personal.learnt && !personal.problem.empty()) {
    return fail("your text is kept, but " + personal.problem);
  }
  return 0;
}

}  // namespace

int learn(const Options& options) {
  auto chosen = textLocale(options);
  if (!chosen) return chosen.error();
  const std::string& locale = *chosen;
  fs::path folder = modelStore().personalTextFolder(locale);
  if (folder.empty()) return fail("there is no home folder to keep your text in");
  // Every text is read before any is kept.
  std::vector<std::pair<std::string, std::string>> texts;  // path, text
  for (const auto& path : options.arguments) {
    auto text = readText(path);
    if (!text) return interrupted() ? interruptedStatus() : fail(text.error());
    texts.emplace_back(path, std::move(*text));
  }
  auto opened = linuxplatform::TextFolder::open(folder, true);
  if (!opened) return fail(opened.error());
  for (const auto& [path, text] : texts) {
    std::string name = keptName(path);
    auto kept = opened->keep(name, text);
    if (!kept) return fail(kept.error());
    std::size_t words = 0;
    for (const auto& sentence : linuxplatform::sentencesOf(text)) words += sentence.size();
    note(oneLine(keptLine(path, *kept, name, words)));
  }
  return showLearnt(locale, false);
}

int learnt(const Options& options) {
  auto chosen = textLocale(options);
  if (!chosen) return chosen.error();
  return showLearnt(*chosen, true);
}

int forget(const Options& options) {
  auto chosen = textLocale(options);
  if (!chosen) return chosen.error();
  const std::string& locale = *chosen;
  const auto& store = modelStore();
  fs::path folder = store.personalTextFolder(locale);
  auto text = linuxplatform::readPersonalText(folder);
  std::vector<std::string> names;
  if (options.arguments.empty()) {
    for (const auto& file : text.files) names.push_back(file.name);
  } else {
    for (const auto& name : options.arguments) {
      bool known = std::any_of(text.files.begin(), text.files.end(),
                               [&](const auto& file) { return file.name == name; });
      if (!known) return fail(name + " is not learnt for " + locale + " (see learn --list)");
      if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
  }
  if (names.empty()) {
    print("Nothing is learnt for " + locale + ".\n");
    return 0;
  }
  auto opened = linuxplatform::TextFolder::open(folder, false);
  if (!opened) return fail(opened.error());
  for (const auto& name : names) {
    if (auto removed = opened->remove(name); !removed) return fail(removed.error());
  }
  // What was built from the text goes too; what remains is learnt again when next used.
  std::error_code error;
  fs::remove_all(store.personalModelFolder(locale), error);
  print("Forgot " + counted(names.size(), "file", "files") + " for " + locale + ".\n");
  return 0;
}

}  // namespace vorel::client
