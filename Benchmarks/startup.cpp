// Start-up cost of the helper: the time from starting `vorel-speech` with a "platform" request
// to its exit, beside /bin/true started the same way, interleaved in one run.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace {

double runOnce(const char* program, const char* input) {
  vorel::ChildOptions options;
  options.output = vorel::ChildStream::null;
  auto start = std::chrono::steady_clock::now();
  auto child = vorel::ChildProcess::start(program, options);
  if (!child) return -1;
  vorel::writeAll(child->input(), input);
  child->closeInput();
  child->wait();
  auto elapsed = std::chrono::steady_clock::now() - start;
  return std::chrono::duration<double, std::milli>(elapsed).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const char* helper = argc > 1 ? argv[1] : "build/vorel-speech";
  const char* request = argc > 2 ? argv[2] : "{\"op\":\"platform\"}\n";
  const int runs = 300;
  std::signal(SIGPIPE, SIG_IGN);  // /bin/true may be gone before its input is written
  std::vector<double> helperTimes, trueTimes;
  for (int i = 0; i < 20; ++i) runOnce(helper, request), runOnce("/bin/true", "");
  for (int i = 0; i < runs; ++i) {
    helperTimes.push_back(runOnce(helper, request));
    trueTimes.push_back(runOnce("/bin/true", ""));
  }
  double h = median(helperTimes), t = median(trueTimes);
  std::printf("request: %s", request);
  std::printf("vorel-speech  median %.3f ms over %d runs\n", h, runs);
  std::printf("/bin/true     median %.3f ms over %d runs\n", t, runs);
  std::printf("ratio         %.2fx (goal: within 3x)\n", h / t);
}
