// Faults from outside, against the built helper: a client that goes away or stalls, input far
// larger or stranger than it should be, damaged audio files, and a misbehaving download server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <thread>

#include "Fixtures.h"
#include "HttpServer.h"
#include "Process.h"
#include "Sha256.h"
#include "SpeechWire.h"

extern char** environ;

namespace vorel::testing {
namespace {

const std::string helper = VOREL_HELPER;

std::string header(std::uint32_t n) {
  return {static_cast<char>(n & 0xff), static_cast<char>(n >> 8 & 0xff),
          static_cast<char>(n >> 16 & 0xff), static_cast<char>(n >> 24 & 0xff)};
}

std::string speechFrames(double seconds) {
  auto raw = scratch() / "fault-speech.raw";
  run("sox -D " + librivox("0870").string() + " -r 48000 -c 1 -b 16 -e signed-integer -t raw " +
      raw.string() + " trim 0 " + std::to_string(seconds));
  std::ifstream in(raw, std::ios::binary);
  std::string audio((std::istreambuf_iterator<char>(in)), {});
  std::string frames;
  for (std::size_t at = 0; at < audio.size(); at += 9600) {
    auto payload = audio.substr(at, 9600);
    frames += header(static_cast<std::uint32_t>(payload.size())) + payload;
  }
  return frames;
}

ProcessResult ask(const std::string& input, std::function<void(int)> writer = {}) {
  ProcessOptions options;
  options.environment = {"XDG_DATA_HOME=" + (scratch() / "fault-home").string()};
  options.writer = std::move(writer);
  return runProcess(helper, input, options);
}

// Starts the helper with its standard output already closed by the reader; returns how it ended.
int statusWithOutputClosed(const std::string& input) {
  int in[2], out[2];
  EXPECT_EQ(pipe2(in, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  char* argv[] = {const_cast<char*>(helper.c_str()), nullptr};
  pid_t pid;
  EXPECT_EQ(posix_spawn(&pid, helper.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(out[0]);  // the client has gone before the helper answers
  signal(SIGPIPE, SIG_IGN);
  writeAll(in[1], input);
  close(in[1]);
  int status = 0;
  for (int waited = 0; waited < 3000; ++waited) {  // 30 s at most: it must never hang
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

TEST(Faults, AClientThatClosesItsOutputEndsTheHelperByBrokenPipe) {
  EXPECT_EQ(statusWithOutputClosed("{\"op\":\"platform\"}\n"), 128 + SIGPIPE);
  EXPECT_EQ(statusWithOutputClosed("{\"op\":\"listen\",\"locale\":\"en-US\"}\n" + speechFrames(3)),
            128 + SIGPIPE);
}

TEST(Faults, InputThatStallsThenResumesIsServed) {
  auto line = ask("", [](int fd) {
    writeAll(fd, "{\"op\":\"plat");
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    writeAll(fd, "form\"}\n");
  });
  EXPECT_EQ(linesOf(line.out),
            std::vector<std::string>{R"({"floorMet":true,"osVersion":"macOS 26.0.0"})"});

  auto frames = speechFrames(3);
  auto listened = ask("", [&](int fd) {
    writeAll(
        fd, "{\"op\":\"listen\",\"locale\":\"en-US\"}\n" + frames.substr(0, frames.size() / 2 + 7));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // in the middle of a frame
    writeAll(fd, frames.substr(frames.size() / 2 + 7));
  });
  EXPECT_EQ(listened.status, 0);
  auto lines = linesOf(listened.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), R"({"kind":"done"})");
  EXPECT_NE(listened.out.find("\"segments\""), std::string::npos);
}

TEST(Faults, RequestLinesPastAMegabyteAreNotUnderstood) {
  const std::string notUnderstood =
      R"({"kind":"failed","reason":"the speech helper did not understand the request"})";
  auto platformWithPad = [](std::size_t lineBytes) {
    std::string head = "{\"op\":\"platform\",\"pad\":\"";
    return head + std::string(lineBytes - head.size() - 2, 'a') + "\"}\n";
  };
  struct Case {
    const char* name;
    std::string input;
    std::string line;
    int status;
  };
  for (const auto& c : std::vector<Case>{
           {"a megabyte exactly", platformWithPad(1 << 20),
            R"({"floorMet":true,"osVersion":"macOS 26.0.0"})", 0},
           {"a byte more", platformWithPad((1 << 20) + 1), notUnderstood, 2},
           {"ten megabytes", platformWithPad(10 << 20), notUnderstood, 2},
           {"twenty megabytes of [ and no line feed", std::string(20 << 20, '['), notUnderstood, 2},
       }) {
    SCOPED_TRACE(c.name);
    auto result = ask(c.input);
    EXPECT_EQ(linesOf(result.out), std::vector<std::string>{c.line});
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, "");
  }
}

TEST(Faults, AFrameStreamOfRandomBytes) {
  std::mt19937 random(20261209);
  std::string noise(1 << 20, '\0');
  for (auto& c : noise) c = static_cast<char>(random());
  auto result = ask("{\"op\":\"listen\",\"locale\":\"en-US\"}\n" + noise);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "");
  auto lines = linesOf(result.out);
  ASSERT_FALSE(lines.empty());
  auto last = Wire::decode<SpeechEvent>(lines.back());
  ASSERT_TRUE(last && last->is<SpeechEvent::Failed>());
  EXPECT_TRUE(std::get<SpeechEvent::Failed>(last->value)
                  .reason.starts_with("the speech helper could not read the audio: "))
      << lines.back();
}

std::filesystem::path damaged(const std::string& name,
                              const std::function<void(std::string&)>& damage) {
  std::ifstream in(librivox("0880"), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  damage(bytes);
  auto path = scratch() / name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

TEST(Faults, DamagedAudioFiles) {
  struct Case {
    std::filesystem::path file;
    std::string last;   // the last line's beginning
    std::size_t lines;  // 0: any number
  };
  auto zeroRate = [](std::string& b) { b.replace(24, 4, std::string(4, '\0')); };  // WAV rate field
  for (const auto& c : std::vector<Case>{
           {damaged("truncated.wav", [](std::string& b) { b.resize(b.size() / 2); }),
            R"({"kind":"done"})", 0},
           {damaged("empty.wav", [](std::string& b) { b.clear(); }),
            R"({"kind":"failed","reason":"the audio file )", 1},
           {damaged("zero-rate.wav", zeroRate), R"({"kind":"failed","reason":"the audio file )", 1},
           {damaged("corrupt-header.wav",
                    [](std::string& b) { b.replace(0, 16, "NOT A WAVE FILE!"); }),
            R"({"kind":"failed","reason":"the audio file )", 1},
       }) {
    SCOPED_TRACE(c.file.filename().string());
    auto result =
        ask(R"({"op":"transcribe","locale":"en-US","path":")" + c.file.string() + "\"}\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    auto lines = linesOf(result.out);
    ASSERT_FALSE(lines.empty());
    if (c.lines) {
      EXPECT_EQ(lines.size(), c.lines) << result.out;
    }
    EXPECT_TRUE(lines.back().starts_with(c.last)) << lines.back();
  }
}

TEST(Faults, ADownloadThatStallsThenResumesInstalls) {
  auto archive = scratch() / "fault-model.tar";
  run("tar -cf " + archive.string() + " -C /usr/share/pocketsphinx/model en-us");
  std::ifstream in(archive, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  struct Case {
    const char* name;
    HttpServer::Fault fault;
    std::size_t catalogSize;
    std::string last;
  };
  for (
      const auto& c : std::vector<Case>{
          {"stall", HttpServer::Fault::stallHalfway, bytes.size(), R"({"kind":"installed"})"},
          {"wrong size", HttpServer::Fault::none, bytes.size() + 10,
           R"({"kind":"failed","reason":"the model for fr-FR could not be installed: the download from )"},
      }) {
    SCOPED_TRACE(c.name);
    HttpServer server;
    server.serve("/fr.tar", bytes, c.fault);
    auto home = scratch() / (std::string("fault-install-") + c.name);
    std::filesystem::remove_all(home);
    std::filesystem::create_directories(home / "vorel-speech");
    std::ofstream(home / "vorel-speech" / "catalog.json")
        << R"({"models":[{"locale":"fr-FR","url":")" << server.url("/fr.tar") << R"(","sha256":")"
        << real::sha256Hex(bytes) << R"(","size":)" << c.catalogSize << "}]}";
    std::thread releasing([&] {
      std::this_thread::sleep_for(std::chrono::seconds(2));
      server.release();
    });
    ProcessOptions options;
    options.environment = {"XDG_DATA_HOME=" + home.string()};
    auto result = runProcess(helper, "{\"op\":\"install-assets\",\"locale\":\"fr-FR\"}\n", options);
    releasing.join();
    auto lines = linesOf(result.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.back().starts_with(c.last)) << lines.back();
    EXPECT_EQ(result.status, 0);
  }
}

}  // namespace
}  // namespace vorel::testing
