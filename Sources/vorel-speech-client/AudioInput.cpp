#include "AudioInput.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "AudioFiles.h"
#include "ChildProcess.h"

namespace vorel::client {
namespace {

constexpr std::size_t headerBytes = 12;
constexpr std::size_t blockBytes = 9600;            // 100 ms of live audio
constexpr std::uint64_t largestSpool = 4ull << 30;  // a FLAC stream is kept whole: 4 GiB at most

// Up to `wanted` bytes of a descriptor, fewer only at its end or on Ctrl-C.
std::string readUpTo(int fd, std::size_t wanted, const std::atomic<bool>& interrupted) {
  std::string bytes(wanted, '\0');
  std::size_t got = 0;
  while (got < wanted && !interrupted) {
    ssize_t n = ::read(fd, bytes.data() + got, wanted - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

enum class Header { none, flac, streamable };

// What a stream's first bytes say it is: FLAC (which libsndfile reads only from a file), a
// container libsndfile reads as it comes (WAV, Ogg, MP3), or none (raw samples).
Header headerOf(std::string_view head) {
  if (head.starts_with("fLaC")) return Header::flac;
  bool riff = head.starts_with("RIFF") || head.starts_with("RIFX") || head.starts_with("RF64");
  if (riff && head.size() >= 12 && head.substr(8, 4) == "WAVE") return Header::streamable;
  if (head.starts_with("OggS") || head.starts_with("ID3")) return Header::streamable;
  return Header::none;
}

std::expected<void, std::string> readFile(linuxplatform::SoundFile& file,
                                          const AudioInput::Take& take,
                                          const std::atomic<bool>& interrupted) {
  auto read = file.read(
      liveRate, [&](std::span<const std::int16_t> block) { return !interrupted && take(block); });
  if (!read) return std::unexpected(read.error().description);
  return {};
}

class FileInput final : public AudioInput {
 public:
  explicit FileInput(std::shared_ptr<linuxplatform::SoundFile> file) : file_(std::move(file)) {}
  std::expected<void, std::string> read(const Take& take,
                                        const std::atomic<bool>& interrupted) override {
    return readFile(*file_, take, interrupted);
  }

 private:
  std::shared_ptr<linuxplatform::SoundFile> file_;
};

// Raw live-format samples on standard input, after the bytes already read to look for a header.
class RawInput final : public AudioInput {
 public:
  explicit RawInput(std::string start) : pending_(std::move(start)) {}
  std::expected<void, std::string> read(const Take& take,
                                        const std::atomic<bool>& interrupted) override {
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
      if (interrupted) return {};
      std::string more = readUpTo(STDIN_FILENO, blockBytes, interrupted);
      if (more.empty()) return {};  // a last odd byte is no sample
      pending_ += more;
    }
  }

 private:
  std::string pending_;
};

// A container on standard input read as it comes: a thread of its own copies the header bytes
// already read and the rest of standard input into a pipe that libsndfile reads.
class StreamInput final : public AudioInput {
 public:
  static std::expected<std::unique_ptr<AudioInput>, std::string> open(std::string start) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return std::unexpected(std::string("no pipe"));
    int stop = ::eventfd(0, EFD_CLOEXEC);
    std::unique_ptr<StreamInput> input(new StreamInput(stop));
    // Ctrl-C is for the thread that reads the audio, not for the copier.
    sigset_t interrupt, previous;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    pthread_sigmask(SIG_BLOCK, &interrupt, &previous);
    input->feeder_ = std::jthread([start = std::move(start), out = ends[1], stop] {
      copy(start, out, stop);
      ::close(out);
    });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    auto file = linuxplatform::SoundFile::openStream(ends[0], "the audio on standard input");
    if (!file) return std::unexpected(file.error().description);
    input->file_ = *file;
    return input;
  }
  ~StreamInput() override {
    file_.reset();  // closes the pipe's read end: a copy under way stops writing
    std::uint64_t one = 1;
    if (::write(stop_, &one, sizeof one) < 0) {
      // The copier also ends at the end of standard input.
    }
    if (feeder_.joinable()) feeder_.join();
    ::close(stop_);
  }
  std::expected<void, std::string> read(const Take& take,
                                        const std::atomic<bool>& interrupted) override {
    return readFile(*file_, take, interrupted);
  }

 private:
  explicit StreamInput(int stop) : stop_(stop) {}

  static void copy(const std::string& start, int out, int stop) {
    if (!writeAll(out, start)) return;
    std::array<char, 65536> buffer;
    for (;;) {
      pollfd ready[2] = {{STDIN_FILENO, POLLIN, 0}, {stop, POLLIN, 0}};
      if (::poll(ready, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (ready[1].revents) return;
      ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || !writeAll(out, std::string_view(buffer.data(), static_cast<std::size_t>(n))))
        return;
    }
  }

  int stop_;
  std::shared_ptr<linuxplatform::SoundFile> file_;
  std::jthread feeder_;  // last: joined first, while stop_ is still open
};

std::string temporaryFolder() {
  const char* folder = std::getenv("TMPDIR");
  return folder && *folder ? folder : "/tmp";
}

// Writes `start` and the rest of standard input to a file, 4 GiB at most; whether all of it fit.
bool keepStandardInput(int fd, const std::string& start) {
  std::atomic<bool> never{false};
  std::uint64_t total = start.size();
  if (!writeAll(fd, start)) return false;
  for (std::string bytes; !(bytes = readUpTo(STDIN_FILENO, 1 << 16, never)).empty();) {
    total += bytes.size();
    if (total > largestSpool || !writeAll(fd, bytes)) return false;
  }
  return true;
}

// A FLAC stream on standard input, kept whole in a temporary file first.
std::expected<std::unique_ptr<AudioInput>, std::string> spooled(std::string start) {
  std::string folder = temporaryFolder();
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    return std::unexpected("no room for the audio on standard input in " + folder + " (" +
                           std::strerror(errno) + ")");
  }
  if (!keepStandardInput(fd, start)) {
    ::close(fd);
    return std::unexpected("the audio on standard input could not be kept in " + folder);
  }
  ::lseek(fd, 0, SEEK_SET);
  auto file = linuxplatform::SoundFile::openStream(fd, "the audio on standard input");
  if (!file) return std::unexpected(file.error().description);
  return std::make_unique<FileInput>(*file);
}

// The default microphone through PulseAudio (PipeWire serves the same API). Its main loop runs
// on a thread of its own, started and stopped (joined) with the microphone, and writes what it
// records into a pipe; the reader waits on the pipe, where Ctrl-C reaches it even when the
// source delivers nothing.
class Microphone final : public AudioInput {
 public:
  static std::expected<std::unique_ptr<AudioInput>, std::string> open() {
    std::unique_ptr<Microphone> microphone(new Microphone());
    if (auto started = microphone->start(); !started) {
      return std::unexpected("no microphone to listen to (" + started.error() +
                             "); give an audio file, or - for audio on standard input");
    }
    return microphone;
  }

  ~Microphone() override {
    // The read end first: a main loop blocked writing to a full pipe gets EPIPE and lets go of its
    // lock.
    if (recorded_[0] >= 0) ::close(recorded_[0]);
    recorded_[0] = -1;
    if (loop_) {
      pa_threaded_mainloop_lock(loop_);
      if (stream_) {
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
      }
      if (context_) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
      }
      pa_threaded_mainloop_unlock(loop_);
      pa_threaded_mainloop_stop(loop_);  // joins its thread
      pa_threaded_mainloop_free(loop_);
    }
    if (recorded_[0] >= 0) ::close(recorded_[0]);
    if (recorded_[1] >= 0) ::close(recorded_[1]);
  }

  bool live() const override { return true; }

  std::expected<void, std::string> read(const Take& take,
                                        const std::atomic<bool>& interrupted) override {
    std::string pending;
    std::vector<std::int16_t> samples;
    std::array<char, blockBytes> buffer;
    while (!interrupted) {
      ssize_t n = ::read(recorded_[0], buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::unexpected(std::string("the microphone stopped"));
      pending.append(buffer.data(), static_cast<std::size_t>(n));
      samples.resize(pending.size() / 2);
      std::memcpy(samples.data(), pending.data(), samples.size() * 2);  // s16le, as asked
      pending.erase(0, samples.size() * 2);
      if (!take(samples)) break;
    }
    return {};
  }

 private:
  Microphone() = default;

  std::expected<void, std::string> start() {
    if (::pipe2(recorded_, O_CLOEXEC) != 0) return std::unexpected(std::string("no pipe"));
    // Room for ten seconds of audio: the reader is never that far behind.
    ::fcntl(recorded_[1], F_SETPIPE_SZ, 1 << 20);
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) return std::unexpected(std::string("no PulseAudio main loop"));
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "vorel-speech-client");
    if (!context_) return std::unexpected(std::string("no PulseAudio context"));
    pa_context_set_state_callback(context_, &Microphone::changed, this);
    pa_threaded_mainloop_lock(loop_);
    auto unlock = [&](std::string why) {
      pa_threaded_mainloop_unlock(loop_);
      return std::unexpected(std::move(why));
    };
    if (pa_threaded_mainloop_start(loop_) < 0) return unlock("the main loop did not start");
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      return unlock(pa_strerror(pa_context_errno(context_)));
    }
    for (;;) {
      auto state = pa_context_get_state(context_);
      if (state == PA_CONTEXT_READY) break;
      if (!PA_CONTEXT_IS_GOOD(state)) return unlock(pa_strerror(pa_context_errno(context_)));
      pa_threaded_mainloop_wait(loop_);
    }
    pa_sample_spec spec{PA_SAMPLE_S16LE, liveRate, 1};
    stream_ = pa_stream_new(context_, "dictation", &spec, nullptr);
    if (!stream_) return unlock(pa_strerror(pa_context_errno(context_)));
    pa_stream_set_state_callback(stream_, &Microphone::changed, this);
    pa_stream_set_read_callback(stream_, &Microphone::recorded, this);
    // Fragments of 100 ms.
    pa_buffer_attr buffering{static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1),
                             static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1),
                             static_cast<std::uint32_t>(blockBytes)};
    if (pa_stream_connect_record(stream_, nullptr, &buffering, PA_STREAM_ADJUST_LATENCY) < 0) {
      return unlock(pa_strerror(pa_context_errno(context_)));
    }
    for (;;) {
      auto state = pa_stream_get_state(stream_);
      if (state == PA_STREAM_READY) break;
      if (!PA_STREAM_IS_GOOD(state)) return unlock(pa_strerror(pa_context_errno(context_)));
      pa_threaded_mainloop_wait(loop_);
    }
    pa_threaded_mainloop_unlock(loop_);
    return {};
  }

  // On the main loop's thread.
  static void changed(pa_context*, void* self) { static_cast<Microphone*>(self)->stateChanged(); }
  static void changed(pa_stream*, void* self) { static_cast<Microphone*>(self)->stateChanged(); }
  void stateChanged() {
    bool failed = (context_ && !PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) ||
                  (stream_ && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)));
    if (failed && recorded_[1] >= 0) {
      ::close(recorded_[1]);  // the reader sees the end
      recorded_[1] = -1;
    }
    pa_threaded_mainloop_signal(loop_, 0);
  }
  static void recorded(pa_stream* stream, std::size_t, void* self) {
    auto* microphone = static_cast<Microphone*>(self);
    const void* data = nullptr;
    std::size_t size = 0;
    while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &data, &size) == 0 &&
           size > 0) {
      if (microphone->recorded_[1] >= 0) {
        // A hole in the recording is silence.
        std::string bytes =
            data ? std::string(static_cast<const char*>(data), size) : std::string(size, '\0');
        writeAll(microphone->recorded_[1], bytes);
      }
      pa_stream_drop(stream);
    }
  }

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;  // guarded by the main loop's lock, like stream_
  pa_stream* stream_ = nullptr;
  int recorded_[2] = {-1, -1};  // the write end is the main loop's
};

}  // namespace

