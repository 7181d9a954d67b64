#include "AudioInput.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "AudioFiles.h"
#include "ChildProcess.h"
#include "InputSpool.h"
#include "Interrupt.h"
#include "Microphone.h"
#include "StandardInput.h"

namespace vorel::client {
namespace {


std::expected<void, std::string> readFile(linuxplatform::SoundFile& file,
                                          const AudioInput::Take& take, const Stop& stop) {
  auto read = file.read(
      liveRate, [&](std::span<const std::int16_t> block) { return !stop.raised() && take(block); });
  if (!read) return std::unexpected(read.error().description);
  return {};
}

class FileInput final : public AudioInput {
 public:
  explicit FileInput(std::shared_ptr<linuxplatform::SoundFile> file) : file_(std::move(file)) {}
  std::expected<void, std::string> read(const Take& take, const Stop& stop) override {
    return readFile(*file_, take, stop);
  }

 private:
  std::shared_ptr<linuxplatform::SoundFile> file_;
};

// Raw live-format samples on standard input, after the bytes already read to look for a header.
class RawInput final : public AudioInput {
 public:
  explicit RawInput(std::string start) : pending_(std::move(start)) {}
  std::expected<void, std::string> read(const Take& take, const Stop& stop) override {
    std::vector<std::int16_t> samples;
    for (;;) {
      std::size_t whole = pending_.size() / 2 * 2;
      samples.resize(whole / 2);
      for (std::size_t i = 0; i < samples.size(); ++i) {
        auto low = static_cast<unsigned char>(pending_[2 * i]);
        auto high = static_cast<unsigned char>(pending_[2 * i + 1]);
        samples[i] = static_cast<std::int16_t>(low | (high << 8));
      }
      if (!samples.empty() && !take(samples)) return {};
      pending_.erase(0, whole);
      auto more = readUpTo(liveBlockBytes, stop);
      if (!more) return std::unexpected(more.error());
      if (more->empty()) return {};  // a last odd byte is no sample
      pending_ += *more;
    }
  }

 private:
  std::string pending_;
};

// A container on standard input read as it comes: a thread of its own copies the header bytes
// already read and the rest of standard input into a pipe that libsndfile reads. The copier
// ends at the end of standard input, on the stop, or when the input is discarded; either way it
// closes the pipe, so a reader waiting in libsndfile sees its end.
class StreamInput final : public AudioInput {
 public:
  static std::expected<std::unique_ptr<AudioInput>, std::string> open(std::string start,
                                                                      const Stop& stop) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return std::unexpected(std::string("no pipe"));
    std::unique_ptr<StreamInput> input(new StreamInput());
    // Ctrl-C is for the thread that reads the audio, not for the copier.
    input->feeder_ =
        withoutStopSignals([self = input.get(), start = std::move(start), out = ends[1], &stop] {
          self->copy(start, out, stop);
          ::close(out);
        });
    auto file = linuxplatform::SoundFile::openStream(ends[0], "the audio on standard input");
    if (!file) return std::unexpected(input->copyError().value_or(file.error().description));
    input->file_ = *file;
    return input;
  }
  ~StreamInput() override {
    file_.reset();  // closes the pipe's read end: a copy under way stops writing
    discarded_.raise();
    if (feeder_.joinable()) feeder_.join();
  }
  std::expected<void, std::string> read(const Take& take, const Stop& stop) override {
    auto read = readFile(*file_, take, stop);
    if (auto failed = copyError()) return std::unexpected(*failed);
    return read;
  }

 private:
  StreamInput() = default;

  void copy(const std::string& start, int out, const Stop& stop) {
    if (!writeAll(out, start)) return;
    std::array<char, 65536> buffer;
    for (;;) {
      auto n = readOrStop(STDIN_FILENO, buffer, stop, &discarded_);
      if (!n) {
        std::lock_guard guard(mutex_);
        copyError_ = cannotReadStandardInput(n.error());
        return;
      }
      if (*n == 0 || !writeAll(out, std::string_view(buffer.data(), *n))) return;
    }
  }
  std::optional<std::string> copyError() {
    std::lock_guard guard(mutex_);
    return copyError_;
  }

  Stop discarded_;
  std::mutex mutex_;                      // guards copyError_
  std::optional<std::string> copyError_;  // why standard input could not be read
  std::shared_ptr<linuxplatform::SoundFile> file_;
  std::jthread feeder_;  // last: joined first, while discarded_ is still there
};

// A FLAC or MP3 stream on standard input, kept whole in a temporary file first.
std::expected<std::unique_ptr<AudioInput>, std::string> spooled(const std::string& start,
                                                                const Stop& stop) {
  auto fd = spoolStandardInput(start, stop, O_CLOEXEC);
  if (!fd) return std::unexpected(fd.error());
  auto file = linuxplatform::SoundFile::openStream(*fd, "the audio on standard input");
  if (!file) return std::unexpected(file.error().description);
  return std::make_unique<FileInput>(*file);
}

}  // namespace

std::expected<std::unique_ptr<AudioInput>, std::string> AudioInput::open(const std::string& source,
                                                                         const Stop& stop) {
  if (source.empty()) return openMicrophone(stop);
  if (source != "-") {
    auto file = linuxplatform::SoundFile::open(source);
    if (!file) return std::unexpected(file.error().description);
    return std::make_unique<FileInput>(*file);
  }
  if (::isatty(STDIN_FILENO)) {
    return std::unexpected(std::string(
        "standard input is a terminal, not audio: pipe audio into it, or leave out - to listen "
        "to the microphone"));
  }
  auto head = readInputHead(stop);
  if (!head) return std::unexpected(head.error());
  switch (head->kind) {
    case InputHead::Kind::file:
      return spooled(head->start, stop);
    case InputHead::Kind::stream:
      return StreamInput::open(std::move(head->start), stop);
    case InputHead::Kind::raw:
      break;
  }
  return std::make_unique<RawInput>(std::move(head->start));
}

}  // namespace vorel::client
