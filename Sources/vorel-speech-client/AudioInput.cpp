#include "AudioInput.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "AudioFiles.h"
#include "ChildProcess.h"
#include "Interrupt.h"
#include "PersonalText.h"

namespace vorel::client {
namespace {

constexpr std::size_t headerBytes = 12;
constexpr std::size_t rawCheckBytes = 4096;         // read before taking input for raw samples
constexpr std::size_t blockBytes = 9600;            // 100 ms of live audio
constexpr std::uint64_t largestSpool = 4ull << 30;  // a FLAC stream is kept whole: 4 GiB at most

const std::string standardInput = "standard input";

std::string cannotRead(const std::string& why) {
  return "cannot read " + standardInput + ": " + why;
}

// Up to `wanted` bytes of standard input, fewer only at its end or once stopped.
std::expected<std::string, std::string> readUpTo(std::size_t wanted, const Stop& stop) {
  if (standardInputWasClosed()) return std::unexpected(cannotRead("it is closed"));
  std::string bytes(wanted, '\0');
  std::size_t got = 0;
  while (got < wanted) {
    auto n = readOrStop(STDIN_FILENO, std::span(bytes).subspan(got), stop);
    if (!n) return std::unexpected(cannotRead(n.error()));
    if (*n == 0) break;
    got += *n;
  }
  bytes.resize(got);
  return bytes;
}

// What a stream's header says it is: a container libsndfile reads only from a file (FLAC,
// AIFF, AU, CAF), one it reads as it comes (WAV, Ogg), or nothing.
std::optional<InputHead::Kind> kindOfHeader(std::string_view head) {
  if (head.starts_with("fLaC") || head.starts_with(".snd") || head.starts_with("caff")) {
    return InputHead::Kind::file;
  }
  if (head.starts_with("FORM") && head.size() >= 12 &&
      (head.substr(8, 4) == "AIFF" || head.substr(8, 4) == "AIFC")) {
    return InputHead::Kind::file;
  }
  bool riff = head.starts_with("RIFF") || head.starts_with("RIFX") || head.starts_with("RF64");
  if (riff && head.size() >= 12 && head.substr(8, 4) == "WAVE") return InputHead::Kind::stream;
  if (head.starts_with("OggS")) return InputHead::Kind::stream;
  return std::nullopt;
}

// What bytes that start like no audio container hold when they are no raw samples either (text,
// or a file of another kind whose mark they start with), or nothing. Raw samples of any sound hold
// bytes that are no text (a quiet sample's high byte is 0x00 or 0xff) well within the first
// kilobytes.
std::optional<std::string> notAudio(std::string_view head) {
  struct Mark {
    std::string_view bytes;
    std::size_t at;
    const char* what;
  };
  static constexpr Mark marks[] = {
      {"%PDF-", 0, "a PDF document, not audio"},
      {"PK\x03\x04", 0, "a ZIP archive, not audio"},
      {"\x89PNG", 0, "a PNG image, not audio"},
      {"GIF8", 0, "a GIF image, not audio"},
      {"\x7f"
       "ELF",
       0, "a program, not audio"},
      {"\x1a\x45\xdf\xa3", 0,
       "Matroska or WebM, which is not read: convert it to FLAC or WAV first"},
      {"ftyp", 4, "MP4 or M4A, which is not read: convert it to FLAC or WAV first"},
  };
  for (const auto& mark : marks) {
    if (head.size() >= mark.at + mark.bytes.size() &&
        head.substr(mark.at, mark.bytes.size()) == mark.bytes) {
      return std::string(mark.what);
    }
  }
  if (linuxplatform::isText(head)) return std::string("text, not audio");
  return std::nullopt;
}

// The length in bytes of the MPEG audio frame whose header starts `bytes`, or 0 when they are
// no frame header (sync, then a version, layer, bitrate and rate that exist).
std::size_t mpegFrameLength(std::string_view bytes) {
  if (bytes.size() < 4) return 0;
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (byte(0) != 0xff || (byte(1) & 0xe0) != 0xe0) return 0;
  int version = (byte(1) >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
  int layer = 4 - ((byte(1) >> 1) & 3);
  int bitrateIndex = byte(2) >> 4;
  int rateIndex = (byte(2) >> 2) & 3;
  if (version == 1 || layer == 4 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) {
    return 0;
  }
  static constexpr int kbps[2][3][15] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  static constexpr int rates[3] = {44100, 48000, 32000};
  bool mpeg1 = version == 3;
  int bitrate = kbps[mpeg1 ? 0 : 1][layer - 1][bitrateIndex] * 1000;
  int rate = rates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  int padding = (byte(2) >> 1) & 1;
  if (layer == 1) return static_cast<std::size_t>((12 * bitrate / rate + padding) * 4);
  int perFrame = layer == 3 && !mpeg1 ? 72 : 144;
  return static_cast<std::size_t>(perFrame * bitrate / rate + padding);
}

// The size of the ID3v2 tag that starts `head` (header, body and footer), or 0 for none.
std::size_t id3TagSize(std::string_view head) {
  if (head.size() < 10 || !head.starts_with("ID3")) return 0;
  std::size_t size = 0;
  for (int i = 6; i < 10; ++i) {
    auto digit = static_cast<unsigned char>(head[i]);
    if (digit & 0x80) return 0;  // sizes are 7 bits a byte
    size = size << 7 | digit;
  }
  bool footer = static_cast<unsigned char>(head[5]) & 0x10;
  return 10 + size + (footer ? 10 : 0);
}

// Skips `count` bytes of standard input; whether they were all there.
std::expected<bool, std::string> skipInput(std::size_t count, const Stop& stop) {
  while (count > 0 && !stop.raised()) {
    auto skipped = readUpTo(std::min<std::size_t>(count, 65536), stop);
    if (!skipped) return std::unexpected(skipped.error());
    if (skipped->empty()) return false;
    count -= skipped->size();
  }
  return count == 0;
}

}  // namespace

std::expected<InputHead, std::string> readInputHead(const Stop& stop) {
  auto start = readUpTo(headerBytes, stop);
  if (!start) return std::unexpected(start.error());
  if (stop.raised()) return std::unexpected(std::string("stopped"));
  if (start->empty()) {
    return std::unexpected(std::string(standardInput + " is empty: pipe audio into it"));
  }
  // An ID3 tag says nothing of what follows and libsndfile stumbles on some (an empty one):
  // it is skipped, and MP3 frames must follow. MP3 is kept whole in a file first, as FLAC is:
  // libsndfile's MP3 reader overruns its buffer on a stream that cannot seek.
  if (std::size_t tag = id3TagSize(*start)) {
    std::string after = tag < start->size() ? start->substr(tag) : std::string();
    auto skipped = skipInput(tag - std::min(tag, start->size()), stop);
    if (!skipped) return std::unexpected(skipped.error());
    if (stop.raised()) return std::unexpected(std::string("stopped"));
    auto more = readUpTo(headerBytes - after.size(), stop);
    if (!more) return std::unexpected(more.error());
    start = after + *more;
    if (!*skipped || !mpegFrameLength(*start)) {
      return std::unexpected(standardInput + " holds an ID3 tag and no MP3 audio after it");
    }
    return InputHead{InputHead::Kind::file, std::move(*start)};
  }
  if (auto kind = kindOfHeader(*start)) return InputHead{*kind, std::move(*start)};
  // MP3 without a tag is told by two frames in a row: one frame header may be chance in raw
  // samples, two at the right distance are not.
  if (std::size_t frame = mpegFrameLength(*start); frame > 0 && frame < 8192) {
    auto rest = readUpTo(frame + 4 - std::min(frame + 4, start->size()), stop);
    if (!rest) return std::unexpected(rest.error());
    *start += *rest;
    if (start->size() >= frame + 4 && mpegFrameLength(std::string_view(*start).substr(frame))) {
      return InputHead{InputHead::Kind::file, std::move(*start)};
    }
  }
  // Raw samples, unless what comes first says otherwise.
  auto more = readUpTo(rawCheckBytes - std::min(rawCheckBytes, start->size()), stop);
  if (!more) return std::unexpected(more.error());
  if (stop.raised()) return std::unexpected(std::string("stopped"));
  *start += *more;
  if (auto what = notAudio(*start)) {
    return std::unexpected(standardInput + " holds " + *what);
  }
  return InputHead{InputHead::Kind::raw, std::move(*start)};
}

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
      auto more = readUpTo(blockBytes, stop);
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
        copyError_ = cannotRead(n.error());
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

std::string temporaryFolder() {
  const char* folder = std::getenv("TMPDIR");
  return folder && *folder ? folder : "/tmp";
}

// A WAV header for `dataBytes` of raw live-format samples.
std::string wavHeader(std::uint64_t dataBytes) {
  auto size = static_cast<std::uint32_t>(std::min<std::uint64_t>(dataBytes, 0xffffffffu - 36));
  std::string header;
  auto put = [&](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) header += static_cast<char>((value >> (8 * i)) & 0xff);
  };
  header += "RIFF";
  put(36 + size, 4);
  header += "WAVEfmt ";
  put(16, 4);
  put(1, 2);  // PCM
  put(1, 2);  // mono
  put(liveRate, 4);
  put(liveRate * 2, 4);
  put(2, 2);
  put(16, 2);
  header += "data";
  put(size, 4);
  return header;
}

// An unnamed file holding `start` and the rest of standard input, 4 GiB at most, behind a WAV
// header when `raw`; its descriptor, at its start.
std::expected<int, std::string> spool(const std::string& start, const Stop& stop, int flags,
                                      bool raw = false) {
  std::string folder = temporaryFolder();
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | flags, 0600);
  if (fd < 0) {
    return std::unexpected("cannot keep standard input in " + folder + ": " + std::strerror(errno));
  }
  auto fail = [&](std::string why) {
    ::close(fd);
    return std::unexpected(std::move(why));
  };
  auto keep = [&](std::string_view bytes) {
    errno = ENOSPC;
    return writeAll(fd, bytes);
  };
  std::string header = raw ? wavHeader(0) : std::string();
  if (!keep(header) || !keep(start)) {
    return fail("cannot keep standard input in " + folder + ": " + std::strerror(errno));
  }
  std::uint64_t total = start.size();
  std::array<char, 65536> buffer;
  for (;;) {
    auto n = readOrStop(STDIN_FILENO, buffer, stop);
    if (!n) return fail(cannotRead(n.error()));
    if (stop.raised()) return fail("stopped");
    if (*n == 0) break;
    total += *n;
    if (total > largestSpool) {
      return fail("standard input holds more than 4 GiB, which is no recording");
    }
    if (!keep(std::string_view(buffer.data(), *n))) {
      return fail("cannot keep standard input in " + folder + ": " + std::strerror(errno));
    }
  }
  if (raw) {
    header = wavHeader(total);
    if (::pwrite(fd, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) {
      return fail("cannot keep standard input in " + folder + ": " + std::strerror(errno));
    }
  }
  if (::lseek(fd, 0, SEEK_SET) != 0) return fail(cannotRead(std::strerror(errno)));
  return fd;
}

// A FLAC or MP3 stream on standard input, kept whole in a temporary file first.
std::expected<std::unique_ptr<AudioInput>, std::string> spooled(const std::string& start,
                                                                const Stop& stop) {
  auto fd = spool(start, stop, O_CLOEXEC);
  if (!fd) return std::unexpected(fd.error());
  auto file = linuxplatform::SoundFile::openStream(*fd, "the audio on standard input");
  if (!file) return std::unexpected(file.error().description);
  return std::make_unique<FileInput>(*file);
}

// The default microphone through PulseAudio (PipeWire serves the same API). Its main loop runs
// on a thread of its own, started and stopped (joined) with the microphone, and writes what it
// records into a pipe; the reader waits on the pipe, where Ctrl-C reaches it even when the
// source delivers nothing.
class Microphone final : public AudioInput {
 public:
  static std::expected<std::unique_ptr<AudioInput>, std::string> open(const Stop& stop) {
    std::unique_ptr<Microphone> microphone(new Microphone(stop));
    if (auto started = microphone->start(); !started) {
      if (stop.raised()) return std::unexpected(std::string("stopped"));
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
      if (stopWatch_) pa_threaded_mainloop_get_api(loop_)->io_free(stopWatch_);
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

  std::expected<void, std::string> read(const Take& take, const Stop& stop) override {
    std::string pending;
    std::vector<std::int16_t> samples;
    std::array<char, blockBytes> buffer;
    for (;;) {
      auto n = readOrStop(recorded_[0], buffer, stop);
      if (!n) return std::unexpected("the microphone could not be read (" + n.error() + ")");
      if (stop.raised()) return {};
      if (*n == 0) return std::unexpected(std::string("the microphone stopped"));
      pending.append(buffer.data(), *n);
      samples.resize(pending.size() / 2);
      std::memcpy(samples.data(), pending.data(), samples.size() * 2);  // s16le, as asked
      pending.erase(0, samples.size() * 2);
      if (!take(samples)) return {};
    }
  }

 private:
  explicit Microphone(const Stop& stop) : stop_(stop) {}

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
    // The waits below also end on the stop: a sound server that accepts but never answers
    // must not hold Ctrl-C up.
    const pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    stopWatch_ = api->io_new(const_cast<pa_mainloop_api*>(api), stop_.fd(), PA_IO_EVENT_INPUT,
                             &Microphone::stopped, this);
    auto unlock = [&](std::string why) {
      pa_threaded_mainloop_unlock(loop_);
      return std::unexpected(std::move(why));
    };
    if (pa_threaded_mainloop_start(loop_) < 0) return unlock("the main loop did not start");
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      return unlock(pa_strerror(pa_context_errno(context_)));
    }
    for (;;) {
      if (stop_.raised()) return unlock("stopped");
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
      if (stop_.raised()) return unlock("stopped");
      auto state = pa_stream_get_state(stream_);
      if (state == PA_STREAM_READY) break;
      if (!PA_STREAM_IS_GOOD(state)) return unlock(pa_strerror(pa_context_errno(context_)));
      pa_threaded_mainloop_wait(loop_);
    }
    pa_threaded_mainloop_unlock(loop_);
    return {};
  }

