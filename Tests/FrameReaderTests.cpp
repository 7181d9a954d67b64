#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "ChunkedSource.h"
#include "HelperProtocol.h"

namespace vorel {
namespace {

using testing::ChunkedSource;

std::string header(std::uint32_t n) {
  return frameHeader(n);
}

std::string frame(const std::string& payload) {
  return encodeFrame(payload);
}

struct Case {
  const char* name;
  std::string input;
  std::string line;
  std::vector<std::string> frames;
  std::optional<FrameError> error;  // how the frame stream ends; nothing for a clean end
};

std::vector<Case> cases() {
  const std::string big(FrameReader::maxFrameBytes, 'a');
  return {
      {"line without feed", R"({"op":"platform"})", R"({"op":"platform"})", {}, std::nullopt},
      {"empty input", "", "", {}, std::nullopt},
      {"carriage return kept", "{}\r\n", "{}\r", {}, std::nullopt},
      {"bytes after the line", "a\nb\nc", "a", {}, FrameError::truncated()},
      {"frames after the line",
       "req\n" + frame("ab") + frame("") + frame("wxyz"),
       "req",
       {"ab", "", "wxyz"},
       std::nullopt},
      {"little-endian length",
       "r\n" + header(4096) + std::string(4096, 'z'),
       "r",
       {std::string(4096, 'z')},
       std::nullopt},
      {"largest frame", "r\n" + frame(big), "r", {big}, std::nullopt},
      {"next even length too long",
       "r\n" + frame("ok") + header(960002),
       "r",
       {"ok"},
       FrameError::malformedLength(960002)},
      {"odd length", "r\n" + header(3) + "abc", "r", {}, FrameError::malformedLength(3)},
      {"huge length", "r\n" + header(0xffffffff), "r", {}, FrameError::malformedLength(0xffffffff)},
      {"ends inside a header",
       "r\n" + frame("ab") + "\x02\x00",
       "r",
       {"ab"},
       FrameError::truncated()},
      {"ends inside a payload", "r\n" + header(4) + "ab", "r", {}, FrameError::truncated()},
      {"ends after a header", "r\n" + header(2), "r", {}, FrameError::truncated()},
  };
}

TEST(FrameReader, SameLineAndFramesHoweverTheInputIsSplit) {
  for (const auto& c : cases()) {
    for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{4096},
                              std::numeric_limits<std::size_t>::max()}) {
      SCOPED_TRACE(std::string(c.name) + ", reads of " + std::to_string(chunk));
      FrameReader reader(std::make_shared<ChunkedSource>(c.input, chunk));
      EXPECT_EQ(reader.line(), c.line);
      std::vector<std::string> frames;
      std::optional<FrameError> error;
      for (;;) {
        auto next = reader.next();
        if (!next) {
          error = next.error();
          break;
        }
        if (!*next) break;
        frames.push_back(**next);
      }
      EXPECT_EQ(frames, c.frames);
      EXPECT_EQ(error, c.error);
    }
  }
}

TEST(FrameReader, ErrorTextsNameTheCase) {
  EXPECT_EQ(FrameError::truncated().text(), "truncated");
  EXPECT_EQ(FrameError::malformedLength(3).text(), "malformedLength(3)");
  EXPECT_EQ(FrameError::malformedLength(960002).text(), "malformedLength(960002)");
}

TEST(FrameReader, ReadsARealDescriptorAndKeepsItOpen) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string input = "{\"op\":\"listen\"}\n" + frame("hi");
  ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(fds[1]);
  FrameReader reader(std::make_shared<FileDescriptorSource>(fds[0]));
  EXPECT_EQ(reader.line(), "{\"op\":\"listen\"}");
  auto first = reader.next();
  ASSERT_TRUE(first && *first);
  EXPECT_EQ(**first, "hi");
  auto end = reader.next();
  ASSERT_TRUE(end.has_value());
  EXPECT_FALSE(end->has_value());
  EXPECT_EQ(fcntl(fds[0], F_GETFD), 0) << "the reader must not close the descriptor";
  close(fds[0]);
}

}  // namespace
}  // namespace vorel

namespace vorel {
namespace {

TEST(HelperRequest, WhatTheClientEncodesTheHelperDecodes) {
  const HelperRequest cases[] = {
      {"platform", std::nullopt, std::nullopt},
      {"asset-state", "en-US", std::nullopt},
      {"transcribe", "de-DE", "/home/a \"quoted\" name/\xc3\xa9t\xc3\xa9\\n.wav"},
      {"listen", "", std::string("a\nline")},
  };
  for (const auto& sent : cases) {
    std::string line = sent.encode();
    ASSERT_TRUE(line.ends_with('\n'));
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line: " << line;
    auto received = HelperRequest::decode(std::string_view(line).substr(0, line.size() - 1));
    ASSERT_TRUE(received) << line;
    EXPECT_EQ(received->op, sent.op);
    EXPECT_EQ(received->locale, sent.locale);
    EXPECT_EQ(received->path, sent.path);
  }
}

}  // namespace
}  // namespace vorel
