// The client attacked as the helper was: a failed run never changes a file of the user's, a
// failed write never passes for success, and no wait for input outlasts the first Ctrl-C.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "ChildProcess.h"
#include "Fixtures.h"
#include "Process.h"

namespace vorel::testing {
namespace {

const std::string client = VOREL_CLIENT;

std::string contentOf(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::set<std::string> namesIn(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// A bash script run with the client in $CLIENT; its exit status is the script's.
ProcessResult shell(const std::string& script, const std::vector<std::string>& environment = {}) {
  ProcessOptions options;
  options.arguments = {"-c", script};
  options.environment = environment;
  options.environment.push_back("CLIENT=" + client);
  return runProcess("/bin/bash", "", options);
}

std::string quoted(const std::filesystem::path& path) {
  return "'" + path.string() + "'";
}

TEST(ClientFiles, AFailedRunLeavesEveryFileAsItWas) {
  auto folder = scratch() / "client-files";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder / "a folder");
  std::filesystem::copy_file(librivox("0880"), folder / "a.wav");
  run("sox -D " + librivox("0880").string() + " " + (folder / "rec.flac").string());
  std::filesystem::copy_file(librivox("0880"), folder / "rec.wav");
  std::filesystem::create_symlink("a.wav", folder / "link-to-a.wav");
  std::ofstream(folder / "old.txt") << "what I wrote yesterday\n";
  std::ofstream(folder / "junk.wav") << std::string(5000, 'j');
  std::map<std::string, std::string> before;
  for (const auto& name : namesIn(folder)) {
    if (!std::filesystem::is_directory(folder / name)) before[name] = contentOf(folder / name);
  }

  struct Case {
    const char* name;
    std::string script;
    std::string reason;
  } cases[] = {
      {"the output is the recording", "$CLIENT transcribe a.wav -o a.wav",
       "cannot write a.wav: it is the audio being transcribed"},
      {"the output is a link to the recording", "$CLIENT transcribe a.wav -o link-to-a.wav",
       "cannot write link-to-a.wav: it is the audio being transcribed"},
      {"a missing recording", "$CLIENT transcribe typo.wav -o old.txt",
       "there is no audio file at typo.wav"},
      {"a file that is not audio", "$CLIENT transcribe junk.wav -o old.txt",
       "the audio file junk.wav could not be read"},
      {"two recordings, one subtitle file", "$CLIENT transcribe rec.wav rec.flac --format srt",
       "rec.wav and rec.flac would both be written to rec.srt"},
      {"an output that is one of the recordings", "$CLIENT transcribe a.json a.wav --format json",
       "cannot write a.json: it is one of the recordings"},
      {"a full device", "$CLIENT transcribe a.wav -o /dev/full",
       "cannot write /dev/full: No space left on device"},
      {"a folder", "$CLIENT transcribe a.wav -o 'a folder'",
       "cannot write a folder: it is a folder"},
      {"a line feed in a path", "$CLIENT transcribe $'new\\nline.wav' -o old.txt",
       "there is no audio file at new\\nline.wav"},
      {"standard input is the output", "$CLIENT transcribe - -o a.wav < a.wav",
       "cannot write a.wav: it is the audio being transcribed"},
      {"standard input is a link's target", "$CLIENT transcribe - -o link-to-a.wav < a.wav",
       "cannot write link-to-a.wav: it is the audio being transcribed"},
      {"text on standard input", "$CLIENT transcribe - -o old.txt < junk.wav",
       "standard input holds text, not audio"},
      {"text on standard input, dictated", "$CLIENT dictate - < old.txt",
       "standard input holds text, not audio"},
  };
  std::filesystem::copy_file(librivox("0880"), folder / "a.json");
  before["a.json"] = contentOf(folder / "a.json");
  for (const auto& c : cases) {
    auto result = shell("cd " + quoted(folder) + " && " + c.script);
    EXPECT_EQ(result.status, 1) << c.name << ": " << result.err;
    EXPECT_NE(result.err.find(c.reason), std::string::npos) << c.name << ": " << result.err;
    EXPECT_EQ(result.err.back(), '\n') << c.name;
    EXPECT_EQ(linesOf(result.err).size(), 1u) << c.name << ": one line: " << result.err;
    std::set<std::string> names;
    for (const auto& [name, bytes] : before) {
      names.insert(name);
      EXPECT_EQ(contentOf(folder / name), bytes) << c.name << " changed " << name;
    }
    names.insert("a folder");
    EXPECT_EQ(namesIn(folder), names) << c.name << ": nothing is added, nothing left behind";
  }
}

TEST(ClientFiles, AWrittenFileReplacesTheOldOneWholeKeepingItsModeAndLinks) {
  auto folder = scratch() / "client-replace";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "notes.txt") << "old\n";
  ::chmod((folder / "notes.txt").c_str(), 0640);
  std::ofstream(folder / "target.srt") << "old\n";
  std::filesystem::create_symlink("target.srt", folder / "link.srt");
  auto reading = librivox("0880").string();

  auto text = shell("cd " + quoted(folder) + " && $CLIENT transcribe " + reading +
                    " --format txt -o notes.txt");
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_NE(contentOf(folder / "notes.txt").find("young man"), std::string::npos);
  struct stat info {};
  ASSERT_EQ(::stat((folder / "notes.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);

  auto linked = shell("cd " + quoted(folder) + " && $CLIENT transcribe " + reading +
                      " --format srt -o link.srt");
  EXPECT_EQ(linked.status, 0) << linked.err;
  EXPECT_TRUE(std::filesystem::is_symlink(folder / "link.srt")) << "the link stays a link";
  EXPECT_NE(contentOf(folder / "target.srt").find(" --> "), std::string::npos);
  EXPECT_EQ(namesIn(folder), (std::set<std::string>{"notes.txt", "target.srt", "link.srt"}));
}

// On a file system that fills: the old transcript stays whole, and standard input that cannot be
// kept says why.
TEST(ClientFiles, AFullDiskKeepsTheOldFileAndSaysWhy) {
  auto folder = scratch() / "client-full";
  std::filesystem::create_directories(folder);
  const std::string script = R"(mount -t tmpfs -o size=64k tmpfs "$1" 2>/dev/null || exit 77
cd "$1" && printf 'what I wrote yesterday\n' > old.txt && head -c 60000 /dev/zero > fill
"$CLIENT" transcribe "$2" -o old.txt; echo "status $?"
TMPDIR="$1" "$CLIENT" transcribe - < "$2"; echo "status $?"
cat old.txt; ls -A)";
  ProcessOptions options;
  options.environment = {"CLIENT=" + client};
  options.arguments = {
      "--mount", "bash", "-c", script, "bash", folder.string(), librivox("0880").string()};
  auto result = runProcess("/usr/bin/unshare", "", options);
  if (result.status != 0) GTEST_SKIP() << "no mount namespace here (needs root): " << result.err;
  EXPECT_EQ(linesOf(result.out),
            (std::vector<std::string>{"status 1", "status 1", "what I wrote yesterday", "fill",
                                      "old.txt"}));
  EXPECT_EQ(linesOf(result.err),
            (std::vector<std::string>{
                "vorel-speech-client: cannot write old.txt: No space left on device",
                "vorel-speech-client: cannot keep standard input in " + folder.string() +
                    ": No space left on device"}));
}

// Output that cannot be written ends the run with status 1 and the reason, once; a reader that
// goes away stops the helper too.
TEST(ClientFiles, AWriteThatFailsIsAFailure) {
  auto reading = quoted(librivox("0880"));
  auto readings = scratch() / "pipe-readings.wav";
  run("sox -D " + librivox("0870").string() + " " + librivox("0890").string() + " " +
      librivox("0920").string() + " " + librivox("0870").string() + " " + readings.string());
  struct Case {
    const char* name;
    std::string script;
    std::string reason;
  } cases[] = {
      {"text", "$CLIENT transcribe " + reading + " > /dev/full", "No space left on device"},
      {"json", "$CLIENT transcribe " + reading + " --json > /dev/full", "No space left on device"},
      {"one answer", "$CLIENT platform > /dev/full", "No space left on device"},
      {"a list", "$CLIENT locales > /dev/full", "No space left on device"},
      {"several files", "$CLIENT transcribe " + reading + " " + reading + " > /dev/full",
       "No space left on device"},
      {"a reader that goes away",
       "$CLIENT transcribe " + quoted(readings) + " | head -c 1 > /dev/null; exit ${PIPESTATUS[0]}",
       "Broken pipe"},
  };
  for (const auto& c : cases) {
    auto result = shell(c.script);
    EXPECT_EQ(result.status, 1) << c.name << ": " << result.err;
    EXPECT_EQ(result.err, "vorel-speech-client: cannot write standard output: " + c.reason + "\n")
        << c.name;
  }
}

TEST(ClientInput, StandardInputThatCannotBeReadIsSaidSo) {
  // A WAV header and no WAV after it (without a header the bytes would be raw samples).
  auto junk = scratch() / "junk.bin";
  std::ofstream(junk) << std::string("RIFF\x10\0\0\0WAVE", 12) << std::string(20000, 'x');
  struct Case {
    const char* script;
    std::string reason;
  } cases[] = {
      {"$CLIENT dictate - < /", "cannot read standard input: Is a directory"},
      {"$CLIENT dictate - <&-", "cannot read standard input: it is closed"},
      {"$CLIENT transcribe - < /", "cannot read standard input: Is a directory"},
      {"$CLIENT transcribe - <&-", "cannot read standard input: it is closed"},
      {"$CLIENT transcribe - < \"$JUNK\"", "the audio on standard input could not be read"},
  };
  for (const auto& c : cases) {
    auto result = shell(c.script, {"JUNK=" + junk.string()});
    EXPECT_EQ(result.status, 1) << c.script << ": " << result.err;
    EXPECT_NE(result.err.find(c.reason), std::string::npos) << c.script << ": " << result.err;
    EXPECT_EQ(result.err.find("/dev/fd"), std::string::npos) << "no made-up path: " << result.err;
  }
}

// Whether a process has its own handler for SIGINT (and so has got past its start).
bool catchesInterrupt(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("SigCgt:")) return (std::stoull(line.substr(7), nullptr, 16) >> 1) & 1;
  }
  return false;
}

// A sound server that takes connections and never says a word.
class MuteSoundServer {
 public:
  explicit MuteSoundServer(const std::filesystem::path& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::filesystem::remove(path);
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(fd_, 8), 0);  // connections wait in the backlog, unanswered
  }
  ~MuteSoundServer() { ::close(fd_); }

