#include "ModelCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ProgramFolder.h"
#include "Sha256.h"

namespace vorel::linuxplatform {
namespace {

namespace fs = std::filesystem;

// How long a child may take to load a model before it is taken as hung.
constexpr std::chrono::milliseconds loadLimit{120'000};

// Files up to this size have their content in the fingerprint: every file of the acoustic
// model and the dictionary, which a few milliseconds hash; the language model is known by its
// identity alone.
constexpr std::uintmax_t hashedUpTo = 4 << 20;

std::expected<std::string, std::string> contentHash(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::unexpected(path.string() + " cannot be read");
  Sha256 hash;
  std::vector<char> buffer(1 << 16);
  ssize_t n;
  std::uintmax_t total = 0;
  while ((n = ::read(fd, buffer.data(), buffer.size())) > 0 && total <= hashedUpTo) {
    hash.update(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    total += static_cast<std::uintmax_t>(n);
  }
  ::close(fd);
  if (n < 0) return std::unexpected(path.string() + " cannot be read");
  return hash.hex();
}

}  // namespace

fs::path modelChecker() {
  return partOfThisProgram(modelCheckerName, VOREL_PARTS_FROM_BINDIR);
}

std::expected<std::string, std::string> modelFingerprint(const ModelFiles& model) {
  std::vector<std::pair<std::string, fs::path>> files{{"lm", model.languageModel},
                                                      {"dict", model.dictionary}};
  std::error_code error;
  std::vector<fs::path> acoustic;
  for (const auto& entry : fs::directory_iterator(model.acousticModel, error)) {
    acoustic.push_back(entry.path());
  }
  if (error) return std::unexpected(error.message());
  std::sort(acoustic.begin(), acoustic.end());
  for (const auto& path : acoustic) files.emplace_back("hmm", path);

  // One line per file the recogniser reads: its role, name and identity on disk, with the
  // change time (which a damage in place moves, even when it puts the modification time back)
  // and, for the small files, their content (which bit rot changes without a trace).
  std::string text;
  for (const auto& [role, path] : files) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::unexpected(path.string() + " is missing");
    text += role + '/' + path.filename().string() + ' ' + std::to_string(info.st_dev) + ' ' +
            std::to_string(info.st_ino) + ' ' + std::to_string(info.st_size) + ' ' +
            std::to_string(info.st_mtim.tv_sec) + '.' + std::to_string(info.st_mtim.tv_nsec) + ' ' +
            std::to_string(info.st_ctim.tv_sec) + '.' + std::to_string(info.st_ctim.tv_nsec);
    if (S_ISREG(info.st_mode) && static_cast<std::uintmax_t>(info.st_size) <= hashedUpTo) {
      auto content = contentHash(path);
      if (!content) return std::unexpected(content.error());
      text += ' ' + *content;
    }
    text += '\n';
  }
  return sha256Hex(text);
}

std::expected<void, std::string> proveLoadable(const ModelFiles& model, const fs::path& proofs) {
  auto print = modelFingerprint(model);
  if (!print) return std::unexpected(print.error());
  std::error_code error;
  fs::path proof = proofs.empty() ? fs::path() : proofs / *print;
  if (!proof.empty() && fs::exists(proof, error)) return {};

  auto checker = modelChecker();
  // Nothing the library says may reach the client's pipes, and the checker holds none of the
  // helper's descriptors (its pipes, an install's lock) while it loads.
  ChildOptions options;
  options.arguments = {model.acousticModel.string(), model.languageModel.string(),
                       model.dictionary.string()};
  options.onlyThisEnvironment = true;  // and no environment
  options.input = options.output = options.error = ChildStream::null;
  options.closeOtherDescriptors = true;
  auto child = ChildProcess::start(checker.string(), options);
  if (!child) {
    return std::unexpected("its checker " + checker.string() + " could not be started (" +
                           child.error() + ")");
  }
  auto ended = child->waitFor(loadLimit);
  if (!ended) return std::unexpected("loading it did not finish");
  if (ended->signal != 0) {
    return std::unexpected(std::string("loading it crashed the recogniser (") +
                           strsignal(ended->signal) + ")");
  }
  if (ended->code != 0) return std::unexpected("the recogniser could not read its files");

  if (!proof.empty()) {
    fs::create_directories(proofs, error);
    int fd = ::open(proof.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) ::close(fd);
  }
  return {};
}

}  // namespace vorel::linuxplatform
