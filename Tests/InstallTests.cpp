// Installing a locale's model: the engine's progress reporting against the scripted platform,
// and the real installer through the built helper against an HTTP server on 127.0.0.1.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>

#include "Fixtures.h"
#include "HttpServer.h"
#include "Process.h"
#include "ScriptedPlatform.h"
#include "Sha256.h"
#include "SpeechEngine.h"

namespace vorel {
namespace {

using testing::ScriptedPlatform;

// A progress object whose every reading the test sets; totals can be given as a sequence, one
// per read, to show a total that changes between two reads.
class DrivenProgress final : public Progress {
 public:
  std::vector<std::int64_t> totals{-1};
  std::int64_t completed = 0;
  double fraction = 0;

  std::int64_t totalUnitCount() const override {
    std::int64_t value = totals[std::min(reads_, totals.size() - 1)];
    ++reads_;
    return value;
  }
  std::int64_t completedUnitCount() const override { return completed; }
  double fractionCompleted() const override { return fraction; }

 private:
  mutable std::size_t reads_ = 0;
};

struct Step {
  std::vector<std::int64_t> totals;
  std::int64_t completed;
  double fraction;
};

Step progress(std::vector<std::int64_t> totals, std::int64_t completed, double fraction) {
  return {std::move(totals), completed, fraction};
}

std::vector<AssetState> reportAll(const std::vector<Step>& steps) {
  std::vector<AssetState> states;
  ProgressReporter reporter([&](const AssetState& s) { states.push_back(s); });
  for (const auto& step : steps) {
    DrivenProgress p;
    p.totals = step.totals;
    p.completed = step.completed;
    p.fraction = step.fraction;
    reporter.report(p);
  }
  return states;
}

TEST(ProgressReporter, ReportsBytesOrPerMilleAndSuppressesRepeats) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<AssetState> states;
  };
  const double inf = std::numeric_limits<double>::infinity();
  for (const auto& c : std::vector<Case>{
           {"undetermined total: per mille",
            {progress({0}, 5, 0.4567)},
            {AssetState::downloading(456, 1000)}},
           {"negative total: per mille",
            {progress({-1}, 5, 0.4567)},
            {AssetState::downloading(456, 1000)}},
           {"known total: counts", {progress({200}, 50, 0.25)}, {AssetState::downloading(50, 200)}},
           {"same per mille suppressed",
            {progress({100000}, 1000, 0.01), progress({100000}, 1050, 0.0105)},
            {AssetState::downloading(1000, 100000)}},
           {"a value seen before is reported again when it differs from the last",
            {progress({1000}, 1, 0.001), progress({1000}, 2, 0.002), progress({1000}, 1, 0.001)},
            {AssetState::downloading(1, 1000), AssetState::downloading(2, 1000),
             AssetState::downloading(1, 1000)}},
           {"negative count is zero",
            {progress({100}, -5, 0.5)},
            {AssetState::downloading(0, 100)}},
           {"first report passed at zero",
            {progress({100}, 0, 0)},
            {AssetState::downloading(0, 100)}},
           {"count not capped", {progress({100}, 150, 1.5)}, {AssetState::downloading(150, 100)}},
           {"fraction clamped",
            {progress({0}, 0, 1.7), progress({0}, 0, inf), progress({0}, 0, -3)},
            {AssetState::downloading(1000, 1000), AssetState::downloading(0, 1000)}},
           {"not a number is zero",
            {progress({0}, 0, std::nan(""))},
            {AssetState::downloading(0, 1000)}},
           {"total turning negative between reads: undetermined",
            {progress({500, -1}, 250, 0.5)},
            {AssetState::downloading(500, 1000)}},
       }) {
    EXPECT_EQ(reportAll(c.steps), c.states) << c.name;
  }
}

