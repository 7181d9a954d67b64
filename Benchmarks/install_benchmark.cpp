// Installs a 50 MB model through vorel-speech from an HTTP server on 127.0.0.1, and downloads the
// same file with `curl -o /dev/null`, interleaved in one run; prints both throughputs and the
// ratio of their times.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "HttpServer.h"
#include "Process.h"

namespace fs = std::filesystem;
using vorel::testing::HttpServer;

namespace {

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

template <class Work>
double seconds(Work work) {
  auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::string helper = argc > 1 ? argv[1] : "build/vorel-speech";
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  fs::path scratch = fs::temp_directory_path() / "vorel-install-benchmark";
  fs::remove_all(scratch);
  fs::create_directories(scratch / "model");

  // The system's en-US model with incompressible padding, to 50 MB.
  fs::copy("/usr/share/pocketsphinx/model/en-us", scratch / "model" / "en-us",
           fs::copy_options::recursive);
  std::uintmax_t size = 0;
  for (const auto& e : fs::recursive_directory_iterator(scratch / "model")) {
    if (e.is_regular_file()) size += e.file_size();
  }
  constexpr std::uintmax_t target = 50'000'000;
  std::string padding(target > size ? target - size : 0, '\0');
  std::mt19937_64 random(7);
  for (auto& c : padding) c = static_cast<char>(random());
  std::ofstream(scratch / "model" / "en-us" / "padding.bin", std::ios::binary) << padding;
  std::string tar = "tar -cf " + (scratch / "model.tar").string() + " -C " +
                    (scratch / "model").string() + " en-us";
  if (std::system(tar.c_str()) != 0) return 1;
  std::string archive = readFile(scratch / "model.tar");

  HttpServer server;
  server.serve("/model.tar", archive);
  std::string url = server.url("/model.tar");
  fs::path home = scratch / "home";

  std::vector<double> helperTimes, curlTimes;
  for (int i = 0; i < runs; ++i) {
    fs::remove_all(home);
    fs::create_directories(home / "vorel-speech");
    std::ofstream(home / "vorel-speech" / "catalog.json")
        << R"({"models":[{"locale":"fr-FR","url":")" << url << R"(","size":)" << archive.size()
        << "}]}";
    vorel::testing::ProcessOptions options;
    options.environment = {"XDG_DATA_HOME=" + home.string()};
    vorel::testing::ProcessResult result;
    helperTimes.push_back(seconds([&] {
      result = vorel::testing::runProcess(
          helper, "{\"op\":\"install-assets\",\"locale\":\"fr-FR\"}\n", options);
    }));
    if (result.out.find("{\"kind\":\"installed\"}") == std::string::npos) {
      std::fprintf(stderr, "the install failed: %s\n", result.out.c_str());
      return 1;
    }
    std::string curl = "curl -s -o /dev/null " + url;
    curlTimes.push_back(seconds([&] {
      if (std::system(curl.c_str()) != 0) std::fprintf(stderr, "curl failed\n");
    }));
  }
  fs::remove_all(scratch);

  double mb = archive.size() / 1e6;
  double h = median(helperTimes), c = median(curlTimes);
  std::printf("archive: %.1f MB from %s, median of %d runs\n", mb, url.c_str(), runs);
  std::printf("vorel-speech install-assets  %.3f s  %7.1f MB/s (download, SHA-256, unpack, move)\n",
              h, mb / h);
  std::printf("curl -o /dev/null            %.3f s  %7.1f MB/s\n", c, mb / c);
  std::printf("ratio %.2fx (goal: within 1.2x of curl)\n", h / c);
}
