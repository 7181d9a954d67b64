#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "Entry.h"
#include "Process.h"

namespace vorel {
namespace {

// Lines longer than the pipe's atomic write size, from eight threads at once: each must arrive
// whole, none mixed with another.
TEST(OutputChannel, WholeLinesFromManyThreadsOverAPipe) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  constexpr int threads = 8;
  constexpr int perThread = 200;
  std::string received;
  std::thread reader([&] {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) received.append(buffer, n);
  });
  {
    OutputChannel output(fds[1]);
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
      writers.emplace_back([&output, t] {
        for (int i = 0; i < perThread; ++i) {
          std::string record = "{\"t\":" + std::to_string(t) + ",\"i\":" + std::to_string(i) +
                               ",\"pad\":\"" + std::string(100 + (i * 997) % 9000, 'a' + t) + "\"}";
          output.write(record);
        }
      });
    }
    for (auto& w : writers) w.join();
  }
  close(fds[1]);
  reader.join();
  close(fds[0]);

  auto lines = testing::linesOf(received);
  ASSERT_EQ(lines.size(), std::size_t{threads * perThread});
  std::map<int, int> nextIndex;
  for (const auto& line : lines) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "{\"t\":%d,\"i\":%d", &t, &i), 2) << line.substr(0, 40);
    std::string expected = "{\"t\":" + std::to_string(t) + ",\"i\":" + std::to_string(i) +
                           ",\"pad\":\"" + std::string(100 + (i * 997) % 9000, 'a' + t) + "\"}";
    ASSERT_EQ(line, expected);
    EXPECT_EQ(i, nextIndex[t]++) << "one thread's lines keep their order";
  }
}

}  // namespace
}  // namespace vorel
