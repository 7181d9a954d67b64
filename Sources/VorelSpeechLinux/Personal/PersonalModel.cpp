#include "PersonalModel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>

#include "ChildProcess.h"
#include "ModelCheck.h"
#include "Sha256.h"
#include "TextFolder.h"

namespace vorel::linuxplatform {
namespace {

namespace fs = std::filesystem;

// Bumped whenever a build would come out differently: older builds are then rebuilt.
constexpr const char* buildVersion = "personal-3";
// How long a build may take before it is taken as hung: a minute, and more for a long text (a
// 10 MB journal of random words, 1.2 million of them, took 13 s on a quiet machine and 60 s
// beside a build on both cores).
std::chrono::milliseconds buildLimit(std::size_t words) {
  return std::chrono::milliseconds(60'000 + words / 20);
}
// A build that failed for a passing reason is tried again by requests after this (by `learn` at
// once).
constexpr auto retryAfter = std::chrono::minutes(10);
// A scratch folder nobody holds is swept once it is this old (a builder takes its lock at once,
// but not in the same step as making the folder).
constexpr auto scratchGrace = std::chrono::minutes(1);
// The largest summary read: it lists the new words of at most 20 MB of text.
constexpr std::uintmax_t largestSummary = 64 << 20;
constexpr std::size_t largestReason = 1000;

const std::array<const char*, 2> builtFiles = {"dictionary.dict", "personal.lm"};

std::string contentOf(const fs::path& path, std::uintmax_t largest) {
  return readSmallFile(AT_FDCWD, path, largest).value_or("");
}

// The SHA-256 of a file read through, or nothing when it cannot be read.
std::optional<std::string> digestOf(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  Sha256 hash;
  std::array<char, 1 << 16> buffer;
  ssize_t n;
  while ((n = ::read(fd, buffer.data(), buffer.size())) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) hash.update(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
  }
  ::close(fd);
  if (n < 0) return std::nullopt;
  return hash.hex();
}

// The new words of a whole, undamaged build: its summary read, and each file it lists of the
// size and digest it gives. Nothing for a build that is not whole or is damaged.
std::optional<std::vector<std::string>> checkedBuild(const fs::path& folder) {
  auto json =
      nlohmann::json::parse(contentOf(folder / "summary.json", largestSummary), nullptr, false);
  if (json.is_discarded() || !json.is_object() || !json["newWords"].is_array() ||
      !json["built"].is_object()) {
    return std::nullopt;
  }
  for (const char* name : builtFiles) {
    const auto& record = json["built"][name];
    if (!record.is_object() || !record["size"].is_number_unsigned() ||
        !record["sha256"].is_string()) {
      return std::nullopt;
    }
    struct stat info {};
    if (::lstat((folder / name).c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uint64_t>(info.st_size) != record["size"].get<std::uint64_t>()) {
      return std::nullopt;
    }
    if (digestOf(folder / name) != record["sha256"].get<std::string>()) return std::nullopt;
  }
  std::vector<std::string> words;
  for (const auto& word : json["newWords"]) {
    if (word.is_string()) words.push_back(word.get<std::string>());
  }
  return words;
}

bool isBuildName(const std::string& name) {
  return !name.empty() && name.front() != '.' && name.find('.') == std::string::npos;
}

// A builder's scratch folder: ".build-<the first 16 of the fingerprint>-XXXXXX".
std::string scratchPrefix(const std::string& print) {
  return ".build-" + print.substr(0, 16) + "-";
}

// Whether a builder still holds the scratch folder: its lock is taken while it lives.
bool held(const fs::path& scratch) {
  int fd = ::open(scratch.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return locked;
}

// Whether a builder of `print` holds a scratch folder.
bool buildUnderWay(const fs::path& builds, const std::string& print) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(builds, error)) {
    if (entry.path().filename().string().starts_with(scratchPrefix(print)) && held(entry.path())) {
      return true;
    }
  }
  return false;
}

// Removes the scratch folders that no builder holds (those of builders killed).
void sweepScratch(const fs::path& builds) {
  std::error_code error;
  auto now = fs::file_time_type::clock::now();
  for (const auto& entry : fs::directory_iterator(builds, error)) {
    if (!entry.path().filename().string().starts_with(".build-") || held(entry.path())) continue;
    auto changed = fs::last_write_time(entry.path(), error);
    if (!error && now - changed > scratchGrace) fs::remove_all(entry.path(), error);
  }
}

// Everything in the locale's folder but the build in use and scratch folders.
void removeOthers(const fs::path& builds, const std::string& keep) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(builds, error)) {
    std::string name = entry.path().filename().string();
    if (name != keep && !name.starts_with(".build-")) fs::remove_all(entry.path(), error);
  }
}

// A mark beside the builds: its reason, or nothing when there is none.
std::optional<std::string> readMark(const fs::path& mark) {
  struct stat info {};
  if (::lstat(mark.c_str(), &info) != 0) return std::nullopt;
  std::string reason = contentOf(mark, largestReason);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
  return reason.empty() ? "no reason was given" : reason;
}

bool recent(const fs::path& mark) {
  std::error_code error;
  auto changed = fs::last_write_time(mark, error);
  return !error && fs::file_time_type::clock::now() - changed < retryAfter;
}

void writeMark(const fs::path& mark, const std::string& reason) {
  std::string beside = mark.string() + ".XXXXXX";
  int fd = ::mkostemp(beside.data(), O_CLOEXEC);
  if (fd < 0) return;
  bool written = writeAll(fd, reason + "\n");
  if (::close(fd) == 0 && written && ::rename(beside.c_str(), mark.c_str()) == 0) return;
  ::unlink(beside.c_str());
}

// Makes a folder of the store's (and the one above it) the user's alone, without following a
// link.
void makePrivate(const fs::path& folder) {
  for (const auto& path : {folder.parent_path(), folder}) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      ::fchmod(fd, 0700);
      ::close(fd);
    }
  }
}