 private:
  int fd_;
};

// However the input stalls, the first Ctrl-C (or SIGTERM, or SIGHUP) ends the client at once, by
// its own hand (exit status 128 + the signal, not killed by it); nothing is left in the
// temporary folder.
TEST(ClientInput, TheFirstCtrlCEndsEveryWaitForInput) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  auto temporary = scratch() / "client-tmp";
  std::filesystem::create_directories(temporary);
  MuteSoundServer mute(scratch() / "mute-pulse");
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::string sent;  // then nothing more, the pipe kept open
    int signal = SIGINT;
    int status = 130;
  } cases[] = {
      {"transcribe, nothing sent", {"transcribe", "-"}, ""},
      {"transcribe, half a recording sent", {"transcribe", "-"}, std::string(100000, '\1')},
      {"dictate, nothing sent", {"dictate", "-"}, ""},
      {"dictate, a WAV header and nothing", {"dictate", "-"}, std::string("RIFF$\0\0\0WAVE", 12)},
      {"dictate, a FLAC header and nothing", {"dictate", "-"}, "fLaC"},
      {"a sound server that never answers", {"dictate"}, ""},
      {"transcribe, terminated", {"transcribe", "-"}, std::string(100000, '\1'), SIGTERM, 143},
      {"dictate, hung up", {"dictate", "-"}, "", SIGHUP, 129},
  };
  for (const auto& c : cases) {
    ChildOptions options;
    options.arguments = c.arguments;
    options.environment = {"TMPDIR=" + temporary.string(),
                           "PULSE_SERVER=unix:" + (scratch() / "mute-pulse").string()};
    options.error = ChildStream::pipe;
    auto child = ChildProcess::start(client, options);
    ASSERT_TRUE(child) << child.error();
    ASSERT_TRUE(writeAll(child->input(), c.sent));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!catchesInterrupt(child->pid())) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << c.name;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    child->kill(c.signal);
    auto ended = child->waitFor(std::chrono::seconds(10));
    ASSERT_TRUE(ended) << c.name << ": still running 10 s after the signal";
    EXPECT_EQ(ended->signal, 0) << c.name << ": ended by its own hand";
    EXPECT_EQ(ended->code, c.status) << c.name;
    EXPECT_TRUE(namesIn(temporary).empty()) << c.name << ": left in the temporary folder";
  }
  // A transcription of standard input that ends well leaves nothing either.
  auto done =
      shell("TMPDIR=" + quoted(temporary) + " $CLIENT transcribe - < " + quoted(librivox("0880")));
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_NE(done.out.find("young man"), std::string::npos) << done.out;
  EXPECT_TRUE(namesIn(temporary).empty());
}

