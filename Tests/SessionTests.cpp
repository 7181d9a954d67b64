// The live session, its audio conversion and its lag monitor, against the scripted platform.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <future>
#include <thread>

#include "Channel.h"
#include "HelperProtocol.h"
#include "ScriptedPlatform.h"
#include "SpeechListening.h"
#include "VorelSpeech.h"

namespace vorel {
namespace {

using testing::ScriptedPlatform;
using testing::ScriptedResult;

std::string samples(std::size_t count, std::int16_t value) {
  std::string bytes;
  for (std::size_t i = 0; i < count; ++i) {
    bytes.push_back(static_cast<char>(value & 0xff));
    bytes.push_back(static_cast<char>((value >> 8) & 0xff));
  }
  return bytes;
}

// Half a second of input audio: speech, or digital silence.
const std::string speechChunk = samples(24000, 2000);
const std::string silentChunk = samples(24000, 0);

TEST(Lag, IsSpeechByRootMeanSquare) {
  struct Case {
    const char* name;
    std::string chunk;
    bool speech;
  };
  for (const auto& c : std::vector<Case>{
           {"empty", "", false},
           {"one byte", "\x7f", false},
           {"zeros", samples(480, 0), false},
           {"33", samples(480, 33), true},
           {"32", samples(480, 32), false},
           {"-33", samples(480, -33), true},
           {"three bytes judged on the first two", samples(1, 40) + "\x00", true},
           {"three bytes, quiet first sample", samples(1, 3) + "\x7f", false},
           {"little-endian, signed", std::string("\x00\x80", 2), true},
       }) {
    EXPECT_EQ(Lag::isSpeech(c.chunk), c.speech) << c.name;
  }
}

TEST(Lag, AllowsExactlyAMinuteOfUnheardSpeech) {
  Lag lag;
  for (int i = 0; i < 120; ++i) ASSERT_TRUE(lag.fed(0.5, true)) << i;
  EXPECT_FALSE(lag.fed(0.5, true)) << "60.5 s unheard";
  EXPECT_FALSE(lag.fed(0.5, false)) << "still behind; silence does not help";
  lag.heard(60.0);  // the recogniser caught up through the 120th chunk
  EXPECT_TRUE(lag.fed(0.5, true));
}

TEST(Lag, SilenceNeverCountsAndResultsMoveTheMark) {
  Lag lag;
  for (int i = 0; i < 100000; ++i) ASSERT_TRUE(lag.fed(0.5, false));
  Lag marks;
  marks.fed(0.5, true);   // (0.5, 0.5)
  marks.fed(0.5, false);  // (1.0, 0.5)
  marks.fed(0.5, true);   // (1.5, 1.0)
  marks.heard(std::nan(""));
  marks.heard(0.4);                                    // before the first mark: nothing
  for (int i = 0; i < 118; ++i) marks.fed(0.5, true);  // 60.0 s spoken, none heard
  EXPECT_FALSE(marks.fed(0.5, true));
  Lag heard;
  heard.fed(0.5, true);
  heard.fed(0.5, false);
  heard.fed(0.5, true);
  heard.heard(1.2);  // removes the first two marks: 0.5 s heard
  for (int i = 0; i < 119; ++i)
    ASSERT_TRUE(heard.fed(0.5, true)) << i;  // 60.5 spoken, 60.0 unheard
  EXPECT_FALSE(heard.fed(0.5, true));
  Lag exact;
  exact.fed(0.5, true);
  exact.heard(0.5);  // a result ending exactly at a mark removes it
  for (int i = 0; i < 120; ++i) ASSERT_TRUE(exact.fed(0.5, true)) << i;
  EXPECT_FALSE(exact.fed(0.5, true));
}

// A converter the test controls: a fixed status, and how many frames it writes.
class FixedConverter final : public AudioConverter {
 public:
  ConverterOutputStatus status = ConverterOutputStatus::inputRanDry;
  std::uint32_t lastCapacity = 0;
  std::uint32_t inputFrames = 0;
  std::int16_t firstSample = 0;
  ConverterOutputStatus convert(PcmBuffer& output, const InputProvider& provider) override {
    lastCapacity = output.frameCapacity;
    auto input = provider(output.frameCapacity);
    if (input.buffer) {
      inputFrames = input.buffer->frameLength;
      firstSample = input.buffer->int16[0];
      EXPECT_EQ(provider(1).status, ConverterInputStatus::noDataNow) << "the input is given once";
    }
    output.frameLength = 1;
    return status;
  }
};

TEST(Convert, SizesTheOutputAndPassesTheSamplesOn) {
  const AudioFormat input = SpeechSession::inputFormat();
  const AudioFormat third{CommonFormat::float32, 16000, 1, true};
  struct Case {
    std::size_t bytes;
    std::uint32_t frames;
    std::uint32_t capacity;
  };
  for (const auto& c : std::vector<Case>{{600, 300, 116}, {601, 300, 116}, {3, 1, 17}}) {
    FixedConverter converter;
    auto buffer = SpeechSession::convert(std::string(c.bytes, '\x01'), input, converter, third);
    ASSERT_TRUE(buffer) << c.bytes;
    EXPECT_EQ(converter.inputFrames, c.frames) << c.bytes;
    EXPECT_EQ(converter.lastCapacity, c.capacity) << c.bytes;
    EXPECT_EQ(buffer->format, third);
  }
  FixedConverter same;
  SpeechSession::convert(samples(10, 1), input, same, input);
  EXPECT_EQ(same.lastCapacity, 26u) << "same rate: frames + 16";

  FixedConverter signedSamples;
  SpeechSession::convert(std::string("\x00\x80", 2), input, signedSamples, third);
  EXPECT_EQ(signedSamples.firstSample, -32768);
}

TEST(Convert, ShortChunksGiveAnEmptyBufferAndTheErrorStatusGivesNone) {
  const AudioFormat input = SpeechSession::inputFormat();
  const AudioFormat analyzer{CommonFormat::int16, 16000, 1, true};
  for (std::size_t bytes : {0u, 1u}) {
    FixedConverter converter;
    auto buffer = SpeechSession::convert(std::string(bytes, '\x01'), input, converter, analyzer);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->frameCapacity, 1u);
    EXPECT_EQ(buffer->frameLength, 0u);
    EXPECT_EQ(converter.lastCapacity, 0u) << "the converter is not run";
  }
  for (auto status : {ConverterOutputStatus::haveData, ConverterOutputStatus::inputRanDry,
                      ConverterOutputStatus::endOfStream}) {
    FixedConverter converter;
    converter.status = status;
    EXPECT_TRUE(SpeechSession::convert(samples(4, 1), input, converter, analyzer));
  }
  FixedConverter failing;
  failing.status = ConverterOutputStatus::error;
  EXPECT_FALSE(SpeechSession::convert(samples(4, 1), input, failing, analyzer));
}

// A session over the scripted platform, with its events collected.
struct Live {
  ScriptedPlatform platform;
  std::mutex mutex;
  std::vector<SpeechEvent> events;
  std::shared_ptr<LiveHandle> handle;

