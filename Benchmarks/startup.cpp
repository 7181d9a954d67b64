// Start-up cost of the helper: the time from starting `vorel-speech` with a "platform" request
// to its exit, beside /bin/true started the same way, interleaved in one run.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace {

double runOnce(const char* program, const char* input) {
  int in[2];
  if (pipe(in) != 0) return -1;
  int devnull = open("/dev/null", O_WRONLY);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, devnull, 1);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  char* argv[] = {const_cast<char*>(program), nullptr};
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  posix_spawn(&pid, program, &actions, nullptr, argv, environ);
  close(in[0]);
  ssize_t ignored = write(in[1], input, std::char_traits<char>::length(input));
  (void)ignored;
  close(in[1]);
  int status;
  waitpid(pid, &status, 0);
  auto elapsed = std::chrono::steady_clock::now() - start;
  posix_spawn_file_actions_destroy(&actions);
  close(devnull);
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
