// Audio the tests use: real recorded speech from pocketsphinx-testdata, and speech synthesised
// with flite and shaped with sox, made on first use in a temporary folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vorel::testing {

std::filesystem::path librivoxFolder();
// A LibriVox reading, e.g. "0880" for sense_and_sensibility_01_austen_64kb-0880.wav.
std::filesystem::path librivox(const std::string& number);
// The transcript of a LibriVox reading, lower case.
std::string librivoxTranscript(const std::string& number);

// A folder for this test process's files, removed at exit.
std::filesystem::path scratch();
// Runs a shell command; fails the test if it fails.
void run(const std::string& command);

// 16 kHz mono 16-bit samples of a WAV file.
std::vector<std::int16_t> readWav16(const std::filesystem::path& file);

// Word error rate of a hypothesis against a reference, both lower-case words.
double wordErrorRate(const std::string& reference, const std::string& hypothesis);

}  // namespace vorel::testing
