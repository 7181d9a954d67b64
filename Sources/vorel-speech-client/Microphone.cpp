#include "Microphone.h"

#include <fcntl.h>
#include <poll.h>
#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string_view>
#include <vector>

#include "ChildProcess.h"

namespace vorel::client {
namespace {

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
    std::array<char, liveBlockBytes> buffer;
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
                             static_cast<std::uint32_t>(liveBlockBytes)};
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

std::expected<std::unique_ptr<AudioInput>, std::string> openMicrophone(const Stop& stop) {
  return Microphone::open(stop);
}

}  // namespace vorel::client
