// The recognition pipeline's parts on their own: the endpoint rules over tables of speech and
// silence frames, and the decoder pool over a stand-in recogniser whose timing the test holds.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>

#include "DecoderPool.h"
#include "UtteranceFinder.h"

namespace vorel::linuxplatform {
namespace {

constexpr std::int64_t frameSamples = ListenConfig::frameSamples;

// Runs of frames: how many, whether they are speech, and how loud (a constant sample value).
struct FrameRun {
  int frames;
  bool speech;
  std::int16_t level = 0;
};

// What the finder says for a script of runs, one word an event: "opened@53:23" is an utterance
// opened at the 53rd frame, starting at frame 23; "closed@120:23+97" one closed at frame 120,
// starting at frame 23 with 97 frames heard ("closed@58:0:guess" when the guess stands for it).
std::string eventsOf(const std::vector<FrameRun>& script, bool guesses,
                     std::int64_t audioFrames = -1) {
  UtteranceFinder finder(guesses);
  if (audioFrames >= 0) finder.setAudioLength(audioFrames * frameSamples);
  std::ostringstream said;
  int at = 0;
  auto describe = [&](const UtteranceEvent& e) {
    using Kind = UtteranceEvent::Kind;
    const char* names[] = {"opened", "guess", "withdrawn", "closed", "quiet"};
    said << (said.tellp() > 0 ? " " : "") << names[static_cast<int>(e.kind)] << '@' << at << ':'
         << e.start / frameSamples;
    if (e.kind == Kind::guess) {
      said << '+' << e.heard / frameSamples << '/' << e.audio.size() / frameSamples;
    }
    if (e.kind == Kind::closed) {
      if (e.cut) said << ":cut";
      if (e.byGuess) {
        said << ":guess";
      } else {
        said << '+' << e.heard / frameSamples;
        if (e.audio.size() != static_cast<std::size_t>(e.heard)) {
          said << '/' << e.audio.size() / frameSamples;
        }
      }
    }
  };
  for (const auto& run : script) {
    std::vector<std::int16_t> frame(frameSamples, run.level);
    for (int i = 0; i < run.frames; ++i) {
      ++at;
      for (const auto& e : finder.take(frame, run.speech)) describe(e);
    }
  }
  for (const auto& e : finder.finish()) describe(e);
  return said.str();
}

TEST(UtteranceFinder, EndpointRules) {
  struct Case {
    const char* name;
    std::vector<FrameRun> script;
    bool guesses;
    std::string events;
  };
  const bool S = true, Q = false;
  // Loud speech, and speech at a tenth of the level: the quietest place in a stretch of words.
  const FrameRun dip{5, S, 300};
  auto loud = [](int frames) { return FrameRun{frames, true, 3000}; };
  for (const auto& c : std::vector<Case>{
           {"silence: a report every second, up to the 300 ms that may open an utterance",
            {{250, Q}},
            false,
            "quiet@100:70 quiet@200:170"},
           {"two frames of speech are no utterance", {{2, S}, {50, Q}}, false, ""},
           {"speech opens with the 300 ms before it, a 350 ms pause closes",
            {{50, Q}, {3, S}, {40, S}, {35, Q}, {10, Q}},
            false,
            "opened@53:23 closed@128:23+105"},
           {"a pause one frame short does not close",
            {{3, S}, {34, Q}, {3, S}, {35, Q}},
            false,
            "opened@3:0 closed@75:0+75"},
           {"live: a guess at 150 ms of pause stands when the pause goes on",
            {{3, S}, {20, S}, {35, Q}},
            true,
            "opened@3:0 guess@38:0+38/58 closed@58:0:guess"},
           {"live: speech after the guess withdraws it",
            {{3, S}, {20, S}, {20, Q}, {5, S}, {35, Q}},
            true,
            "opened@3:0 guess@38:0+38/58 withdrawn@44:0 guess@63:0+63/83 closed@83:0:guess"},
           {"past 5 s, speech after a 150 ms pause opens the next utterance",
            {{3, S}, {500, S}, {15, Q}, {10, S}, {35, Q}},
            false,
            "opened@3:0 closed@519:0+518/538 opened@519:518 closed@563:518+45"},
           {"before 5 s, a 150 ms pause does not",
            {{3, S}, {400, S}, {15, Q}, {100, S}},
            false,
            "opened@3:0 closed@518:0+518"},
           {"live, past 5 s: the guess at 150 ms of pause stands when speech resumes",
            {{3, S}, {500, S}, {15, Q}, {10, S}, {35, Q}},
            true,
            "opened@3:0 guess@518:0+518/538 closed@519:0:guess opened@519:518 "
            "guess@543:518+25/45 closed@563:518:guess"},
           {"by 10 s without a pause: cut inside the quietest 50 ms past 5 s, and go on",
            {loud(3), loud(697), dip, loud(400)},
            false,
            "opened@3:0 closed@1000:0:cut+702/735 opened@1000:702 closed@1105:702+403"},
           {"a dip before 5 s is no place to cut: the latest of the quietest",
            {loud(3), loud(297), dip, loud(800)},
            false,
            "opened@3:0 closed@1000:0:cut+997/1030 opened@1000:997 closed@1105:997+108"},
           {"the end of the audio closes what is open",
            {{3, S}, {10, S}},
            false,
            "opened@3:0 closed@13:0+13"},
       }) {
    EXPECT_EQ(eventsOf(c.script, c.guesses), c.events) << c.name;
  }
  // The last frame padded past the audio is not reported.
  EXPECT_EQ(eventsOf({{3, S}, {10, S}}, false, 12), "opened@3:0 closed@13:0+12");
  // A quiet report counts from the end of the utterance before it.
  EXPECT_EQ(eventsOf({{3, S}, {35, Q}, {100, Q}}, false),
            "opened@3:0 closed@38:0+38 quiet@138:108");
}

// A stand-in recogniser: an utterance's first sample names its one word, and a decode of an
// utterance named in `held` waits until the test lets it go.
class HeldDecoder final : public UtteranceDecoder {
 public:
  struct Control {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> held;     // names whose decode waits
    std::vector<int> decoded;  // names decoded, in the order they started
    void release(int name) {
      std::lock_guard lock(mutex);
      std::erase(held, name);
      changed.notify_all();
    }
    void awaitDecoding(int name) {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return std::count(decoded.begin(), decoded.end(), name) > 0; });
    }
  };
  explicit HeldDecoder(Control& control) : control_(control) {}
  std::optional<std::vector<RecognisedWord>> decodeWhole(
      std::span<const std::int16_t> utterance) override {
    int name = utterance.empty() ? -1 : utterance[0];
    std::unique_lock lock(control_.mutex);
    control_.decoded.push_back(name);
    control_.changed.notify_all();
    control_.changed.wait(lock, [&] {
      return std::find(control_.held.begin(), control_.held.end(), name) == control_.held.end();
    });
    return std::vector<RecognisedWord>{{"word" + std::to_string(name), 0, 10}};
  }

