#include "PersonalModel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "ChildProcess.h"
#include "ModelCheck.h"
#include "Sha256.h"

namespace vorel::linuxplatform {
namespace {

namespace fs = std::filesystem;

// Bumped whenever a build would come out differently: older builds are then rebuilt.
constexpr const char* buildVersion = "personal-1";
// A build of 100,000 words takes a few seconds; one still going after this is taken as hung.
constexpr std::chrono::milliseconds buildLimit{60'000};
// Scratch folders older than this are left over from builds that were killed.
constexpr auto staleScratch = std::chrono::minutes(10);

std::optional<std::vector<std::string>> readNewWords(const fs::path& summary) {
  std::ifstream in(summary);
  if (!in) return std::nullopt;
  auto json = nlohmann::json::parse(in, nullptr, false);
  if (json.is_discarded() || !json.is_object() || !json.contains("newWords") ||
      !json["newWords"].is_array()) {
    return std::nullopt;
  }
  std::vector<std::string> words;
  for (const auto& word : json["newWords"]) {
    if (word.is_string()) words.push_back(word.get<std::string>());
  }
  return words;
}

bool isBuilt(const fs::path& folder) {
  std::error_code error;
  return fs::is_regular_file(folder / "dictionary.dict", error) &&
         fs::is_regular_file(folder / "personal.lm", error) &&
         fs::is_regular_file(folder / "summary.json", error);
}

ModelFiles personalFiles(const ModelFiles& general, const fs::path& built) {
  ModelFiles model = general;
  model.dictionary = built / "dictionary.dict";
  model.personalLanguageModel = built / "personal.lm";
  return model;
}

// Everything in the locale's folder but the build in use, and the scratch folders of builds
// that may still be running.
void removeOthers(const fs::path& folder, const std::string& keep) {
  std::error_code error;
  auto now = fs::file_time_type::clock::now();
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    std::string name = entry.path().filename().string();
    if (name == keep) continue;
    if (name.starts_with(".build-")) {
      auto changed = fs::last_write_time(entry.path(), error);
      if (error || now - changed < staleScratch) continue;
    }
    fs::remove_all(entry.path(), error);
  }
}

std::string voiceOf(const std::string& locale) {
  std::string voice;
  for (char c : locale) voice += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return voice;
}

// How the model checker is asked to build one: its arguments after its name.
std::vector<std::string> buildArguments(const fs::path& textFolder, const std::string& textDigest,
                                        const fs::path& into, const ModelFiles& general,
                                        const std::string& locale) {
  return {"--personal",
          textFolder.string(),
          textDigest,
          into.string(),
          general.acousticModel.string(),
          general.languageModel.string(),
          general.dictionary.string(),
          voiceOf(locale)};
}

}  // namespace

PersonalModel withPersonalWords(const ModelStore& store, const std::string& locale,
                                const ModelFiles& general) {
  PersonalModel result;
  result.model = general;
  fs::path textFolder = store.personalTextFolder(locale);
  fs::path models = store.personalModelFolder(locale);
  if (textFolder.empty() || models.empty()) return result;
  result.text = readPersonalText(textFolder);
  if (result.text.words() == 0) return result;

  auto generalPrint = modelFingerprint(general);
  if (!generalPrint) {
    result.problem = generalPrint.error();
    return result;
  }
  std::string print = sha256Hex(std::string(buildVersion) + '\n' + result.text.digest + '\n' +
                                *generalPrint + '\n' + locale);
  fs::path built = models / print;
  fs::path failed = models / (print + ".failed");
  std::error_code error;
  auto use = [&](const fs::path& folder) {
    auto words = readNewWords(folder / "summary.json");
    if (!words) return false;
    result.model = personalFiles(general, folder);
    result.newWords = std::move(*words);
    result.learnt = true;
    return true;
  };
  if (isBuilt(built) && use(built)) return result;
  if (fs::exists(failed, error)) {
    result.problem = "the text could not be learnt";
    return result;
  }

  // Build beside, in a scratch folder of this build's own.
  fs::create_directories(models, error);
  ::chmod(models.parent_path().c_str(), 0700);
  ::chmod(models.c_str(), 0700);
  std::string pattern = (models / ".build-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    result.problem = "no room to learn the text in " + models.string();
    return result;
  }
  fs::path scratch = pattern;
  ChildOptions options;
  options.arguments = buildArguments(textFolder, result.text.digest, scratch, general, locale);
  options.onlyThisEnvironment = true;
  options.input = options.output = options.error = ChildStream::null;
  options.closeOtherDescriptors = true;
  auto child = ChildProcess::start(modelChecker().string(), options);
  std::optional<ChildExit> ended;
  if (child) ended = child->waitFor(buildLimit);
  bool done = ended && ended->signal == 0 && ended->code == 0 && isBuilt(scratch);
  if (done && ::rename(scratch.c_str(), built.c_str()) != 0) {
    // Another helper built the same text at the same time: its build is as good.
    fs::remove_all(scratch, error);
    done = isBuilt(built);
  }
  fs::remove_all(scratch, error);
  if (!done || !use(built)) {
    // A text that changed while it was read is tried again; one that cannot be built is not.
    bool changedMeanwhile = ended && ended->signal == 0 && ended->code == 3;
    if (child && !changedMeanwhile) {
      int fd = ::open(failed.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
      if (fd >= 0) ::close(fd);
    }
    result.problem = !child   ? "the model checker could not be started"
                     : !ended ? "learning the text did not finish"
                              : "the text could not be learnt";
    return result;
  }
  removeOthers(models, print);
  return result;
}

}  // namespace vorel::linuxplatform