TEST(ProgressReporter, TwoThreadsAtOnceLoseNothingAndTearNothing) {
  constexpr std::int64_t total = 1'000'000;
  Progress shared;
  shared.setTotalUnitCount(total);
  std::mutex mutex;
  std::vector<AssetState> states;
  ProgressReporter reporter([&](const AssetState& s) {
    std::lock_guard guard(mutex);
    states.push_back(s);
  });
  std::atomic<std::int64_t> next{0};
  auto work = [&] {
    for (std::int64_t n; (n = next.fetch_add(997)) <= total;) {
      shared.setCompletedUnitCount(n);
      reporter.report(shared);
    }
    shared.setCompletedUnitCount(total);
    reporter.report(shared);
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  ASSERT_FALSE(states.empty());
  EXPECT_LE(states.size(), 2002u);
  bool reachedEnd = false;
  for (const auto& s : states) {
    auto d = std::get<AssetState::Downloading>(s.value);
    EXPECT_EQ(d.total, static_cast<std::uint64_t>(total));
    EXPECT_LE(d.done, d.total);
    reachedEnd = reachedEnd || d.done == d.total;
  }
  EXPECT_TRUE(reachedEnd) << "the last state is never lost";
}

struct Installation {
  ScriptedPlatform platform;
  std::vector<AssetState> states;
  std::mutex mutex;
  AssetState run(const std::string& locale = "en-US") {
    return SpeechEngine::installAssets(platform, locale, [this](const AssetState& s) {
      std::lock_guard guard(mutex);
      states.push_back(s);
    });
  }
};

TEST(InstallAssets, AnswersWithoutDownloadingWhenThereIsNothingToDo) {
  struct Case {
    const char* name;
    std::string locale;
    std::function<void(ScriptedPlatform&)> script;
    AssetState state;
  };
  for (const auto& c : std::vector<Case>{
           {"no equivalent", "fr-FR", [](ScriptedPlatform&) {}, AssetState::unsupported()},
           {"request fails", "en-US", [](ScriptedPlatform& p) { p.requestError = "no network"; },
            AssetState::failed("no network")},
           {"installed", "en-US",
            [](ScriptedPlatform& p) {
              p.nothingToInstall = true;
              p.status = AssetStatus::installed;
            },
            AssetState::installed()},
           {"supported counts as installed", "en-US",
            [](ScriptedPlatform& p) {
              p.nothingToInstall = true;
              p.status = AssetStatus::supported;
            },
            AssetState::installed()},
           {"inventory says unsupported", "en-US",
            [](ScriptedPlatform& p) {
              p.nothingToInstall = true;
              p.status = AssetStatus::unsupported;
            },
            AssetState::unsupported()},
       }) {
    Installation i;
    c.script(i.platform);
    EXPECT_EQ(i.run(c.locale), c.state) << c.name;
    EXPECT_EQ(i.states, std::vector{c.state}) << c.name;
  }
}

TEST(InstallAssets, ReportsTheDownloadThenTheFinalState) {
  Installation i;
  i.platform.status = AssetStatus::supported;
  i.platform.install = [&](Progress& progress) {
    EXPECT_EQ(i.states.size(), 1u) << "the first state comes before the download starts";
    progress.setTotalUnitCount(1000);
    for (int done = 100; done <= 1000; done += 100) progress.setCompletedUnitCount(done);
    return std::expected<void, PlatformError>{};
  };
  EXPECT_EQ(i.run(), AssetState::installed());
  std::vector<AssetState> expected{AssetState::downloading(0, 1000)};
  for (std::uint64_t done = 100; done <= 1000; done += 100) {
    expected.push_back(AssetState::downloading(done, 1000));
  }
  expected.push_back(AssetState::installed());
  EXPECT_EQ(i.states, expected);

  // The observation has ended: later changes report nothing.
  i.platform.installProgress->setCompletedUnitCount(5);
  EXPECT_EQ(i.states.size(), expected.size());
}

TEST(InstallAssets, AFailedDownloadIsTheLastState) {
  Installation i;
  i.platform.install = [](Progress& progress) -> std::expected<void, PlatformError> {
    progress.setTotalUnitCount(10);
    progress.setCompletedUnitCount(5);
    return std::unexpected(PlatformError{"the connection was lost"});
  };
  EXPECT_EQ(i.run(), AssetState::failed("the connection was lost"));
  EXPECT_EQ(i.states, (std::vector{AssetState::downloading(0, 1000), AssetState::downloading(5, 10),
                                   AssetState::failed("the connection was lost")}));
}

TEST(InstallAssets, TheFinalStateAsksTheInventoryAgain) {
  for (const auto& [after, final] : std::vector<std::pair<AssetStatus, AssetState>>{
           {AssetStatus::supported, AssetState::installed()},
           {AssetStatus::downloading, AssetState::installed()},
           {AssetStatus::unsupported, AssetState::unsupported()}}) {
    Installation i;
    i.platform.statusAfterInstall = after;
    EXPECT_EQ(i.run(), final);
    EXPECT_EQ(i.states.back(), final);
  }
}

}  // namespace

