#include "Locales.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace vorel::linuxplatform {
namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

bool isAlnumText(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isalnum(c); });
}

std::string languageOf(const std::string& canonical) {
  return canonical.substr(0, canonical.find('-'));
}

}  // namespace

std::optional<std::string> canonicalLocale(const std::string& name) {
  std::string text = name.substr(0, name.find_first_of(".@"));
  if (text.empty() || text == "C" || text == "POSIX") return std::nullopt;
  std::replace(text.begin(), text.end(), '_', '-');
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    auto dash = text.find('-', start);
    parts.push_back(text.substr(start, dash - start));
    if (dash == std::string::npos) break;
    start = dash + 1;
  }
  std::string result;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (!isAlnumText(part)) return std::nullopt;
    std::string rendered = lower(part);
    if (i == 0) {
      if (part.size() < 2 || part.size() > 8) return std::nullopt;
    } else if (part.size() == 4) {
      rendered[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(rendered[0])));
    } else if (part.size() == 2 ||
               (part.size() == 3 && std::isdigit(static_cast<unsigned char>(part[0])))) {
      rendered = upper(part);
    }
    result += (i == 0 ? "" : "-") + rendered;
  }
  return result;
}

std::optional<std::string> equivalentLocale(const std::string& asked,
                                            const std::vector<std::string>& offered) {
  auto wanted = canonicalLocale(asked);
  if (!wanted) return std::nullopt;
  for (const auto& candidate : offered) {
    if (canonicalLocale(candidate) == wanted) return candidate;
  }
  if (wanted->find('-') != std::string::npos) return std::nullopt;
  for (const auto& candidate : offered) {
    if (languageOf(canonicalLocale(candidate).value_or("")) == *wanted) return candidate;
  }
  return std::nullopt;
}

std::string currentLocaleFromEnvironment() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value && *value) return canonicalLocale(value).value_or("");
  }
  return {};
}

}  // namespace vorel::linuxplatform
