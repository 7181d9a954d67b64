// Fuzzes the helper's top level: any bytes on standard input, decoded and dispatched over the
// scripted platform (a listen request runs a whole live session). Every line written must be one
// record the client can decode, and the status 0 or 2.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ChunkedSource.h"
#include "HelperProtocol.h"
#include "ScriptedPlatform.h"
#include "VorelSpeech.h"

namespace {

bool decodesAsARecord(const std::string& line) {
  using namespace vorel;
  return Wire::decode<SpeechEvent>(line).has_value() ||
         Wire::decode<AssetState>(line).has_value() ||
         Wire::decode<PlatformStatus>(line).has_value() ||
         Wire::decode<LocalesLine>(line).has_value();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t chunk = 1 + data[0] % 64 * 1024;
  std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);

  vorel::testing::ScriptedPlatform platform;
  platform.version = data[0] & 0x80 ? vorel::OperatingSystemVersion{15, 6, 1}
                                    : vorel::OperatingSystemVersion{26, 0, 0};
  platform.onBuffer = [](double, double end) {
    return std::vector<vorel::testing::ScriptedResult>{{"so far", 0, end, false}};
  };
  platform.atEnd = [](double end) {
    return std::vector<vorel::testing::ScriptedResult>{{" all \n", 0, end, true}};
  };
  platform.results = {{"hello", 0, 0.5}};

  std::mutex mutex;
  std::vector<std::string> lines;
  vorel::Emit emit = [&](std::string_view record) {
    std::lock_guard guard(mutex);
    lines.emplace_back(record);
  };
  std::shared_ptr<vorel::LiveHandle> session;
  vorel::ListenFactory listen = [&](const std::string& locale, vorel::OnEvent onEvent) {
    return session = vorel::VorelSpeech::listen(platform, locale, std::move(onEvent));
  };
  int status = vorel::Helper::run(
      platform, std::make_shared<vorel::testing::ChunkedSource>(input, chunk), listen, emit);
  // After a broken frame stream the helper exits with the session still running; here, where
  // the process goes on, end it before the platform goes. What it says then is not looked at.
  std::vector<std::string> answered;
  {
    std::lock_guard guard(mutex);
    answered = lines;
  }
  if (session) {
    session->abort();
    session->finish();
  }
  lines = answered;
  if (status != 0 && status != 2) std::abort();
  for (const auto& line : lines) {
    if (line.find('\n') != std::string::npos || !decodesAsARecord(line)) std::abort();
  }
  return 0;
}