// --- The real installer, through the helper -----------------------------------------------

namespace testing {
namespace {

const std::string helper = VOREL_HELPER;

std::string sha256(const std::string& bytes) {
  return linuxplatform::sha256Hex(bytes);
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A model archive made from a copy of the system's en-US model, and one with no model in it.
const std::string& modelArchive() {
  static const std::string bytes = [] {
    auto archive = scratch() / "model.tar";
    run("tar -cf " + archive.string() + " -C /usr/share/pocketsphinx/model en-us");
    return readFile(archive);
  }();
  return bytes;
}

const std::string& emptyArchive() {
  static const std::string bytes = [] {
    auto folder = scratch() / "not-a-model";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "README") << "nothing to see\n";
    auto archive = scratch() / "not-a-model.tar.gz";
    run("tar -czf " + archive.string() + " -C " + scratch().string() + " not-a-model");
    return readFile(archive);
  }();
  return bytes;
}

// An archive that python3's tarfile or zipfile writes: the script gets the archive's path as
// out and the system model's folder as model.
std::string archiveFromPython(const std::string& name, const std::string& script) {
  auto archive = scratch() / name;
  auto program = scratch() / (name + ".py");
  std::ofstream(program) << "import os, sys, tarfile, zipfile\nout = sys.argv[1]\n"
                         << "model = '/usr/share/pocketsphinx/model/en-us'\n"
                         << script;
  run("python3 " + program.string() + " " + archive.string());
  return readFile(archive);
}

// A model whose folders are all read-only, as some archivers keep them.
const std::string& readOnlyArchive() {
  static const std::string bytes = archiveFromPython("read-only.tar", R"(
def readonly(info):
    info.mode = 0o555 if info.isdir() else 0o444
    return info
with tarfile.open(out, 'w') as t:
    t.add(model, arcname='en-us', filter=readonly)
)");
  return bytes;
}

// A zip whose names are UTF-8 beyond ASCII.
const std::string& unicodeZip() {
  static const std::string bytes = archiveFromPython("unicode.zip", R"(
with zipfile.ZipFile(out, 'w', zipfile.ZIP_STORED) as z:
    for folder, _, files in os.walk(model):
        for f in files:
            path = os.path.join(folder, f)
            z.write(path, 'modèle-français/' + os.path.relpath(path, model))
)");
  return bytes;
}

// A whole model whose transition matrices are empty: the recogniser cannot load it.
const std::string& unloadableArchive() {
  static const std::string bytes = archiveFromPython("unloadable.tar", R"(
def damaged(info):
    if info.name.endswith('transition_matrices'):
        info.size = 0
    return info
with tarfile.open(out, 'w') as t:
    for folder, _, files in os.walk(model):
        for f in files:
            path = os.path.join(folder, f)
            info = damaged(t.gettarinfo(path, 'en-us/' + os.path.relpath(path, model)))
            with open(path, 'rb') as data:
                t.addfile(info, data if info.size else None)
)");
  return bytes;
}

// A model with one more file whose name is not text in any encoding.
const std::string& byteNameArchive() {
  static const std::string bytes = archiveFromPython("byte-name.tar", R"(
with tarfile.open(out, 'w', format=tarfile.GNU_FORMAT, encoding='latin-1') as t:
    t.add(model, arcname='en-us')
    info = tarfile.TarInfo('en-us/\xff\xfe.txt')
    t.addfile(info)
)");
  return bytes;
}

// A data home of the test's own, with a catalog offering fr-FR from the server.
struct Home {
  std::filesystem::path root;
  explicit Home(const std::string& name) : root(scratch() / name) {
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root / "vorel-speech");
  }
  // An empty sha leaves the checksum out of the catalog.
  void offer(const std::string& url, const std::string& sha, std::optional<std::size_t> size) {
    std::ofstream(root / "vorel-speech" / "catalog.json")
        << R"({"models":[{"locale":"fr-FR","url":")" << url << "\""
        << (sha.empty() ? std::string() : R"(,"sha256":")" + sha + "\"")
        << (size ? ",\"size\":" + std::to_string(*size) : std::string()) << "}]}";
  }
  ProcessResult ask(const std::string& request) const {
    ProcessOptions options;
    options.environment = {"XDG_DATA_HOME=" + root.string(), "LANG=en_US.UTF-8"};
    return runProcess(helper, request + "\n", options);
  }
  std::filesystem::path store() const { return root / "vorel-speech" / "models"; }
  // Whatever the store holds besides its lock files and its proofs that models load.
  std::vector<std::string> storeContents() const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& e :
         std::filesystem::directory_iterator(root / "vorel-speech" / "models", ignored)) {
      auto name = e.path().filename().string();
      if (!name.ends_with(".lock") && name != ".loadable") names.push_back(name);
    }
    return names;
  }
};