std::string voiceOf(const std::string& locale) {
  std::string voice;
  for (char c : locale) voice += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return voice;
}

// The text's fingerprint with the model's: the name its build is kept under.
std::expected<std::string, std::string> fingerprint(const PersonalText& text,
                                                    const ModelFiles& general,
                                                    const std::string& locale) {
  auto generalPrint = modelFingerprint(general);
  if (!generalPrint) return std::unexpected(generalPrint.error());
  return sha256Hex(std::string(buildVersion) + '\n' + text.digest + '\n' + *generalPrint + '\n' +
                   locale);
}

// What the model checker is told to learn in the background: its arguments after its name.
std::vector<std::string> backgroundLearningArguments(const fs::path& textFolder,
                                                     const fs::path& builds,
                                                     const std::string& locale,
                                                     const ModelFiles& general) {
  return {"--learn",
          textFolder.string(),
          builds.string(),
          locale,
          general.acousticModel.string(),
          general.languageModel.string(),
          general.dictionary.string()};
}

// How one build in a scratch folder of its own went: done, or why not, and whether that reason
// is the text's own (and so will not change when tried again).
struct Outcome {
  bool built = false;
  bool stopped = false;
  bool textChanged = false;
  bool textsOwnFault = false;
  std::string reason;  // why it was not built, for people
};

