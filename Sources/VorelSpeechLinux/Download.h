// A model's archive as it arrives over HTTP(S) or from a file, through libcurl: pulled a
// chunk at a time, hashed and counted on the way, never past its limit.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "ArchiveUnpack.h"
#include "ModelStore.h"
#include "Sha256.h"
#include "SpeechPlatform.h"

namespace vorel::linuxplatform {

// The archive as it arrives: libarchive pulls, and each pull drives libcurl until more bytes
// have come in (or the transfer has ended), hashing and counting them on the way. It never takes
// more than the catalog's size (or 4 GiB when it gives none, within three hours), and follows
// at most a few redirects, over the schemes a model may come from. A stopping signal (see
// StopOnSignals) ends it with "stopped".
class Download final : public ArchiveSource {
 public:
  Download(const CatalogEntry& entry, Progress& progress);
  ~Download() override;
  Download(const Download&) = delete;
  Download& operator=(const Download&) = delete;

  std::expected<std::string_view, std::string> pull() override;
  std::optional<std::string> failure() const override;

  std::uint64_t bytes() const { return bytes_; }
  std::string sha256() { return hash_.hex(); }

 private:
  static std::size_t received(char* data, std::size_t size, std::size_t count, void* self);
  static int announced(void* self, curl_off_t total, curl_off_t, curl_off_t, curl_off_t);

  Progress& progress_;
  const std::uint64_t limit_;
  CURL* easy_;
  CURLM* multi_;
  Sha256 hash_;
  char error_[CURL_ERROR_SIZE] = {};
  std::string chunk_;
  std::uint64_t bytes_ = 0;
  bool tooLong_ = false;
  bool ended_ = false;
  CURLcode result_ = CURLE_OK;
};

}  // namespace vorel::linuxplatform