const std::string installFr = R"({"op":"install-assets","locale":"fr-FR"})";

// Checks a successful run: downloading lines whose per-mille value changes at every line, then
// installed.
void expectInstalled(const ProcessResult& result, std::size_t size = modelArchive().size()) {
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  auto lines = linesOf(result.out);
  ASSERT_GE(lines.size(), 3u) << result.out;
  EXPECT_EQ(lines.back(), R"({"kind":"installed"})");
  std::optional<std::uint64_t> last;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    auto state = Wire::decode<AssetState>(lines[i]);
    ASSERT_TRUE(state && state->is<AssetState::Downloading>()) << lines[i];
    auto d = std::get<AssetState::Downloading>(state->value);
    if (i == 0 && d.total == 1000) {
      EXPECT_EQ(d.done, 0u) << "before the server's length is known: per mille";
    } else {
      EXPECT_EQ(d.total, size);
    }
    std::uint64_t perMille = d.done * 1000 / d.total;
    if (last) {
      EXPECT_NE(perMille, *last) << "line " << i;
    }
    last = perMille;
  }
  EXPECT_EQ(last, 1000u);
}

TEST(Installer, DownloadsVerifiesAndInstallsAModelTheHelperThenUses) {
  HttpServer server;
  server.serve("/fr.tar", modelArchive());
  Home home("install-ok");
  home.offer(server.url("/fr.tar"), sha256(modelArchive()), modelArchive().size());

  EXPECT_EQ(linesOf(home.ask(R"({"op":"asset-state","locale":"fr_FR"})").out),
            std::vector<std::string>{R"({"kind":"supported"})"});
  expectInstalled(home.ask(installFr));
  EXPECT_EQ(home.storeContents(), std::vector<std::string>{"fr-FR"});
  EXPECT_EQ(linesOf(home.ask(R"({"op":"asset-state","locale":"fr-FR"})").out),
            std::vector<std::string>{R"({"kind":"installed"})"});

  // Installed already: one answer, no download.
  auto again = home.ask(installFr);
  EXPECT_EQ(linesOf(again.out), std::vector<std::string>{R"({"kind":"installed"})"});
  EXPECT_EQ(server.requests("/fr.tar"), 1);

  auto transcribed = home.ask(R"({"op":"transcribe","locale":"fr-FR","path":")" +
                              librivox("0880").string() + "\"}");
  EXPECT_NE(transcribed.out.find("young man"), std::string::npos) << transcribed.out;
  EXPECT_EQ(linesOf(transcribed.out).back(), R"({"kind":"done"})");
}

TEST(Installer, AnInstalledLocaleAnswersOnceWithoutDownloading) {
  Home home("install-present");
  auto result = home.ask(R"({"op":"install-assets","locale":"en-US"})");
  EXPECT_EQ(linesOf(result.out), std::vector<std::string>{R"({"kind":"installed"})"});
  EXPECT_EQ(result.status, 0);
}

