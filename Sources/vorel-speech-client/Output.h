// Where a command's text goes: standard output, as it comes; or a file, written beside its
// destination and put in its place whole, so that the file a user had is never truncated or
// left half written.
#pragma once

#include <sys/types.h>

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace vorel::client {

class Output {
 public:
  // Standard output.
  Output() = default;
  // A file: its destination is checked and a file beside it opened now; nothing at `path`
  // changes until commit(). A destination that is a device or a FIFO is written directly.
  // Refuses a destination that is one of `inputs` (the same file by device and inode).
  static std::expected<Output, std::string> file(const std::string& path,
                                                 const std::vector<std::string>& inputs = {});
  Output(Output&& other) noexcept;
  Output& operator=(Output&&) = delete;
  Output(const Output&) = delete;
  ~Output();  // an output not committed leaves the destination as it was

  // Writes all of `text`; false once any write has failed, with error() saying why.
  bool write(std::string_view text);
  // Puts the file in place (for standard output, flushes it); false, with error(), on failure.
  bool commit();
  // "cannot write FILE: REASON"
  const std::string& error() const { return error_; }
  bool failed() const { return !error_.empty(); }

 private:
  Output(std::string shown, std::string destination, int fd, bool direct, std::string partial = {});
  bool failWith(int error);
  void discard();

  std::string shown_ = "standard output";  // the name failures give
  std::string destination_;                // where a file goes; empty for standard output
  int fd_ = -1;                            // the file being written; -1 for standard output
  bool direct_ = false;                    // written in place: a device or FIFO
  std::string partial_;  // the named file beside, where the file system has no unnamed ones
  bool committed_ = false;
  std::string error_;
};

// The client's answers on standard output (results, --json lines), all through one Output, so
// that a failed write is seen; false once one has failed.
bool print(std::string_view text);

// A message for people on standard error: `note` says it as it is ("Kept journal.txt: ..."),
// `warn` with the client's name before it.
void note(std::string_view text);
void warn(std::string_view text);

// Whether a write to standard output has failed (and been reported by its Output).
bool standardOutputFailed();

// Whether two paths name the same existing file.
bool sameFile(const std::string& a, const std::string& b);

}  // namespace vorel::client