std::expected<TemporaryFile, std::string> TemporaryFile::holdingStandardInput() {
  if (::isatty(STDIN_FILENO)) {
    return std::unexpected(
        std::string("standard input is a terminal, not audio: pipe an audio file into it"));
  }
  std::string folder = temporaryFolder();
  std::string name = folder + "/vorel-speech-input-XXXXXX";
  int fd = ::mkstemp(name.data());
  if (fd < 0) {
    return std::unexpected("no room for the audio on standard input in " + folder + " (" +
                           std::strerror(errno) + ")");
  }
  TemporaryFile file(name);
  bool kept = keepStandardInput(fd, {});
  ::close(fd);
  if (!kept) return std::unexpected("the audio on standard input could not be kept in " + folder);
  return file;
}

namespace {

// The one temporary file there is at a time, for the signal handler: its path, and whether it
// is set. Written before the flag is raised and only while it is down.
char pendingTemporary[4096];
std::atomic<bool> temporaryPending{false};

}  // namespace

TemporaryFile::TemporaryFile(std::string path) : path_(std::move(path)) {
  if (path_.size() < sizeof pendingTemporary && !temporaryPending) {
    std::memcpy(pendingTemporary, path_.c_str(), path_.size() + 1);
    temporaryPending = true;
  }
}

TemporaryFile::~TemporaryFile() {
  if (path_.empty()) return;
  if (temporaryPending && path_ == pendingTemporary) temporaryPending = false;
  ::unlink(path_.c_str());
}

void removeTemporaryFileNow() {
  if (temporaryPending.exchange(false)) ::unlink(pendingTemporary);
}

std::expected<std::unique_ptr<AudioInput>, std::string> AudioInput::open(
    const std::string& source) {
  if (source.empty()) return Microphone::open();
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
  std::atomic<bool> never{false};
  std::string start = readUpTo(STDIN_FILENO, headerBytes, never);
  switch (headerOf(start)) {
    case Header::flac:
      return spooled(std::move(start));
    case Header::streamable:
      return StreamInput::open(std::move(start));
    case Header::none:
      break;
  }
  return std::make_unique<RawInput>(std::move(start));
}

}  // namespace vorel::client
