#include "Entry.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include "HelperProtocol.h"
#include "LastWords.h"
#include "ProcessSignals.h"
#include "SpeechWire.h"
#include "VorelSpeech.h"

namespace vorel {

void OutputChannel::write(std::string_view record) {
  std::lock_guard guard(writing_);
  std::string line;
  line.reserve(record.size() + 1);
  line.append(record);
  line.push_back('\n');
  std::string_view rest = line;
  while (!rest.empty()) {
    ssize_t written = ::write(fd_, rest.data(), rest.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // the reader is gone; nothing more can reach it
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

void runHelperProcess(SpeechPlatform& platform) {
  setHelperSignals();
  OutputChannel output(STDOUT_FILENO);
  // Whatever kills the helper from inside (a recogniser crashing on a model damaged since it was
  // proven), the client gets a last line, and only one.
  lastwords::arm(STDOUT_FILENO,
                 Wire::encode(SpeechEvent::failed("the speech engine stopped unexpectedly"))
                     .value_or(std::string()));
  Emit emit = [&output](std::string_view record) {
    auto event = Wire::decode<SpeechEvent>(record);
    if (event && event->isTerminal() && !lastwords::disarm()) return;  // the last line is out
    output.write(record);
  };
  ListenFactory listen = [&platform](const std::string& locale, OnEvent onEvent) {
    return VorelSpeech::listen(platform, locale, std::move(onEvent));
  };
  std::int32_t status = 0;
  std::thread([&] {
    status =
        Helper::run(platform, std::make_shared<FileDescriptorSource>(STDIN_FILENO), listen, emit);
  }).join();
  // Every line has been written with write(2), so there is nothing to flush; ending at once
  // keeps threads the platform may still have from racing static destruction.
  std::_Exit(status);
}

}  // namespace vorel
