#include "HelperProtocol.h"

#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>
#include <thread>

#include "VorelSpeech.h"

namespace vorel {

std::string frameHeader(std::uint32_t length) {
  return {static_cast<char>(length & 0xff), static_cast<char>(length >> 8 & 0xff),
          static_cast<char>(length >> 16 & 0xff), static_cast<char>(length >> 24 & 0xff)};
}

std::string encodeFrame(std::string_view payload) {
  return frameHeader(static_cast<std::uint32_t>(payload.size())).append(payload);
}
namespace {

using Json = nlohmann::json;

constexpr std::string_view notUnderstood = "the speech helper did not understand the request";

std::string missingField(const std::string& op) {
  return "the speech helper's " + op + " request is missing a field";
}

// Encodes a record and hands it to emit; a record that does not encode is dropped.
template <class Record>
void write(const Emit& emit, const Record& record) {
  if (auto bytes = Wire::encode(record)) emit(*bytes);
}

void writeFailure(const Emit& emit, std::string reason) {
  write(emit, SpeechEvent::failed(std::move(reason)));
}

// Reads an optional string field: absent and null are missing; any other non-string fails.
bool readOptionalString(const Json& object, const char* key, std::optional<std::string>& out) {
  auto found = object.find(key);
  if (found == object.end() || found->is_null()) return true;
  if (!found->is_string()) return false;
  out = found->get<std::string>();
  return true;
}

OnEvent eventWriter(const Emit& emit) {
  return [emit](const SpeechEvent& event) { write(emit, event); };
}

OnChange stateWriter(const Emit& emit) {
  return [emit](const AssetState& state) { write(emit, state); };
}

// The operations "handle" serves, in the order op is compared with their names.
enum class Operation { platform, locales, assetState, installAssets, transcribe };

std::optional<Operation> operationNamed(std::string_view op) {
  if (op == "platform") return Operation::platform;
  if (op == "locales") return Operation::locales;
  if (op == "asset-state") return Operation::assetState;
  if (op == "install-assets") return Operation::installAssets;
  if (op == "transcribe") return Operation::transcribe;
  return std::nullopt;
}

bool hasRequiredFields(Operation operation, const HelperRequest& request) {
  switch (operation) {
    case Operation::platform:
    case Operation::locales:
      return true;
    case Operation::assetState:
    case Operation::installAssets:
      return request.locale.has_value();
    case Operation::transcribe:
      return request.locale.has_value() && request.path.has_value();
  }
  return false;
}

// Reads frames on a thread of its own (a read blocks for as long as the client is quiet) and
// feeds each to the session as it completes; reports how the frame stream ended.
std::optional<FrameError> feedAll(FrameReader reader, std::shared_ptr<LiveHandle> to) {
  std::optional<FrameError> outcome;
  std::jthread reading([&reader, &to, &outcome] {
    for (;;) {
      auto frame = reader.next();
      if (!frame) {
        outcome = frame.error();
        return;
      }
      if (!*frame) return;
      to->feed(std::move(**frame));
    }
  });
  reading.join();
  return outcome;
}

}  // namespace

std::optional<HelperRequest> HelperRequest::decode(std::string_view line) {
  if (line.size() > maxLineBytes || line.find('\0') != std::string_view::npos) return std::nullopt;
  try {
    Json document = Json::parse(line, nullptr, /*allow_exceptions=*/false,
                                /*ignore_comments=*/false);
    if (document.is_discarded() || !document.is_object()) return std::nullopt;
    auto op = document.find("op");
    if (op == document.end() || !op->is_string()) return std::nullopt;
    HelperRequest request{op->get<std::string>(), std::nullopt, std::nullopt};
    if (!readOptionalString(document, "locale", request.locale)) return std::nullopt;
    if (!readOptionalString(document, "path", request.path)) return std::nullopt;
    return request;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string HelperRequest::encode() const {
  Json line{{"op", op}};
  if (locale) line["locale"] = *locale;
  if (path) line["path"] = *path;
  return line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string FileDescriptorSource::read(std::size_t upTo) {
  std::string buffer(upTo, '\0');
  for (;;) {
    ssize_t count = ::read(fd_, buffer.data(), upTo);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return {};
    buffer.resize(static_cast<std::size_t>(count));
    return buffer;
  }
}

std::string FrameError::text() const {
  if (kind == Kind::truncated) return "truncated";
  return "malformedLength(" + std::to_string(length) + ")";
}

std::string FrameReader::line() {
  std::size_t searched = 0;
  for (;;) {
    auto feed = pending_.find('\n', searched);
    if (feed != std::string::npos) {
      std::string line = pending_.substr(0, feed);
      pending_.erase(0, feed + 1);
      return line;
    }
    searched = pending_.size();
    if (searched > HelperRequest::maxLineBytes) return std::exchange(pending_, {});
    std::string bytes = source_->read(readSize);
    if (bytes.empty()) return std::exchange(pending_, {});
    pending_ += bytes;
  }
}

std::expected<bool, FrameError> FrameReader::fill(std::size_t count, bool eofAllowed) {
  while (pending_.size() < count) {
    std::size_t need = count - pending_.size();
    std::string bytes = source_->read(need > readSize ? need : readSize);
    if (bytes.empty()) {
      if (!eofAllowed || !pending_.empty()) return std::unexpected(FrameError::truncated());
      return false;
    }
    pending_ += bytes;
  }
  return true;
}

std::expected<std::optional<std::string>, FrameError> FrameReader::next() {
  auto header = fill(4, /*eofAllowed=*/true);
  if (!header) return std::unexpected(header.error());
  if (!*header) return std::nullopt;
  auto byte = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(pending_[i]));
  };
  std::uint32_t length = byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
  if (length > maxFrameBytes || length % 2 != 0) {
    return std::unexpected(FrameError::malformedLength(length));
  }
  pending_.erase(0, 4);
  auto payload = fill(length, /*eofAllowed=*/false);
  if (!payload) return std::unexpected(payload.error());
  std::string frame = pending_.substr(0, length);
  pending_.erase(0, length);
  return frame;
}

namespace Helper {

std::int32_t run(SpeechPlatform& platform, std::shared_ptr<ByteSource> source,
                 const ListenFactory& listen, const Emit& emit) {
  FrameReader reader(std::move(source));
  std::string line = reader.line();
  auto request = HelperRequest::decode(line);
  if (!request || request->op != "listen") return handle(platform, line, emit);
  if (!request->locale) {
    writeFailure(emit, missingField("listen"));
    return malformed;
  }
  auto live = listen(*request->locale, eventWriter(emit));
  return feedSession(std::move(reader), std::move(live), emit);
}

std::int32_t handle(SpeechPlatform& platform, std::string_view line, const Emit& emit) {
  auto request = HelperRequest::decode(line);
  if (!request) {
    writeFailure(emit, std::string(notUnderstood));
    return malformed;
  }
  auto operation = operationNamed(request->op);
  if (!operation) {
    writeFailure(emit, "the speech helper has no operation " + request->op);
    return 0;
  }
  if (!hasRequiredFields(*operation, *request)) {
    writeFailure(emit, missingField(request->op));
    return malformed;
  }
  switch (*operation) {
    case Operation::platform:
      write(emit, VorelSpeech::platform(platform));
      break;
    case Operation::locales:
      write(emit, LocalesLine{VorelSpeech::supportedLocales(platform)});
      break;
    case Operation::assetState:
      write(emit, VorelSpeech::assetState(platform, *request->locale));
      break;
    case Operation::installAssets:
      VorelSpeech::installAssets(platform, *request->locale, stateWriter(emit));
      break;
    case Operation::transcribe:
      VorelSpeech::transcribe(platform, *request->path, *request->locale, eventWriter(emit));
      break;
  }
  return 0;
}

std::int32_t feedSession(FrameReader reader, std::shared_ptr<LiveHandle> into, const Emit& emit) {
  if (auto error = feedAll(std::move(reader), into)) {
    // The session ends at once without a word, so this is the last line, written before the
    // session has wound down (a decode under way can take a while).
    if (into->endQuietly()) {
      writeFailure(emit, "the speech helper could not read the audio: " + error->text());
    }
    into.reset();
    return malformed;
  }
  into->finish();
  return 0;
}

}  // namespace Helper
}  // namespace vorel
