#include "Reasons.h"

#include <cstdio>
#include <utility>
#include <variant>

#include "Output.h"

namespace vorel::client {

std::string oneLine(const std::string& text) {
  std::string line;
  for (unsigned char ch : text) {
    if (ch == '\n') {
      line += "\\n";
    } else if (ch < 0x20 || ch == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", ch);
      line += escaped;
    } else {
      line += static_cast<char>(ch);
    }
  }
  return line;
}

std::string counted(std::size_t n, const char* one, const char* many) {
  std::string digits = std::to_string(n);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(at, ",");
  return digits + " " + (n == 1 ? one : many);
}

int fail(const std::string& reason) {
  warn(oneLine(reason));
  return 1;
}

std::string named(std::string reason, const std::string& path, const std::string& shown) {
  if (path == shown) return reason;
  std::string audio =
      shown == "standard input" ? "the audio on " + shown : "the audio file " + shown;
  for (auto [from, to] : {std::pair{"the audio file " + path, audio}, std::pair{path, shown}}) {
    for (auto at = reason.find(from); at != std::string::npos; at = reason.find(from, at)) {
      reason.replace(at, from.size(), to);
      at += to.size();
    }
  }
  return reason;
}

std::string withFix(const std::string& reason, const Options& options) {
  bool dictatingAFile = options.command == "dictate" && !options.arguments.empty() &&
                        options.arguments.front() != "-";
  if (dictatingAFile && !options.realtime &&
      reason.find("fell a minute behind") != std::string::npos) {
    return reason +
           " (the file was sent faster than it is spoken: --realtime sends it at the pace of "
           "speech, and transcribe reads a whole file at its own pace)";
  }
  const std::string missing = "has no model installed for ";
  if (auto at = reason.find(missing); at != std::string::npos) {
    return reason + " (vorel-speech-client install " + reason.substr(at + missing.size()) + ")";
  }
  if (reason.find("does not offer ") != std::string::npos) {
    return reason + " (vorel-speech-client locales lists those offered)";
  }
  return reason;
}

const std::string noModelOffered = "no model for it is installed and no catalog offers one";

std::string describe(const std::string& locale, const AssetState& state) {
  struct Visitor {
    const std::string& locale;
    std::string operator()(const AssetState::Downloading& d) const {
      return locale + ": being installed" +
             (d.total ? " (" + std::to_string(d.done * 100 / d.total) + "%)" : std::string());
    }
    std::string operator()(const AssetState::Failed& f) const { return locale + ": " + f.reason; }
    std::string operator()(const AssetState::Installed&) const { return locale + ": installed"; }
    std::string operator()(const AssetState::Supported&) const {
      return locale + ": supported, not installed (vorel-speech-client install " + locale + ")";
    }
    std::string operator()(const AssetState::Unsupported&) const {
      return locale + ": not supported (" + noModelOffered +
             "; see vorel-speech-client help install)";
    }
  };
  return std::visit(Visitor{locale}, state.value);
}

}  // namespace vorel::client