 private:
  Control& control_;
};

struct Pool {
  HeldDecoder::Control control;
  std::mutex mutex;
  std::vector<std::string> delivered;
  std::atomic<int> made{0};
  std::unique_ptr<DecoderPool> pool;

  explicit Pool(int most, bool factoryWorks = true, std::size_t waitingAtMost = 0) {
    std::vector<std::unique_ptr<UtteranceDecoder>> loaded;
    loaded.push_back(std::make_unique<HeldDecoder>(control));
    pool = std::make_unique<DecoderPool>(
        std::move(loaded), most,
        [this, factoryWorks]() -> std::unique_ptr<UtteranceDecoder> {
          ++made;
          if (!factoryWorks) return nullptr;
          return std::make_unique<HeldDecoder>(control);
        },
        [this](TranscriptionResult result) {
          std::lock_guard lock(mutex);
          if (!result.isFinal) {
            delivered.push_back("~" + result.text);
          } else {
            delivered.push_back(result.text.empty() ? "(quiet)" : result.text);
          }
        },
        waitingAtMost);
  }
  static DecoderPool::Utterance utterance(int name) {
    return {100 * name, std::vector<std::int16_t>(1600, static_cast<std::int16_t>(name)), 700, 1600,
            400};
  }
  DecoderPool::Ticket decode(int name) { return pool->decode(utterance(name)); }
  DecoderPool::Ticket guess(int name) { return pool->guess(utterance(name)); }
  std::vector<std::string> seen() {
    std::lock_guard lock(mutex);
    return delivered;
  }
};

