#include "Fixtures.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vorel::testing {

std::filesystem::path librivoxFolder() {
  return "/usr/share/pocketsphinx/test/data/librivox";
}

std::filesystem::path librivox(const std::string& number) {
  return librivoxFolder() / ("sense_and_sensibility_01_austen_64kb-" + number + ".wav");
}

std::string librivoxTranscript(const std::string& number) {
  std::ifstream in(librivoxFolder() / "transcription");
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(number + ")") == std::string::npos) continue;
    auto open = line.find("<s>"), close = line.find("</s>");
    return line.substr(open + 4, close - open - 5);
  }
  return {};
}

std::filesystem::path scratch() {
  static const std::filesystem::path folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "vorel-tests-XXXXXX").string();
    std::filesystem::path made = mkdtemp(pattern.data());
    static struct Cleanup {
      std::filesystem::path path;
      ~Cleanup() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
      }
    } cleanup{made};
    return made;
  }();
  return folder;
}

void run(const std::string& command) {
  int status = std::system((command + " >/dev/null 2>&1").c_str());
  ASSERT_EQ(status, 0) << command;
}

std::vector<std::int16_t> readWav16(const std::filesystem::path& file) {
  SF_INFO info{};
  SNDFILE* sound = sf_open(file.c_str(), SFM_READ, &info);
  if (!sound) return {};
  std::vector<std::int16_t> samples(static_cast<std::size_t>(info.frames * info.channels));
  sf_read_short(sound, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(sound);
  return samples;
}

double wordErrorRate(const std::string& reference, const std::string& hypothesis) {
  // Words compare without regard to letter case: "I'm" is the recogniser's "i'm".
  auto words = [](const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> list;
    for (std::string w; in >> w;) {
      std::transform(w.begin(), w.end(), w.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      list.push_back(w);
    }
    return list;
  };
  auto ref = words(reference), hyp = words(hypothesis);
  std::vector<std::size_t> row(hyp.size() + 1);
  for (std::size_t j = 0; j <= hyp.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= ref.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= hyp.size(); ++j) {
      std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (ref[i - 1] != hyp[j - 1])});
      diagonal = above;
    }
  }
  return ref.empty() ? 0.0 : static_cast<double>(row[hyp.size()]) / ref.size();
}

}  // namespace vorel::testing