TEST(Installer, FailuresLeaveNothingBehindAndASecondAttemptSucceeds) {
  struct Case {
    const char* name;
    std::string bytes;
    HttpServer::Fault fault;
    bool served;
    std::string wrongSha;  // empty: the right one
    const char* reason;    // a part of the failure's reason
  };
  for (const auto& c : std::vector<Case>{
           {"checksum mismatch", modelArchive(), HttpServer::Fault::none, true,
            std::string(64, '0'), "does not match its checksum"},
           {"connection dropped halfway", modelArchive(), HttpServer::Fault::dropHalfway, true, "",
            "failed"},
           {"connection reset halfway", modelArchive(), HttpServer::Fault::resetHalfway, true, "",
            "failed"},
           {"not found", "", HttpServer::Fault::none, false, "", "404"},
           {"archive without a model", emptyArchive(), HttpServer::Fault::none, true, "",
            "holds no speech model"},
       }) {
    SCOPED_TRACE(c.name);
    HttpServer server;
    if (c.served) server.serve("/fr.tar", c.bytes, c.fault);
    Home home("install-failure");
    home.offer(server.url("/fr.tar"), c.wrongSha.empty() ? sha256(c.bytes) : c.wrongSha,
               std::nullopt);
    auto result = home.ask(installFr);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    auto lines = linesOf(result.out);
    ASSERT_FALSE(lines.empty());
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
      EXPECT_NE(lines[i].find(R"("kind":"downloading")"), std::string::npos) << lines[i];
    }
    auto last = Wire::decode<AssetState>(lines.back());
    ASSERT_TRUE(last && last->is<AssetState::Failed>()) << lines.back();
    const auto& reason = std::get<AssetState::Failed>(last->value).reason;
    EXPECT_TRUE(reason.starts_with("the model for fr-FR could not be installed")) << reason;
    EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    EXPECT_TRUE(home.storeContents().empty()) << "no partial model is left in the store";
    EXPECT_EQ(linesOf(home.ask(R"({"op":"asset-state","locale":"fr-FR"})").out),
              std::vector<std::string>{R"({"kind":"supported"})"});

    server.serve("/fr.tar", modelArchive());
    home.offer(server.url("/fr.tar"), sha256(modelArchive()), std::nullopt);
    expectInstalled(home.ask(installFr));
  }
}

// Every downloading line of an answer keeps done within total.
void expectProgressWithinTotal(const std::vector<std::string>& lines) {
  for (const auto& line : lines) {
    auto state = Wire::decode<AssetState>(line);
    if (!state || !state->is<AssetState::Downloading>()) continue;
    auto d = std::get<AssetState::Downloading>(state->value);
    EXPECT_LE(d.done, d.total) << line;
  }
}

// The reason of the last line, which must be a failure.
std::string failureOf(const ProcessResult& result) {
  auto lines = linesOf(result.out);
  if (lines.empty()) return "(no output)";
  auto last = Wire::decode<AssetState>(lines.back());
  if (!last || !last->is<AssetState::Failed>()) return "(not a failure: " + lines.back() + ")";
  return std::get<AssetState::Failed>(last->value).reason;
}

TEST(Installer, ArchivesOfEveryShapeInstallOrFailCleanly) {
  struct Case {
    const char* name;
    const std::string& bytes;
    const char* reason;  // nullptr: it installs
  };
  for (const auto& c : std::vector<Case>{
           {"a zip whose names are UTF-8 beyond ASCII", unicodeZip(), nullptr},
           {"folders marked read-only", readOnlyArchive(), nullptr},
           {"a model that cannot load", unloadableArchive(), "does not load"},
           {"a name that is not text", byteNameArchive(), "whose name is not text"},
       }) {
    SCOPED_TRACE(c.name);
    HttpServer server;
    server.serve("/fr.archive", c.bytes);
    Home home("install-shapes");
    home.offer(server.url("/fr.archive"), sha256(c.bytes), c.bytes.size());
    auto result = home.ask(installFr);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    if (!c.reason) {
      expectInstalled(result, c.bytes.size());
      EXPECT_EQ(home.storeContents(), std::vector<std::string>{"fr-FR"});
      // What is installed is the owner's to replace or remove.
      for (const auto& entry : std::filesystem::recursive_directory_iterator(home.store())) {
        auto mode = entry.symlink_status().permissions();
        EXPECT_NE(mode & std::filesystem::perms::owner_write, std::filesystem::perms::none)
            << entry.path();
      }
      auto transcribed = home.ask(R"({"op":"transcribe","locale":"fr-FR","path":")" +
                                  librivox("0880").string() + "\"}");
      EXPECT_NE(transcribed.out.find("young man"), std::string::npos) << transcribed.out;
    } else {
      EXPECT_NE(failureOf(result).find(c.reason), std::string::npos) << failureOf(result);
      EXPECT_TRUE(home.storeContents().empty()) << "nothing is left in the store";
      EXPECT_EQ(linesOf(home.ask(R"({"op":"asset-state","locale":"fr-FR"})").out),
                std::vector<std::string>{R"({"kind":"supported"})"});
    }
  }
}