TEST(DecoderPool, DeliversInTheOrderGivenWhateverOrderDecodesEnd) {
  Pool p(2);
  p.control.held = {1};
  p.decode(1);
  p.control.awaitDecoding(1);
  p.decode(2);
  p.control.awaitDecoding(2);  // on the second recogniser, made for it
  p.pool->deliver({"", {sampleTime(0), sampleTime(0)}, true});
  EXPECT_TRUE(p.seen().empty()) << "nothing before the first utterance's results";
  p.control.release(1);
  p.pool->drain();
  EXPECT_EQ(p.seen(), (std::vector<std::string>{"Word1", "Word2", "(quiet)"}));
  EXPECT_EQ(p.made, 1);
}

// Provisional text goes out at once, also while finals are decoded, and holds the text of every
// utterance whose results are not out yet; a guess's results wait for the guess to stand, and
// no provisional text follows the results of its speech.
TEST(DecoderPool, ProvisionalTextNeverWaitsAndNeverFollowsItsResults) {
  Pool p(1);
  p.control.held = {1, 2};
  p.pool->provisional("one", 0, 100);
  p.decode(1);  // "one" is now the provisional text of utterance 1
  p.control.awaitDecoding(1);
  p.pool->provisional("two", 200, 300);
  auto second = p.guess(2);
  EXPECT_EQ(p.seen(), (std::vector<std::string>{"~One", "~One two"}));
  p.control.release(1);
  p.control.awaitDecoding(2);  // delivered utterance 1 before it took the guess
  EXPECT_EQ(p.seen(), (std::vector<std::string>{"~One", "~One two", "Word1", "~Two"}));
  p.control.release(2);
  p.pool->provisional("two more", 200, 400);
  EXPECT_EQ(p.seen().back(), "~Two more") << "a guess decoded is not yet a result";
  p.pool->confirm(second, 400);
  p.pool->drain();
  EXPECT_EQ(p.seen(),
            (std::vector<std::string>{"~One", "~One two", "Word1", "~Two", "~Two more", "Word2"}));
}

TEST(DecoderPool, AWithdrawnUtteranceLeavesNoResultAndWaitingOnesAreNeverDecoded) {
  Pool p(1);
  p.control.held = {1};
  auto first = p.guess(1);
  p.control.awaitDecoding(1);
  auto second = p.guess(2);  // waits: the one recogniser is busy
  p.decode(3);
  p.pool->withdraw(second);
  p.pool->withdraw(first);  // already being decoded: decoded, but its results dropped
  p.control.release(1);
  p.pool->drain();
  EXPECT_EQ(p.seen(), std::vector<std::string>{"Word3"});
  EXPECT_EQ(p.control.decoded, (std::vector<int>{1, 3}));
}

TEST(DecoderPool, HoldsTwoUtterancesARecogniserWaitingAndThenTheCallerWaits) {
  Pool p(1, /*factoryWorks=*/false, /*waitingAtMost=*/2);
  p.control.held = {1};
  p.decode(1);
  p.control.awaitDecoding(1);
  p.decode(2);
  p.decode(3);
  std::atomic<bool> returned{false};
  std::jthread fourth([&] {
    p.decode(4);
    returned = true;
  });
  EXPECT_FALSE(returned) << "two wait already: the fourth waits for room";
  p.control.release(1);
  fourth.join();
  p.pool->drain();
  EXPECT_EQ(p.seen(), (std::vector<std::string>{"Word1", "Word2", "Word3", "Word4"}));
}

TEST(DecoderPool, WithoutMoreRecognisersTheOneThereIsDecodesEverything) {
  Pool p(3, /*factoryWorks=*/false);
  p.control.held = {1};
  p.decode(1);
  p.control.awaitDecoding(1);
  p.decode(2);  // a second worker is started; it cannot make a recogniser, and leaves
  p.control.release(1);
  p.pool->drain();
  EXPECT_EQ(p.seen(), (std::vector<std::string>{"Word1", "Word2"}));
  EXPECT_EQ(p.control.decoded, (std::vector<int>{1, 2})) << "both on the one recogniser there is";
}

}  // namespace
}  // namespace vorel::linuxplatform
