// BCP 47 locale identifiers as the Linux platform renders and compares them.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vorel::linuxplatform {

// "en_US.UTF-8", "en-us" or "EN_us@euro" become "en-US": language in lower case, script in
// title case, region in upper case, "-" between them. Nothing for an empty, "C" or "POSIX" name.
std::optional<std::string> canonicalLocale(const std::string& name);

// The offered identifier equivalent to the one asked for: the same locale, or, when only a
// language is asked for, the first offered locale of that language.
std::optional<std::string> equivalentLocale(const std::string& asked,
                                            const std::vector<std::string>& offered);

// The user's locale from LC_ALL, LC_MESSAGES or LANG, the first that is set and not empty, as
// the C library reads them; empty when none names one.
std::string currentLocaleFromEnvironment();

}  // namespace vorel::linuxplatform