  void open(const std::string& locale = "en-US") {
    handle = VorelSpeech::listen(platform, locale, [this](const SpeechEvent& e) {
      std::lock_guard guard(mutex);
      events.push_back(e);
    });
  }
  std::vector<SpeechEvent> seen() {
    std::lock_guard guard(mutex);
    return events;
  }
  void awaitEvents(std::size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (seen().size() < count) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no event " << count << " in 30 s";
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  int terminals() {
    auto all = seen();
    return static_cast<int>(
        std::count_if(all.begin(), all.end(), [](const SpeechEvent& e) { return e.isTerminal(); }));
  }
};

// Each buffer the analyzer takes gives a volatile result of what it has heard so far; the end of
// input gives one final result over everything.
void scriptRecogniser(ScriptedPlatform& platform) {
  platform.onBuffer = [](double, double end) {
    return std::vector<ScriptedResult>{{"words " + std::to_string(int(end * 10)), 0, end, false}};
  };
  platform.atEnd = [](double end) {
    return std::vector<ScriptedResult>{{"  all the words \n", 0.25, end, true},
                                       {" \n", end, end, true}};
  };
}

TEST(LiveSession, VolatileTextThenSegmentsThenDone) {
  Live live;
  scriptRecogniser(live.platform);
  live.open();
  for (int i = 0; i < 4; ++i) live.handle->feed(speechChunk);
  live.handle->feed("");  // an empty chunk is counted, converted to nothing and skipped
  live.handle->feed("\x01");
  live.handle->finish();
  auto events = live.seen();
  ASSERT_EQ(events.size(), 6u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(events[i], SpeechEvent::volatileText("words " + std::to_string(5 * (i + 1))));
  }
  EXPECT_EQ(events[4], SpeechEvent::segments({{"all the words", 250, 2000}}));
  EXPECT_EQ(events[5], SpeechEvent::done());
  live.handle->finish();  // a second finish returns at once and delivers nothing
  live.handle->abort();
  EXPECT_EQ(live.seen().size(), 6u);
}

TEST(LiveSession, EachWayOfFailingEndsOnceWithItsReason) {
  struct Case {
    const char* name;
    std::string locale;
    std::function<void(ScriptedPlatform&)> script;
    std::string reason;
  };
  for (const auto& c : std::vector<Case>{
           {"unsupported locale", "xx-YY", [](ScriptedPlatform&) {},
            "the speech engine does not offer xx-YY"},
           {"no analyzer format", "en-US", [](ScriptedPlatform& p) { p.analyzerFormat.reset(); },
            "the speech engine named no format to hear in"},
           {"analyzer does not start", "en-US",
            [](ScriptedPlatform& p) { p.startError = "no mic"; }, "no mic"},
           {"chunk not converted", "en-US", [](ScriptedPlatform& p) { p.converterFails = true; },
            "a buffer was not converted for the speech engine"},
           {"finishing fails", "en-US", [](ScriptedPlatform& p) { p.finishError = "late"; },
            "late"},
           {"results fail", "en-US", [](ScriptedPlatform& p) { p.resultsError = "lost"; }, "lost"},
       }) {
    SCOPED_TRACE(c.name);
    Live live;
    scriptRecogniser(live.platform);
    c.script(live.platform);
    live.open(c.locale);
    for (int i = 0; i < 3; ++i) live.handle->feed(speechChunk);
    live.handle->finish();
    auto events = live.seen();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), SpeechEvent::failed(c.reason));
    EXPECT_EQ(live.terminals(), 1);
  }
}