Outcome buildInScratch(const fs::path& textFolder, const PersonalText& text,
                       const fs::path& scratch, const ModelFiles& general,
                       const std::string& locale, int stop) {
  auto limit = buildLimit(text.words());
  Outcome outcome;
  ChildOptions options;
  options.arguments = {"--personal",
                       textFolder.string(),
                       text.digest,
                       scratch.string(),
                       general.acousticModel.string(),
                       general.languageModel.string(),
                       general.dictionary.string(),
                       voiceOf(locale)};
  options.onlyThisEnvironment = true;
  options.input = options.error = ChildStream::null;
  options.output = ChildStream::pipe;  // the reason of a build that failed
  options.closeOtherDescriptors = true;
  auto child = ChildProcess::start(modelChecker().string(), options);
  if (!child) {
    outcome.reason = "the model checker could not be started (" + child.error() + ")";
    return outcome;
  }
  // The reason is one short line, which the pipe holds until the checker has ended.
  int said = ::fcntl(child->output(), F_DUPFD_CLOEXEC, 0);
  auto ended = child->waitFor(limit, stop);
  std::string reason;
  if (said >= 0) {
    ::fcntl(said, F_SETFL, O_NONBLOCK);
    std::array<char, largestReason> buffer;
    ssize_t n = ::read(said, buffer.data(), buffer.size());
    if (n > 0) reason.assign(buffer.data(), static_cast<std::size_t>(n));
    ::close(said);
  }
  while (!reason.empty() && reason.back() == '\n') reason.pop_back();
  pollfd stopped{stop, POLLIN, 0};
  if (!ended && stop >= 0 && ::poll(&stopped, 1, 0) > 0) {
    outcome.stopped = true;
    outcome.reason = "learning it was stopped";
  } else if (!ended) {
    outcome.reason = "it did not finish within " + std::to_string(limit.count() / 1000) + " s";
  } else if (ended->signal != 0) {
    outcome.reason =
        std::string("the model checker was ended by a signal (") + strsignal(ended->signal) + ")";
  } else if (ended->code == static_cast<int>(PersonalBuild::built)) {
    outcome.built = true;
  } else if (ended->code == static_cast<int>(PersonalBuild::textChanged)) {
    outcome.textChanged = true;
    outcome.reason = "the text changed while it was learnt";
  } else {
    outcome.textsOwnFault = ended->code == static_cast<int>(PersonalBuild::cannotLearn);
    outcome.reason = reason.empty() ? "the model checker could not build it" : reason;
  }
  return outcome;
}

// The folder of a locale's builds made, the user's alone, and swept of killed builders' scratch.
void prepareBuilds(const fs::path& builds) {
  std::error_code error;
  fs::create_directories(builds, error);
  makePrivate(builds);
  sweepScratch(builds);
}

// Starts the model checker learning the text on its own, in a session of its own: it outlives
// this process and bounds its own time.
std::expected<void, std::string> startLearner(const fs::path& textFolder, const fs::path& builds,
                                              const std::string& locale,
                                              const ModelFiles& general) {
  ChildOptions detached;
  detached.arguments = backgroundLearningArguments(textFolder, builds, locale, general);
  detached.onlyThisEnvironment = true;
  detached.input = detached.output = detached.error = ChildStream::null;
  detached.closeOtherDescriptors = true;
  detached.ownSession = true;
  auto learner = ChildProcess::start(modelChecker().string(), detached);
  if (!learner) {
    return std::unexpected("the model checker could not be started (" + learner.error() + ")");
  }
  learner->detach();
  return {};
}

