// What the client knows of the terminal: whether there is one, its width, and a status line.
#pragma once

#include <string>

namespace vorel::client {

bool isTerminal(int fd);
// Columns of the terminal on standard error; 80 when it says nothing.
int terminalWidth();
// The width a status line may take: the terminal's, less room for the "^C" it echoes, so that a
// Ctrl-C never wraps the line where clearing it would miss it.
int statusWidth();

// One line on standard error that redraws in place, when standard error is a terminal.
class StatusLine {
 public:
  StatusLine();
  void show(const std::string& text);
  void clear();
  // After Ctrl-C, whose "^C" the terminal echoed where the cursor was: a line being shown is
  // cleared with it; otherwise the line is ended, so that nothing is written after the "^C".
  void clearAfterInterrupt();

 private:
  bool enabled_;
  std::string shown_;
};

}  // namespace vorel::client
