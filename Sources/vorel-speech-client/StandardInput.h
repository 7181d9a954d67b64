// What standard input holds, told by its first bytes, and its reading: the helpers that
// dictation's and transcription's standard input share.
#pragma once

#include <cstddef>
#include <expected>
#include <string>

#include "Stop.h"

namespace vorel::client {

// What standard input holds, told by its first bytes: a container libsndfile reads only from a
// file (FLAC, and MP3 with or without an ID3 tag, told by two MPEG frames in a row), one it reads
// as it comes (WAV, Ogg), or none (raw samples in the live format).
struct InputHead {
  enum class Kind { file, stream, raw };
  Kind kind;
  std::string start;  // the bytes read, an ID3 tag left out
};
// Fails on empty input, an ID3 tag with no MP3 after it, input that is plainly no audio (text,
// a document, an image, a program), a read error or the stop.
std::expected<InputHead, std::string> readInputHead(const Stop& stop);

// Up to `wanted` bytes of standard input, fewer only at its end or once stopped.
std::expected<std::string, std::string> readUpTo(std::size_t wanted, const Stop& stop);

// "cannot read standard input: WHY"
std::string cannotReadStandardInput(const std::string& why);

// Whether standard input was closed when the client started (its descriptor then holds
// /dev/null, so that nothing else takes it).
bool standardInputWasClosed();
void noteStandardInputClosed();

}  // namespace vorel::client