// The text as it is now: its build used, started, looked at or built (as `options` says).
PersonalModel learnOnce(const fs::path& textFolder, const fs::path& builds,
                        const std::string& locale, const ModelFiles& general,
                        const LearnOptions& options) {
  PersonalModel result;
  result.model = general;
  if (textFolder.empty() || builds.empty()) return result;
  result.text = readPersonalText(textFolder);
  if (result.text.words() == 0) return result;
  auto print = fingerprint(result.text, general, locale);
  if (!print) {
    result.problem = "the model's files cannot be read (" + print.error() + ")";
    return result;
  }
  auto use = [&](const fs::path& folder, bool current) {
    auto words = checkedBuild(folder);
    if (!words) return false;
    result.model = general;
    result.model.dictionary = folder / "dictionary.dict";
    result.model.personalLanguageModel = folder / "personal.lm";
    result.newWords = std::move(*words);
    result.learnt = true;
    result.current = current;
    return true;
  };
  // The newest whole build of an earlier text, while the text as it is now is being learnt.
  auto useLast = [&] {
    std::error_code error;
    std::vector<std::pair<fs::file_time_type, fs::path>> others;
    for (const auto& entry : fs::directory_iterator(builds, error)) {
      std::string name = entry.path().filename().string();
      if (isBuildName(name) && name != *print) {
        others.emplace_back(fs::last_write_time(entry.path(), error), entry.path());
      }
    }
    std::sort(others.rbegin(), others.rend());
    for (const auto& [when, folder] : others) {
      if (use(folder, false)) return;
    }
  };

  fs::path built = builds / *print;
  std::error_code error;
  if (fs::exists(fs::symlink_status(built, error))) {
    if (use(built, true)) return result;
    // Damaged: never used, and built again (looking alone changes nothing).
    if (options.building != LearnOptions::Building::never) fs::remove_all(built, error);
  }
  if (auto reason = readMark(builds / (*print + ".failed"))) {
    result.problem = "it cannot be learnt: " + *reason;
    return result;
  }
  fs::path retryMark = builds / (*print + ".retry");
  if (options.building != LearnOptions::Building::here) {
    bool start = options.building == LearnOptions::Building::inBackground;
    if (start) prepareBuilds(builds);
    bool underWay = buildUnderWay(builds, *print);
    auto lastFailure = readMark(retryMark);
    if (lastFailure && recent(retryMark)) {
      result.problem = "learning it failed a short while ago: " + *lastFailure;
    } else if (underWay) {
      result.building = true;
    } else if (!start) {
      result.problem = "it has not been learnt yet";
    } else if (auto started = startLearner(textFolder, builds, locale, general); started) {
      result.building = true;
    } else {
      result.problem = started.error();
    }
    useLast();
    return result;
  }

  // Built here, in a scratch folder of this build's own, locked while this process lives.
  prepareBuilds(builds);
  std::string pattern = (builds / (scratchPrefix(*print) + "XXXXXX")).string();
  if (!::mkdtemp(pattern.data())) {
    result.problem = "learning it failed: cannot write in " + builds.string() + " (" +
                     std::strerror(errno) + ")";
    return result;
  }
  fs::path scratch = pattern;
  int lock = ::open(scratch.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (lock >= 0) ::flock(lock, LOCK_EX);
  Outcome outcome = buildInScratch(textFolder, result.text, scratch, general, locale, options.stop);
  // A rename that fails leaves the build of another builder that put the same text in place
  // first: it is as good.
  if (outcome.built) ::rename(scratch.c_str(), built.c_str());
  fs::remove_all(scratch, error);
  if (lock >= 0) ::close(lock);
  if (outcome.built && use(built, true)) {
    ::unlink(retryMark.c_str());
    removeOthers(builds, *print);
    return result;
  }
  // A failure of the text's own is remembered for good; a passing one for a while; a stop or a
  // text that changed meanwhile not at all.
  std::string reason =
      outcome.built ? "its build was damaged as it was put in place" : outcome.reason;
  result.textChanged = outcome.textChanged;
  if (outcome.textsOwnFault) {
    result.problem = "it cannot be learnt: " + reason;
    writeMark(builds / (*print + ".failed"), reason);
  } else if (outcome.stopped || outcome.textChanged) {
    result.problem = reason;
  } else {
    result.problem = "learning it failed: " + reason;
    writeMark(retryMark, reason);
  }
  return result;
}

}  // namespace

PersonalModel withPersonalWords(const ModelStore& store, const std::string& locale,
                                const ModelFiles& general, const LearnOptions& options) {
  return withPersonalWords(store.personalTextFolder(locale), store.personalModelFolder(locale),
                           locale, general, options);
}

PersonalModel withPersonalWords(const fs::path& textFolder, const fs::path& builds,
                                const std::string& locale, const ModelFiles& general,
                                const LearnOptions& options) {
  // A text that changes while it is built (another text kept beside it meanwhile) is built
  // again as it is then, a few times at most.
  PersonalModel result;
  for (int attempt = 0; attempt < 3; ++attempt) {
    result = learnOnce(textFolder, builds, locale, general, options);
    if (!result.textChanged) break;
  }
  return result;
}

}  // namespace vorel::linuxplatform