TEST(LiveSession, AbortWhileResolvingNeverStartsTheAnalyzer) {
  Live live;
  live.platform.resolving.close();
  live.open();
  live.platform.resolving.awaitArrival();
  live.handle->abort();
  live.handle->abort();
  live.handle->feed(speechChunk);
  live.platform.resolving.open();
  live.handle->finish();
  EXPECT_EQ(live.seen(), std::vector{SpeechEvent::cancelled()});
  auto calls = live.platform.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "start"), 0);
}

TEST(LiveSession, FallingAMinuteBehindOnSpeechEndsTheSession) {
  Live live;
  scriptRecogniser(live.platform);
  live.platform.hearing.close();  // the recogniser takes nothing: every chunk stays unheard
  live.open();
  for (int i = 0; i < 121; ++i) live.handle->feed(speechChunk);
  live.awaitEvents(1);
  for (int i = 0; i < 10; ++i) live.handle->feed(speechChunk);  // dropped: the session has ended
  live.platform.hearing.open();
  live.handle->finish();
  EXPECT_EQ(live.seen(),
            std::vector{SpeechEvent::failed("the speech engine fell a minute behind")});
}

// The recogniser keeps up provisionally, while the final text of the speech falls behind: what
// the caller still waits for is what counts, so the session ends all the same.
TEST(LiveSession, FinalsFallingAMinuteBehindEndTheSessionWhateverTheProvisionalText) {
  struct Case {
    const char* name;
    double finalsEvery;  // seconds of audio between finals (0: none until the end)
    bool ends;
  };
  for (const auto& c : std::vector<Case>{
           {"no final for a minute and a half", 0, true},
           {"a final every ten seconds", 10, false},
       }) {
    SCOPED_TRACE(c.name);
    Live live;
    double finalsEvery = c.finalsEvery;
    live.platform.onBuffer = [finalsEvery](double start, double end) {
      std::vector<ScriptedResult> results{{"words so far", start, end, false}};
      if (finalsEvery > 0 && std::floor(end / finalsEvery) > std::floor(start / finalsEvery)) {
        results.push_back({"words", 0, end, true});
      }
      return results;
    };
    live.open();
    // 90 s of speech, each chunk fed once the one before it has been heard provisionally.
    for (std::size_t i = 0; i < 180 && live.terminals() == 0; ++i) {
      live.handle->feed(speechChunk);
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      auto heard = [&] {
        auto all = live.seen();
        return std::count_if(all.begin(), all.end(),
                             [](const SpeechEvent& e) { return e.is<SpeechEvent::Volatile>(); }) >
                   static_cast<std::ptrdiff_t>(i) ||
               live.terminals() > 0;
      };
      while (!heard()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "chunk " << i << " not heard";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    live.handle->finish();
    auto events = live.seen();
    ASSERT_FALSE(events.empty());
    if (c.ends) {
      EXPECT_EQ(events.back(), SpeechEvent::failed("the speech engine fell a minute behind"));
    } else {
      EXPECT_EQ(events.back(), SpeechEvent::done());
    }
    EXPECT_EQ(live.terminals(), 1);
  }
}

// Hands out its first bytes, then the rest once `later` is ready.
class TwoPartSource final : public ByteSource {
 public:
  TwoPartSource(std::string first, std::string rest, std::shared_future<void> later)
      : first_(std::move(first)), rest_(std::move(rest)), later_(std::move(later)) {}
  std::string read(std::size_t upTo) override {
    if (first_.empty()) {
      later_.wait();
      std::swap(first_, rest_);
    }
    std::string part = first_.substr(0, upTo);
    first_.erase(0, part.size());
    return part;
  }

 private:
  std::string first_, rest_;
  std::shared_future<void> later_;
};

// The recogniser is busy with what it has when the frame stream breaks: the failure is written
// at once, not once the session has wound down, and it is the only terminal line.
TEST(LiveSession, ABrokenFrameStreamIsReportedWhileTheRecogniserIsStillBusy) {
  Live live;
  std::promise<void> busy;
  std::promise<void> goOn;
  std::shared_future<void> mayGoOn = goOn.get_future().share();
  std::shared_future<void> isBusy = busy.get_future().share();
  std::once_flag once;
  live.platform.onBuffer = [&busy, &once, mayGoOn](double, double) {
    std::call_once(once, [&] { busy.set_value(); });
    mayGoOn.wait();
    return std::vector<ScriptedResult>{};
  };
  live.open();
  std::mutex mutex;
  std::vector<std::string> lines;
  Emit emit = [&](std::string_view line) {
    std::lock_guard guard(mutex);
    lines.emplace_back(line);
  };
  // The stream breaks inside a frame header once the recogniser is busy with the first frame.
  auto source = std::make_shared<TwoPartSource>(encodeFrame(speechChunk), "\x10", isBusy);
  std::jthread feeding([&, handle = std::move(live.handle)]() mutable {
    Helper::feedSession(FrameReader(source), std::move(handle), emit);
  });
  isBusy.wait();
  auto written = [&] {
    std::lock_guard guard(mutex);
    return !lines.empty();
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!written() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(written()) << "nothing written while the recogniser was busy";
  goOn.set_value();
  feeding.join();
  EXPECT_EQ(
      lines,
      std::vector<std::string>{
          R"({"kind":"failed","reason":"the speech helper could not read the audio: truncated"})"});
}

std::size_t threadsOfThisProcess() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

TEST(LiveSession, FallingBehindWhileTheClientReadsSlowlyEndsOnceFromOneThread) {
  ScriptedPlatform platform;
  scriptRecogniser(platform);
  // The client reads nothing until the test lets it: the first volatile event waits in the sink,
  // holding up every later delivery, and so the recogniser's progress, too.
  std::promise<void> reading;
  std::shared_future<void> clientReads = reading.get_future().share();
  std::mutex mutex;
  std::vector<SpeechEvent> events;
  auto handle = VorelSpeech::listen(platform, "en-US", [&](const SpeechEvent& e) {
    clientReads.wait();
    std::lock_guard guard(mutex);
    events.push_back(e);
  });
  for (int i = 0; i < 125; ++i) handle->feed(speechChunk);  // a minute and more: behind
  std::size_t before = threadsOfThisProcess();
  for (int i = 0; i < 2000; ++i) handle->feed(speechChunk);
  EXPECT_LE(threadsOfThisProcess(), before + 1) << "no thread per refused chunk";
  reading.set_value();
  // The audio has not ended, so nothing but the lag rule can end the session: wait for its
  // event before ending the audio (which would race it with "done").
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    {
      std::lock_guard guard(mutex);
      if (!events.empty() && events.back().isTerminal()) break;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the session never ended";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  handle->finish();
  handle.reset();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), SpeechEvent::failed("the speech engine fell a minute behind"));
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const SpeechEvent& e) { return e.isTerminal(); }),
            1);
}