  // On the main loop's thread.
  static void stopped(pa_mainloop_api* api, pa_io_event* event, int, pa_io_event_flags_t,
                      void* self) {
    api->io_enable(event, PA_IO_EVENT_NULL);  // the stop stays raised: once is enough
    pa_threaded_mainloop_signal(static_cast<Microphone*>(self)->loop_, 0);
  }
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

  const Stop& stop_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_io_event* stopWatch_ = nullptr;  // guarded by the main loop's lock, like context_
  pa_context* context_ = nullptr;     // guarded by the main loop's lock, like stream_
  pa_stream* stream_ = nullptr;
  int recorded_[2] = {-1, -1};  // the write end is the main loop's
};

}  // namespace

namespace {

std::atomic<bool> inputClosed{false};

}  // namespace

bool standardInputWasClosed() {
  return inputClosed;
}

void noteStandardInputClosed() {
  inputClosed = true;
}

std::expected<int, std::string> keepStandardInput(const Stop& stop) {
  if (::isatty(STDIN_FILENO)) {
    return std::unexpected(
        std::string("standard input is a terminal, not audio: pipe an audio file into it"));
  }
  if (standardInputWasClosed()) return std::unexpected(cannotRead("it is closed"));
  auto head = readInputHead(stop);
  if (!head) return std::unexpected(head.error());
  return spool(head->start, stop, 0, head->kind == InputHead::Kind::raw);
}

std::expected<std::unique_ptr<AudioInput>, std::string> AudioInput::open(const std::string& source,
                                                                         const Stop& stop) {
  if (source.empty()) return Microphone::open(stop);
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
