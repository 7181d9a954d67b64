#include "Download.h"

#include <mutex>

#include "ProcessSignals.h"

namespace vorel::linuxplatform {
namespace {

// The most a download may bring when the catalog gives no size, and how long it may take.
constexpr std::uint64_t largestDownload = 4ull << 30;
constexpr long transferLimitSeconds = 3 * 60 * 60;

}  // namespace

Download::Download(const CatalogEntry& entry, Progress& progress)
    : progress_(progress), limit_(entry.size.value_or(largestDownload)) {
  static std::once_flag global;
  std::call_once(global, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  easy_ = curl_easy_init();
  multi_ = curl_multi_init();
  curl_easy_setopt(easy_, CURLOPT_URL, entry.url.c_str());
  curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "https,http,file");
  curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "https,http");
  curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(easy_, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, error_);
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &Download::received);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, &Download::announced);
  curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, this);
  // A server that sends nothing for a minute is taken as gone, and no transfer goes on for
  // ever.
  curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(easy_, CURLOPT_TIMEOUT, transferLimitSeconds);
  curl_multi_add_handle(multi_, easy_);
  if (entry.size) progress_.setTotalUnitCount(static_cast<std::int64_t>(*entry.size));
}

Download::~Download() {
  curl_multi_remove_handle(multi_, easy_);
  curl_easy_cleanup(easy_);
  curl_multi_cleanup(multi_);
}

std::expected<std::string_view, std::string> Download::pull() {
  chunk_.clear();
  while (chunk_.empty() && !ended_) {
    if (stopSignalled()) return std::unexpected(std::string("stopped"));
    int running = 0;
    curl_multi_perform(multi_, &running);
    if (running == 0) {
      ended_ = true;
      int queued;
      while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg == CURLMSG_DONE) result_ = message->data.result;
      }
    } else if (chunk_.empty()) {
      curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
    }
  }
  // Past the limit the transfer is stopped, whatever the transfer's own result says.
  if (ended_ && chunk_.empty()) {
    if (auto why = failure()) return std::unexpected(*why);
  }
  return std::string_view(chunk_);
}

std::optional<std::string> Download::failure() const {
  if (tooLong_) return "the server sent more than " + std::to_string(limit_) + " bytes";
  if (ended_ && result_ != CURLE_OK) {
    return *error_ ? std::string(error_) : curl_easy_strerror(result_);
  }
  return std::nullopt;
}

std::size_t Download::received(char* data, std::size_t size, std::size_t count, void* self) {
  auto* download = static_cast<Download*>(self);
  std::size_t n = size * count;
  if (n > download->limit_ - download->bytes_) {
    download->tooLong_ = true;
    return CURL_WRITEFUNC_ERROR;
  }
  download->chunk_.append(data, n);
  download->hash_.update({data, n});
  download->bytes_ += n;
  download->progress_.setCompletedUnitCount(static_cast<std::int64_t>(download->bytes_));
  return n;
}

int Download::announced(void* self, curl_off_t total, curl_off_t, curl_off_t, curl_off_t) {
  auto* download = static_cast<Download*>(self);
  // A length the server announces stands in for a size the catalog does not give; one beyond
  // what may be taken would only show progress that never completes.
  if (total > 0 && download->progress_.totalUnitCount() < 1 &&
      static_cast<std::uint64_t>(total) <= download->limit_) {
    download->progress_.setTotalUnitCount(static_cast<std::int64_t>(total));
  }
  return 0;
}

}  // namespace vorel::linuxplatform
