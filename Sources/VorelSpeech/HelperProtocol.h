// The helper's protocol: the request line, the framing of standard input and the dispatch of
// the one request a helper process serves.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "SpeechListening.h"
#include "SpeechPlatform.h"
#include "SpeechWire.h"

namespace vorel {

// The decoded request line. "locale" and "path" are missing when absent or null.
struct HelperRequest {
  std::string op;
  std::optional<std::string> locale;
  std::optional<std::string> path;

  // No real request comes near this; a longer line is not understood, unread.
  static constexpr std::size_t maxLineBytes = 1 << 20;

  // Nothing when the line is not one JSON object with a string "op" and, where present, string
  // or null "locale" and "path"; nor when it is longer than maxLineBytes or holds a NUL byte.
  static std::optional<HelperRequest> decode(std::string_view line);
  // The request line, line feed included, as a client sends it. Text that is not UTF-8 is
  // replaced, never dropped: a path the helper cannot open is then reported as such.
  std::string encode() const;
};

// Where the reader's bytes come from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Between 1 and upTo bytes, or none at the end of input (or on a read failure).
  virtual std::string read(std::size_t upTo) = 0;
};

// Reads an operating-system descriptor; never closes it.
class FileDescriptorSource final : public ByteSource {
 public:
  explicit FileDescriptorSource(int fd) : fd_(fd) {}
  std::string read(std::size_t upTo) override;

 private:
  int fd_;
};

struct FrameError {
  enum class Kind { malformedLength, truncated };
  Kind kind = Kind::truncated;
  std::uint32_t length = 0;  // the announced length, for malformedLength

  static FrameError malformedLength(std::uint32_t length) {
    return {Kind::malformedLength, length};
  }
  static FrameError truncated() { return {Kind::truncated, 0}; }

  // "truncated", or "malformedLength(3)".
  std::string text() const;
  bool operator==(const FrameError&) const = default;
};

// A frame's header: the payload's length in bytes, as four little-endian bytes.
std::string frameHeader(std::uint32_t length);
// A frame as a client writes it after a listen request: header, then payload.
std::string encodeFrame(std::string_view payload);

// Splits standard input into the request line and the length-prefixed audio frames after it.
// Copies share the source; each copy keeps its own pending bytes.
class FrameReader {
 public:
  static constexpr std::uint32_t maxFrameBytes = 960000;

  explicit FrameReader(std::shared_ptr<ByteSource> source) : source_(std::move(source)) {}

  // The bytes up to the first line feed (not included), or whatever remains at the end of input.
  // Stops reading once more than HelperRequest::maxLineBytes have come without a line feed, and
  // returns those (a line too long to be a request).
  std::string line();
  // The next frame's payload; nothing at a clean end of input; an error otherwise.
  std::expected<std::optional<std::string>, FrameError> next();

 private:
  static constexpr std::size_t readSize = 65536;

  std::expected<bool, FrameError> fill(std::size_t count, bool eofAllowed);

  std::shared_ptr<ByteSource> source_;
  std::string pending_;
};

// The output channel: takes one encoded record and writes it as one line.
using Emit = std::function<void(std::string_view record)>;
using ListenFactory =
    std::function<std::shared_ptr<LiveHandle>(const std::string& locale, OnEvent onEvent)>;

namespace Helper {

inline constexpr std::int32_t malformed = 2;

// Reads and serves the one request of this process; returns the exit status.
std::int32_t run(SpeechPlatform& platform, std::shared_ptr<ByteSource> source,
                 const ListenFactory& listen, const Emit& emit);
// Serves any request line but "listen"; returns the exit status.
std::int32_t handle(SpeechPlatform& platform, std::string_view line, const Emit& emit);
// Feeds every frame after a listen request into the live session, then finishes it.
std::int32_t feedSession(FrameReader reader, std::shared_ptr<LiveHandle> into, const Emit& emit);

}  // namespace Helper
}  // namespace vorel