TEST(LiveSession, SilenceNeverFallsBehind) {
  Live live;
  scriptRecogniser(live.platform);
  live.platform.hearing.close();
  live.open();
  // Three minutes: past the lag rule's minute, within what the session queues before it holds
  // the sender back.
  for (int i = 0; i < 360; ++i) live.handle->feed(silentChunk);
  for (int i = 0; i < 100; ++i) live.handle->feed(speechChunk);  // and fifty seconds of speech
  live.platform.hearing.open();
  live.handle->finish();
  auto events = live.seen();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), SpeechEvent::done());
  EXPECT_EQ(live.terminals(), 1);
}

// Audio sent faster than it is heard holds the sender back rather than queueing without bound
// (twenty minutes of silence would be 115 MB), and nothing held back is lost.
TEST(LiveSession, AudioSentFasterThanItIsHeardWaitsAndIsAllHeard) {
  Live live;
  scriptRecogniser(live.platform);
  live.platform.hearing.close();
  live.open();
  std::atomic<int> fed{0};
  std::jthread sender([&] {
    for (int i = 0; i < 2400; ++i, ++fed) live.handle->feed(silentChunk);  // twenty minutes
    for (int i = 0; i < 10; ++i, ++fed) live.handle->feed(speechChunk);
  });
  // Four minutes fit in the queues; then the sender waits for the recogniser.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (fed < 480) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the queues hold four minutes";
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // Two minutes waiting to be converted, two waiting for the recogniser, one chunk in between.
  EXPECT_LE(fed, 481) << "the sender is held back while nothing is heard";
  live.platform.hearing.open();
  sender.join();
  live.handle->finish();
  auto events = live.seen();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.back(), SpeechEvent::done());
  EXPECT_EQ(events[events.size() - 2], SpeechEvent::segments({{"all the words", 250, 1205000}}))
      << "every chunk reached the recogniser";
}

