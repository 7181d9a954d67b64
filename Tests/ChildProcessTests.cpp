#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <string>

#include "ChildProcess.h"

namespace vorel {
namespace {

bool gone(pid_t pid) {
  // Reaped, not merely ended: a zombie still answers signal 0.
  return ::kill(pid, 0) != 0 && errno == ESRCH;
}

std::size_t openDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

TEST(ChildProcess, TellsHowTheChildEnded) {
  struct Case {
    const char* script;
    int code;
    int signal;
    int status;
  } cases[] = {
      {"exit 0", 0, 0, 0},
      {"exit 3", 3, 0, 3},
      {"kill -TERM $$", 0, SIGTERM, 128 + SIGTERM},
  };
  for (const auto& c : cases) {
    ChildOptions options;
    options.arguments = {"-c", c.script};
    auto child = ChildProcess::start("/bin/sh", options);
    ASSERT_TRUE(child) << child.error();
    auto ended = child->wait();
    EXPECT_EQ(ended.code, c.code) << c.script;
    EXPECT_EQ(ended.signal, c.signal) << c.script;
    EXPECT_EQ(ended.status(), c.status) << c.script;
  }
}

TEST(ChildProcess, PipesCarryBothWaysAndTheEnvironmentIsAdded) {
  ChildOptions options;
  options.arguments = {"-c", "read line; echo \"$line $VOREL_TEST_WORD\""};
  options.environment = {"VOREL_TEST_WORD=there"};
  auto child = ChildProcess::start("/bin/sh", options);
  ASSERT_TRUE(child) << child.error();
  ASSERT_TRUE(writeAll(child->input(), "hello\n"));
  child->closeInput();
  std::string out;
  char buffer[256];
  ssize_t n;
  while ((n = ::read(child->output(), buffer, sizeof buffer)) > 0) out.append(buffer, n);
  EXPECT_EQ(out, "hello there\n");
  EXPECT_EQ(child->wait().status(), 0);
  EXPECT_EQ(child->output(), -1);  // closed by the wait
}

TEST(ChildProcess, AChildLeftRunningIsKilledAndReapedWithItsOwner) {
  pid_t pid;
  std::size_t before;
  {
    ChildOptions options;
    options.arguments = {"600"};
    options.searchPath = true;
    auto child = ChildProcess::start("sleep", options);
    ASSERT_TRUE(child) << child.error();
    pid = child->pid();
    ASSERT_FALSE(gone(pid));
    before = openDescriptors();
  }
  EXPECT_TRUE(gone(pid));
  EXPECT_EQ(openDescriptors(), before - 2);  // its input and output pipes
}

TEST(ChildProcess, AChildPastItsLimitIsKilledAndReaped) {
  ChildOptions options;
  options.arguments = {"600"};
  options.searchPath = true;
  auto child = ChildProcess::start("sleep", options);
  ASSERT_TRUE(child) << child.error();
  pid_t pid = child->pid();
  EXPECT_FALSE(child->waitFor(std::chrono::milliseconds(100)));
  EXPECT_TRUE(gone(pid));

  auto quick = ChildProcess::start("/bin/true");
  ASSERT_TRUE(quick);
  auto ended = quick->waitFor(std::chrono::seconds(60));
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->status(), 0);
}

TEST(ChildProcess, AProgramThatCannotStartIsAnErrorWithNothingLeftOpen) {
  auto before = openDescriptors();
  ChildOptions options;
  options.error = ChildStream::pipe;
  auto child = ChildProcess::start("/no/such/program", options);
  ASSERT_FALSE(child);
  EXPECT_NE(child.error().find("No such file"), std::string::npos) << child.error();
  EXPECT_EQ(openDescriptors(), before);
}

}  // namespace
}  // namespace vorel
