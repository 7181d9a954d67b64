// A program started as a child process with its standard streams on pipes, /dev/null or this
// process's own. The object owns the child and its pipe ends: going out of scope closes them and,
// if the child has not been waited for, kills it and reaps it, so no child outlives its owner
// unseen and no descriptor leaks.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorel {

enum class ChildStream { inherit, pipe, null };

struct ChildOptions {
  std::vector<std::string> arguments;  // after the program's own path
  // NAME=value entries over this process's environment, or the whole of the child's.
  std::vector<std::string> environment;
  bool onlyThisEnvironment = false;
  ChildStream input = ChildStream::pipe;
  ChildStream output = ChildStream::pipe;
  ChildStream error = ChildStream::inherit;
  bool ownProcessGroup = false;        // Ctrl-C at a terminal then reaches only this process
  bool ownSession = false;             // nor a hang-up of this process's terminal or session
  bool searchPath = false;             // a bare program name is looked for on PATH
  bool closeOtherDescriptors = false;  // even those this process did not mark close-on-exec
};

// How a child ended.
struct ChildExit {
  int code = 0;    // its exit status, when it exited
  int signal = 0;  // the signal that ended it, or 0
  // The shell's way to say it: the exit status, or 128 + the signal.
  int status() const { return signal != 0 ? 128 + signal : code; }
};

class ChildProcess {
 public:
  // The child, or why it could not be started (as strerror says it).
  static std::expected<ChildProcess, std::string> start(const std::string& program,
                                                        const ChildOptions& options = {});
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  // This side of the piped streams; -1 for a stream not piped, or closed.
  int input() const { return input_; }
  int output() const { return output_; }
  int error() const { return error_; }
  void closeInput();
  void closeOutput();
  void closeError();

  // Sends a signal while the child has not been waited for.
  void kill(int signal);
  // Waits for the child to end, then closes the pipe ends still open.
  ChildExit wait();
  // The same within the limit; past it, or once `stop` (a descriptor, when given) is readable,
  // the child is killed and reaped, and nothing is returned.
  std::optional<ChildExit> waitFor(std::chrono::milliseconds limit, int stop = -1);
  // Leaves the child to run on its own: it is neither killed nor waited for by this object (a
  // program that bounds its own time and outlives its starter).
  void detach();

 private:
  ChildProcess(pid_t pid, int input, int output, int error)
      : pid_(pid), input_(input), output_(output), error_(error) {}
  void release();

  pid_t pid_ = -1;  // -1 once waited for
  int input_ = -1;
  int output_ = -1;
  int error_ = -1;
};

// Writes every byte to a descriptor, through interruptions; false once the reader is gone.
bool writeAll(int fd, std::string_view bytes);

}  // namespace vorel