TEST(Channel, APushWhenFullWaitsForRoomAndAFinishDropsIt) {
  Channel<std::string> channel(10, [](const std::string& item) { return item.size(); });
  std::atomic<int> accepted{0};
  std::atomic<int> tried{0};
  std::jthread producer([&] {
    for (int i = 0; i < 100; ++i) {
      ++tried;
      if (channel.pushWhenRoom(std::string(4, 'x'), {})) ++accepted;
    }
  });
  // 4 + 4 + 4 bytes: the third push still finds room (8 < 10), the fourth waits.
  while (accepted < 3) std::this_thread::yield();
  EXPECT_EQ(channel.pop(), std::string(4, 'x'));  // room for one more
  while (accepted < 4) std::this_thread::yield();
  channel.finish();
  producer.join();
  EXPECT_EQ(accepted, 4) << "a push past the capacity waited, and the finish dropped it";
  EXPECT_EQ(tried, 100);
  int left = 0;
  while (channel.pop()) ++left;
  EXPECT_EQ(left, 3) << "what was queued is still delivered after the finish";

  Channel<std::string> stopping(1, [](const std::string& item) { return item.size(); });
  std::stop_source stop;
  ASSERT_TRUE(stopping.pushWhenRoom("a", stop.get_token()));
  std::jthread waiting([&] { EXPECT_FALSE(stopping.pushWhenRoom("b", stop.get_token())); });
  stop.request_stop();
}

TEST(LiveSession, AbortRacingTheEndOfInputDeliversExactlyOneEnd) {
  for (int round = 0; round < 50; ++round) {
    Live live;
    scriptRecogniser(live.platform);
    live.open();
    for (int i = 0; i < 3; ++i) live.handle->feed(speechChunk);
    std::thread aborting([&] { live.handle->abort(); });
    live.handle->finish();
    aborting.join();
    auto events = live.seen();
    ASSERT_EQ(live.terminals(), 1) << "round " << round;
    EXPECT_TRUE(events.back().isTerminal()) << "nothing follows the end, round " << round;
    EXPECT_TRUE(events.back() == SpeechEvent::done() || events.back() == SpeechEvent::cancelled());
  }
}

TEST(LiveSession, BelowTheFloorTheHandleIsInert) {
  Live live;
  live.platform.version = {15, 6, 1};
  live.open();
  EXPECT_EQ(live.seen(), std::vector{SpeechEvent::failed("Voice needs iOS 26")});
  live.handle->feed(speechChunk);
  live.handle->abort();
  live.handle->finish();
  EXPECT_EQ(live.seen().size(), 1u);
  EXPECT_TRUE(live.platform.calls().empty());
}

}  // namespace
}  // namespace vorel
