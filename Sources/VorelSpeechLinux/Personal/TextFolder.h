// The folder of the writer's texts for a locale (<data>/vorel-speech/personal/<locale>/), opened
// the same way for reading and for writing: never through a link at either of its two levels, so
// that nothing written for the writer lands in a folder a link points at, and nothing read comes
// from one.
//
// A text is kept by writing it whole beside its place (a hidden scratch name) and then giving it
// its name, never replacing a text the writer kept before unless the new one holds the whole of
// it: a second text that comes under a name already kept gets a free name beside it
// ("journal-2.txt").
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorel::linuxplatform {

// The longest name a text is kept under, in bytes, with room for a "-NNN" beside it.
inline constexpr std::size_t longestTextName = 200;

class TextFolder {
 public:
  // Opens the folder; with `create`, makes what is missing of it (folders 0700, and the existing
  // ones made 0700 too). Fails, with a reason for people, when either level is a link or not a
  // folder, or cannot be opened or made.
  static std::expected<TextFolder, std::string> open(const std::filesystem::path& folder,
                                                     bool create);
  TextFolder(TextFolder&& other) noexcept;
  TextFolder& operator=(TextFolder&& other) noexcept;
  TextFolder(const TextFolder&) = delete;
  TextFolder& operator=(const TextFolder&) = delete;
  ~TextFolder();

  int fd() const { return fd_; }
  const std::filesystem::path& path() const { return path_; }

  // The names of the texts in it (*.txt, not hidden), sorted.
  std::vector<std::string> names() const;

  enum class Kept { added, unchanged, replaced };
  struct KeptText {
    std::string name;  // the name it is kept under
    Kept how = Kept::added;
  };
  // Keeps `text` (at mode 0600) under `name` (a file name ending in .txt) or, when a different
  // text is kept under that name already, under the first free "<stem>-N.txt". A text equal to
  // one kept under the name is left as it is (`unchanged`); one that holds the whole of the text
  // kept under the name takes its place (`replaced`: a journal that grew).
  std::expected<KeptText, std::string> keep(const std::string& name, std::string_view text);

  // Removes a text; a text that is no longer there is no failure.
  std::expected<void, std::string> remove(const std::string& name);

 private:
  TextFolder(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::filesystem::path path_;
};

// The whole content of a regular file of at most `largest` bytes (`path` relative to the folder
// open at `folder`, or AT_FDCWD), never through a link or from a FIFO; nothing otherwise.
std::optional<std::string> readSmallFile(int folder, const std::filesystem::path& path,
                                         std::uintmax_t largest);

// A file name as a text is kept under: its last path component without leading dots, ending in
// .txt, at most `longestTextName` bytes (cut at a character's start).
std::string textNameFor(std::string_view fileName);

}  // namespace vorel::linuxplatform