// Once the helper has ended a dictation, the client stops reading the audio and says why at
// once, without waiting for the end of an audio stream that never ends.
TEST(ClientInput, ADictationTheHelperEndsStopsTheAudioAtOnce) {
  ChildOptions options;
  options.arguments = {"dictate", "-", "--locale", "fr-FR"};
  options.error = ChildStream::pipe;
  options.environment = {"XDG_DATA_HOME=" + (scratch() / "client-home").string()};
  auto child = ChildProcess::start(client, options);
  ASSERT_TRUE(child) << child.error();
  ASSERT_TRUE(writeAll(child->input(), std::string(96000, '\0')));  // and then nothing
  auto ended = child->waitFor(std::chrono::seconds(30));
  ASSERT_TRUE(ended) << "the client went on waiting for audio";
  EXPECT_EQ(ended->status(), 1);
}

// A helper that says one thing whatever it is asked, for the client's side of a failure.
std::filesystem::path fakeHelper(const std::string& name, const std::string& line) {
  auto path = scratch() / name;
  std::ofstream(path) << "#!/bin/sh\nread request\necho '" << line << "'\n";
  std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  return path;
}

// After Ctrl-C a dictation waits for its last segments; when they do not come in time, or a
// second Ctrl-C comes, what was heard provisionally is kept as the last segment.
TEST(ClientInput, CtrlCDuringADictationKeepsEveryWordHeard) {
  auto marks = scratch() / "finishing";
  std::filesystem::create_directories(marks);
  // Says what it has heard so far at once; once the audio ends, either gives the segments and
  // ends, or goes on decoding for a minute.
  auto helperThat = [&](const std::string& name, const std::string& atTheEnd) {
    auto path = scratch() / name;
    std::ofstream(path) << "#!/bin/sh\nread request\n"
                        << "echo '{\"kind\":\"volatile\",\"text\":\"half a sentence\"}'\n"
                        << "touch '" << (marks / (name + ".heard")).string() << "'\n"
                        << "cat > /dev/null\n"
                        << "touch '" << (marks / (name + ".ended")).string() << "'\n"
                        << atTheEnd << "\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
  };
  struct Case {
    const char* name;
    std::string atTheEnd;
    bool secondCtrlC;
    std::string out;
  } cases[] = {
      {"the last segments come",
       R"(echo '{"kind":"segments","segments":[{"startMs":0,"endMs":1500,"text":"Half a sentence heard whole"}]}'; echo '{"kind":"done"}')",
       false, "[00:00:00.000 --> 00:00:01.500]  Half a sentence heard whole\n"},
      {"they do not come in ten seconds", "sleep 60", false, "  half a sentence\n"},
      {"a second Ctrl-C", "sleep 60", true, "  half a sentence\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string name = std::string("finishing-") + (c.secondCtrlC ? "twice" : "once") +
                       (c.atTheEnd.starts_with("sleep") ? "-slow" : "");
    auto helper = helperThat(name, c.atTheEnd);
    ChildOptions options;
    options.arguments = {"dictate", "-", "--locale", "en-US", "--helper", helper.string()};
    options.error = ChildStream::null;
    auto child = ChildProcess::start(client, options);
    ASSERT_TRUE(child) << child.error();
    ASSERT_TRUE(writeAll(child->input(), std::string(96000, '\0')));  // and then nothing
    auto awaitPath = [&](const std::filesystem::path& path, bool orInterrupt) {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!std::filesystem::exists(path) || (orInterrupt && !catchesInterrupt(child->pid()))) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << path;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    };
    awaitPath(marks / (name + ".heard"), true);
    child->kill(SIGINT);
    if (c.secondCtrlC) {
      awaitPath(marks / (name + ".ended"), false);  // the audio has ended: it is finishing
      child->kill(SIGINT);
    }
    // What it writes, to the end (it ends within the bound, or the helper's minute is up).
    auto readToEnd = [](int fd, std::chrono::seconds limit) {
      std::string text;
      auto deadline = std::chrono::steady_clock::now() + limit;
      char buffer[4096];
      for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
      }
      return text;
    };
    auto began = std::chrono::steady_clock::now();
    std::string out = readToEnd(child->output(), std::chrono::seconds(30));
    auto took = std::chrono::steady_clock::now() - began;
    auto ended = child->waitFor(std::chrono::seconds(10));
    ASSERT_TRUE(ended) << "still running";
    EXPECT_LT(took, std::chrono::seconds(c.secondCtrlC ? 5 : 20)) << "the bound was not kept";
    EXPECT_EQ(ended->signal, 0);
    EXPECT_EQ(ended->code, 130);
    EXPECT_TRUE(out.ends_with(c.out)) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  }
}

