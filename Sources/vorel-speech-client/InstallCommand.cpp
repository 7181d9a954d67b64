// install: a locale's model downloaded and put in place, with a progress bar.
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "Commands.h"
#include "Interrupt.h"
#include "Reasons.h"
#include "Requests.h"
#include "Terminal.h"

namespace vorel::client {

using Clock = std::chrono::steady_clock;

int install(const Options& options) {
  const std::string& locale = options.arguments.at(0);
  auto helper = startHelper(options);
  if (!helper) return fail(helper.error());
  helper->send(request("install-assets", locale));
  helper->closeInput();
  StatusLine bar;
  auto started = Clock::now();
  std::optional<AssetState> last;
  while (auto line = helper->readLine()) {
    if (options.json) print(*line + "\n");
    auto state = Wire::decode<AssetState>(*line);
    if (!state) continue;
    last = *state;
    if (auto* d = std::get_if<AssetState::Downloading>(&state->value)) {
      // A total of 1000 is a per-mille count: the size is not known yet.
      bool sized = d->total > 0 && d->total != 1000;
      double fraction = d->total ? static_cast<double>(d->done) / d->total : 0;
      std::string details;
      if (sized) {
        double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        details = bytes(d->done) + " / " + bytes(d->total);
        if (seconds > 0.2 && d->done > 0) {
          double speed = d->done / seconds;
          details += "  " + bytes(static_cast<std::uint64_t>(speed)) + "/s  " +
                     shortClock(static_cast<std::uint64_t>(
                         (d->total - std::min(d->done, d->total)) / speed * 1000)) +
                     " left";
        }
      }
      bar.show(progressLine("Installing " + locale, fraction, details, statusWidth()));
    }
  }
  interrupted() ? bar.clearAfterInterrupt() : bar.clear();
  int exit = reap(*helper);
  if (stoppedByInterrupt()) {
    fail("stopped: " + locale + " is not installed");
    return interruptedStatus();
  }
  if (!last) return fail("the speech helper gave no answer (status " + std::to_string(exit) + ")");
  if (options.json) return last->is<AssetState::Installed>() ? 0 : 1;
  if (last->is<AssetState::Installed>()) {
    print(locale + " is installed.\n");
    return 0;
  }
  if (auto* f = std::get_if<AssetState::Failed>(&last->value)) return fail(f->reason);
  if (last->is<AssetState::Unsupported>()) {
    return fail(locale + " is not supported: " + noModelOffered +
                " (a catalog, $XDG_DATA_HOME/vorel-speech/catalog.json, says where a model can be "
                "downloaded; see vorel-speech-client help install)");
  }
  return fail("the installation of " + locale + " did not finish");
}

}  // namespace vorel::client