TEST(Installer, DownloadsThatCannotBeTrustedFailWithTheirCause) {
  struct Case {
    const char* name;
    std::function<std::string(HttpServer&)> serve;  // returns the catalog's URL
    bool checksum;
    std::optional<std::size_t> size;
    const char* reason;
  };
  const std::string& model = modelArchive();
  for (const auto& c : std::vector<Case>{
           {"the archive, then zeros for ever, past the catalog's size",
            [&](HttpServer& s) {
              s.serve("/fr.tar", model, HttpServer::Fault::endless);
              return s.url("/fr.tar");
            },
            true, model.size(), "the server sent more than"},
           {"no checksum over plain http",
            [&](HttpServer& s) {
              s.serve("/fr.tar", model);
              return s.url("/fr.tar");
            },
            false, model.size(), "a download over http needs one"},
           {"redirects in a circle",
            [&](HttpServer& s) {
              s.redirect("/fr.tar", s.url("/fr.tar"));
              return s.url("/fr.tar");
            },
            true, std::nullopt, "redirects"},
           {"a redirect to a local file",
            [&](HttpServer& s) {
              s.redirect("/fr.tar", "file:///etc/passwd");
              return s.url("/fr.tar");
            },
            true, std::nullopt, "failed"},
           {"a scheme models do not come from",
            [&](HttpServer& s) {
              s.serve("/fr.tar", model);
              return "gopher://127.0.0.1:" + s.url("/fr.tar").substr(17);
            },
            true, std::nullopt, "failed"},
           {"credentials in the URL are not shown",
            [&](HttpServer& s) {
              std::string url = s.url("/missing.tar");
              return url.replace(7, 0, "reader:hunter2@");
            },
            true, std::nullopt, "http://127.0.0.1:"},
       }) {
    SCOPED_TRACE(c.name);
    HttpServer server;
    Home home("install-untrusted");
    home.offer(c.serve(server), c.checksum ? sha256(model) : "", c.size);
    auto result = home.ask(installFr);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    std::string reason = failureOf(result);
    EXPECT_TRUE(reason.starts_with("the model for fr-FR could not be installed: ")) << reason;
    EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    EXPECT_EQ(result.out.find("hunter2"), std::string::npos) << result.out;
    expectProgressWithinTotal(linesOf(result.out));
    EXPECT_TRUE(home.storeContents().empty());
  }
}