TEST(ClientInput, FallingBehindOnAFileSuggestsThePaceOfSpeech) {
  auto helper = fakeHelper(
      "behind-helper", R"({"kind":"failed","reason":"the speech engine fell a minute behind"})");
  auto reading = librivox("0880").string();
  struct Case {
    std::vector<std::string> arguments;
    bool hint;
  } cases[] = {
      {{"dictate", reading, "--locale", "en-US"}, true},
      {{"dictate", reading, "--locale", "en-US", "--realtime"}, false},
  };
  for (const auto& c : cases) {
    ProcessOptions options;
    options.arguments = c.arguments;
    options.arguments.insert(options.arguments.end(), {"--helper", helper.string()});
    auto result = runProcess(client, "", options);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("fell a minute behind"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("--realtime") != std::string::npos, c.hint) << result.err;
  }
}

// Marking the installed locales of a long catalog starts no helper per locale.
TEST(ClientInput, ALongCatalogIsListedWithOneHelper) {
  auto home = scratch() / "long-catalog";
  std::filesystem::create_directories(home / "vorel-speech");
  std::string entries;
  const char* regions[] = {"US", "GB", "FR", "DE", "ES"};
  for (int i = 0; i < 3000; ++i) {
    int language = i / 5;
    std::string locale = {char('a' + language / 26), char('a' + language % 26), '-'};
    entries += std::string(i ? "," : "") + R"({"locale":")" + locale + regions[i % 5] +
               R"(","url":"https://example.org/m.tgz"})";
  }
  std::ofstream(home / "vorel-speech" / "catalog.json") << R"({"models":[)" << entries << "]}";
  // The helper, behind a script that counts its starts.
  auto starts = scratch() / "helper-starts";
  auto counting = scratch() / "counting-helper";
  std::ofstream(counting) << "#!/bin/sh\necho >> '" << starts.string() << "'\nexec '"
                          << VOREL_HELPER << "'\n";
  std::filesystem::permissions(counting, std::filesystem::perms::owner_all);
  ProcessOptions options;
  options.arguments = {"locales", "--helper", counting.string()};
  options.environment = {"XDG_DATA_HOME=" + home.string(), "LANG=en_US.UTF-8"};
  auto result = runProcess(client, "", options);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("en-US (installed)"), std::string::npos);
  EXPECT_NE(result.out.find("xb-ES"), std::string::npos) << "the whole catalog is listed";
  EXPECT_EQ(linesOf(contentOf(starts)).size(), 1u) << "helpers started";
}

}  // namespace
}  // namespace vorel::testing
