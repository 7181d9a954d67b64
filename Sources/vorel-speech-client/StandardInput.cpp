#include "StandardInput.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <span>
#include <string_view>

#include "PersonalText.h"

namespace vorel::client {
namespace {

constexpr std::size_t headerBytes = 12;
constexpr std::size_t rawCheckBytes = 4096;  // read before taking input for raw samples

const std::string standardInput = "standard input";

std::atomic<bool> inputClosed{false};

// What a stream's header says it is: a container libsndfile reads only from a file (FLAC,
// AIFF, AU, CAF), one it reads as it comes (WAV, Ogg), or nothing.
std::optional<InputHead::Kind> kindOfHeader(std::string_view head) {
  if (head.starts_with("fLaC") || head.starts_with(".snd") || head.starts_with("caff")) {
    return InputHead::Kind::file;
  }
  if (head.starts_with("FORM") && head.size() >= 12 &&
      (head.substr(8, 4) == "AIFF" || head.substr(8, 4) == "AIFC")) {
    return InputHead::Kind::file;
  }
  bool riff = head.starts_with("RIFF") || head.starts_with("RIFX") || head.starts_with("RF64");
  if (riff && head.size() >= 12 && head.substr(8, 4) == "WAVE") return InputHead::Kind::stream;
  if (head.starts_with("OggS")) return InputHead::Kind::stream;
  return std::nullopt;
}

// What bytes that start like no audio container hold when they are no raw samples either (text,
// or a file of another kind whose mark they start with), or nothing. Raw samples of any sound hold
// bytes that are no text (a quiet sample's high byte is 0x00 or 0xff) well within the first
// kilobytes.
std::optional<std::string> notAudio(std::string_view head) {
  struct Mark {
    std::string_view bytes;
    std::size_t at;
    const char* what;
  };
  static constexpr Mark marks[] = {
      {"%PDF-", 0, "a PDF document, not audio"},
      {"PK\x03\x04", 0, "a ZIP archive, not audio"},
      {"\x89PNG", 0, "a PNG image, not audio"},
      {"GIF8", 0, "a GIF image, not audio"},
      {"\x7f"
       "ELF",
       0, "a program, not audio"},
      {"\x1a\x45\xdf\xa3", 0,
       "Matroska or WebM, which is not read: convert it to FLAC or WAV first"},
      {"ftyp", 4, "MP4 or M4A, which is not read: convert it to FLAC or WAV first"},
  };
  for (const auto& mark : marks) {
    if (head.size() >= mark.at + mark.bytes.size() &&
        head.substr(mark.at, mark.bytes.size()) == mark.bytes) {
      return std::string(mark.what);
    }
  }
  if (linuxplatform::isText(head)) return std::string("text, not audio");
  return std::nullopt;
}

// The length in bytes of the MPEG audio frame whose header starts `bytes`, or 0 when they are
// no frame header (sync, then a version, layer, bitrate and rate that exist).
std::size_t mpegFrameLength(std::string_view bytes) {
  if (bytes.size() < 4) return 0;
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (byte(0) != 0xff || (byte(1) & 0xe0) != 0xe0) return 0;
  int version = (byte(1) >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
  int layer = 4 - ((byte(1) >> 1) & 3);
  int bitrateIndex = byte(2) >> 4;
  int rateIndex = (byte(2) >> 2) & 3;
  if (version == 1 || layer == 4 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) {
    return 0;
  }
  static constexpr int kbps[2][3][15] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  static constexpr int rates[3] = {44100, 48000, 32000};
  bool mpeg1 = version == 3;
  int bitrate = kbps[mpeg1 ? 0 : 1][layer - 1][bitrateIndex] * 1000;
  int rate = rates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  int padding = (byte(2) >> 1) & 1;
  if (layer == 1) return static_cast<std::size_t>((12 * bitrate / rate + padding) * 4);
  int perFrame = layer == 3 && !mpeg1 ? 72 : 144;
  return static_cast<std::size_t>(perFrame * bitrate / rate + padding);
}

// The size of the ID3v2 tag that starts `head` (header, body and footer), or 0 for none.
std::size_t id3TagSize(std::string_view head) {
  if (head.size() < 10 || !head.starts_with("ID3")) return 0;
  std::size_t size = 0;
  for (int i = 6; i < 10; ++i) {
    auto digit = static_cast<unsigned char>(head[i]);
    if (digit & 0x80) return 0;  // sizes are 7 bits a byte
    size = size << 7 | digit;
  }
  bool footer = static_cast<unsigned char>(head[5]) & 0x10;
  return 10 + size + (footer ? 10 : 0);
}

// Skips `count` bytes of standard input; whether they were all there.
std::expected<bool, std::string> skipInput(std::size_t count, const Stop& stop) {
  while (count > 0 && !stop.raised()) {
    auto skipped = readUpTo(std::min<std::size_t>(count, 65536), stop);
    if (!skipped) return std::unexpected(skipped.error());
    if (skipped->empty()) return false;
    count -= skipped->size();
  }
  return count == 0;
}

}  // namespace

std::string cannotReadStandardInput(const std::string& why) {
  return "cannot read " + standardInput + ": " + why;
}

std::expected<std::string, std::string> readUpTo(std::size_t wanted, const Stop& stop) {
  if (standardInputWasClosed()) return std::unexpected(cannotReadStandardInput("it is closed"));
  std::string bytes(wanted, '\0');
  std::size_t got = 0;
  while (got < wanted) {
    auto n = readOrStop(STDIN_FILENO, std::span(bytes).subspan(got), stop);
    if (!n) return std::unexpected(cannotReadStandardInput(n.error()));
    if (*n == 0) break;
    got += *n;
  }
  bytes.resize(got);
  return bytes;
}

bool standardInputWasClosed() {
  return inputClosed;
}

void noteStandardInputClosed() {
  inputClosed = true;
}

std::expected<InputHead, std::string> readInputHead(const Stop& stop) {
  auto start = readUpTo(headerBytes, stop);
  if (!start) return std::unexpected(start.error());
  if (stop.raised()) return std::unexpected(std::string("stopped"));
  if (start->empty()) {
    return std::unexpected(std::string(standardInput + " is empty: pipe audio into it"));
  }
  // An ID3 tag says nothing of what follows and libsndfile stumbles on some (an empty one):
  // it is skipped, and MP3 frames must follow. MP3 is kept whole in a file first, as FLAC is:
  // libsndfile's MP3 reader overruns its buffer on a stream that cannot seek.
  if (std::size_t tag = id3TagSize(*start)) {
    std::string after = tag < start->size() ? start->substr(tag) : std::string();
    auto skipped = skipInput(tag - std::min(tag, start->size()), stop);
    if (!skipped) return std::unexpected(skipped.error());
    if (stop.raised()) return std::unexpected(std::string("stopped"));
    auto more = readUpTo(headerBytes - after.size(), stop);
    if (!more) return std::unexpected(more.error());
    start = after + *more;
    if (!*skipped || !mpegFrameLength(*start)) {
      return std::unexpected(standardInput + " holds an ID3 tag and no MP3 audio after it");
    }
    return InputHead{InputHead::Kind::file, std::move(*start)};
  }
  if (auto kind = kindOfHeader(*start)) return InputHead{*kind, std::move(*start)};
  // MP3 without a tag is told by two frames in a row: one frame header may be chance in raw
  // samples, two at the right distance are not.
  if (std::size_t frame = mpegFrameLength(*start); frame > 0 && frame < 8192) {
    auto rest = readUpTo(frame + 4 - std::min(frame + 4, start->size()), stop);
    if (!rest) return std::unexpected(rest.error());
    *start += *rest;
    if (start->size() >= frame + 4 && mpegFrameLength(std::string_view(*start).substr(frame))) {
      return InputHead{InputHead::Kind::file, std::move(*start)};
    }
  }
  // Raw samples, unless what comes first says otherwise.
  auto more = readUpTo(rawCheckBytes - std::min(rawCheckBytes, start->size()), stop);
  if (!more) return std::unexpected(more.error());
  if (stop.raised()) return std::unexpected(std::string("stopped"));
  *start += *more;
  if (auto what = notAudio(*start)) {
    return std::unexpected(standardInput + " holds " + *what);
  }
  return InputHead{InputHead::Kind::raw, std::move(*start)};
}

}  // namespace vorel::client