TEST(Installer, LeftoversOfAnInterruptedInstallAreSweptAway) {
  HttpServer server;
  server.serve("/fr.tar", modelArchive());
  Home home("install-leftovers");
  home.offer(server.url("/fr.tar"), sha256(modelArchive()), modelArchive().size());
  // What a killed install leaves: a partial folder, read-only inside, and another locale's.
  auto stale = home.store() / ".fr-FR.partial-Ab12Cd";
  std::filesystem::create_directories(stale / "unpacked" / "en-us");
  std::ofstream(stale / "unpacked" / "en-us" / "mdef") << "half a model";
  std::filesystem::permissions(
      stale / "unpacked", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  auto other = home.store() / ".de-DE.partial-Zz99Yy";
  std::filesystem::create_directories(other);

  expectInstalled(home.ask(installFr));
  auto contents = home.storeContents();
  std::sort(contents.begin(), contents.end());
  EXPECT_EQ(contents, (std::vector<std::string>{".de-DE.partial-Zz99Yy", "fr-FR"}))
      << "only the installed locale's leftovers are its to sweep";
}

TEST(Installer, AKilledInstallLeavesNothingTheNextOneKeeps) {
  HttpServer server;
  server.serve("/fr.tar", modelArchive(), HttpServer::Fault::stallHalfway);
  Home home("install-killed");
  home.offer(server.url("/fr.tar"), sha256(modelArchive()), modelArchive().size());
  // The client kills the helper as soon as half the archive has arrived.
  ProcessOptions options;
  options.environment = {"XDG_DATA_HOME=" + home.root.string()};
  options.killWhen = [](const std::string& out) {
    return out.find(R"("done":)" + std::to_string(modelArchive().size() / 2)) != std::string::npos;
  };
  auto killed = runProcess(helper, installFr + "\n", options);
  EXPECT_EQ(killed.status, 128 + SIGKILL);
  auto left = home.storeContents();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_TRUE(left[0].starts_with(".fr-FR.partial-")) << left[0];

  server.release();
  server.serve("/fr.tar", modelArchive());
  expectInstalled(home.ask(installFr));
  EXPECT_EQ(home.storeContents(), std::vector<std::string>{"fr-FR"});
}

// A helper told to stop mid-download (the client's Ctrl-C sends SIGTERM; a closed terminal,
// SIGHUP) says so and removes its partial folder before it ends.
TEST(Installer, AnInstallStoppedBySignalRemovesItsPartialFolder) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    HttpServer server;
    server.serve("/fr.tar", modelArchive(), HttpServer::Fault::stallHalfway);
    Home home("install-stopped-" + std::to_string(signal));
    home.offer(server.url("/fr.tar"), sha256(modelArchive()), modelArchive().size());
    ProcessOptions options;
    options.environment = {"XDG_DATA_HOME=" + home.root.string()};
    options.killSignal = signal;
    options.killWhen = [](const std::string& out) {
      return out.find(R"("done":)" + std::to_string(modelArchive().size() / 2)) !=
             std::string::npos;
    };
    auto stopped = runProcess(helper, installFr + "\n", options);
    EXPECT_EQ(stopped.status, 0) << stopped.out;
    EXPECT_NE(failureOf(stopped).find("the installation was stopped"), std::string::npos)
        << stopped.out;
    EXPECT_TRUE(home.storeContents().empty()) << "no partial folder is left";
    server.release();
  }
}

TEST(Installer, ADiskThatFillsFailsTheInstallAndInstallsNothing) {
  HttpServer server;
  server.serve("/fr.tar", modelArchive());
  Home home("install-full-disk");
  home.offer(server.url("/fr.tar"), sha256(modelArchive()), modelArchive().size());
  std::filesystem::create_directories(home.store());
  // A 4 MB store in a mount namespace of its own: install, ask again, and list what is left.
  const std::string script =
      R"(mount -t tmpfs -o size=4m tmpfs "$1" 2>/dev/null || exit 77
printf '%s\n' "$2" | "$3"; echo --; printf '%s\n' "$4" | "$3"; echo --; ls -A "$1")";
  ProcessOptions options;
  options.environment = {"XDG_DATA_HOME=" + home.root.string()};
  options.arguments = {"--mount", "sh",   "-c",
                       script,    "sh",   home.store().string(),
                       installFr, helper, R"({"op":"asset-state","locale":"fr-FR"})"};
  auto result = runProcess("/usr/bin/unshare", "", options);
  if (result.status != 0) GTEST_SKIP() << "no mount namespace here (needs root): " << result.err;
  auto parts = linesOf(result.out);
  auto first = std::find(parts.begin(), parts.end(), "--");
  ASSERT_NE(first, parts.end()) << result.out;
  auto second = std::find(first + 1, parts.end(), "--");
  ASSERT_NE(second, parts.end()) << result.out;
  ProcessResult install{std::string(), "", 0};
  for (auto line = parts.begin(); line != first; ++line) install.out += *line + "\n";
  EXPECT_NE(failureOf(install).find("No space left on device"), std::string::npos)
      << failureOf(install);
  EXPECT_EQ(std::vector<std::string>(first + 1, second),
            std::vector<std::string>{R"({"kind":"supported"})"});
  std::vector<std::string> left(second + 1, parts.end());
  EXPECT_EQ(left, std::vector<std::string>{".fr-FR.lock"}) << "no partial model is left";
}

}  // namespace
}  // namespace testing
}  // namespace vorel
