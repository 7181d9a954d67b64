#include "Autostart.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "PositionFile.h"

namespace widgethost {
namespace {

std::optional<std::filesystem::path> configFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return std::filesystem::path(config);
  auto home = homeFolder();
  if (!home) return std::nullopt;
  return *home / ".config";
}

}  // namespace

std::optional<std::filesystem::path> autostartEntry(const std::string& kind) {
  auto config = configFolder();
  if (!config) return std::nullopt;
  std::string name = kind.starts_with("Vorel") ? kind.substr(5) : kind;
  for (auto& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return *config / "autostart" / ("vorel-" + name + "-widget.desktop");
}

std::optional<std::string> execLine(const std::vector<std::string>& given) {
  // GLib looks for the program as it is written, before it reads "%%" as "%": a program whose
  // path holds a percent sign is started through env, which is found on the PATH.
  std::vector<std::string> command = given;
  if (!command.empty() && command[0].find('%') != std::string::npos) {
    command.insert(command.begin(), "env");
  }
  std::string line;
  for (const auto& argument : command) {
    if (argument.find_first_of("\n\r") != std::string::npos) return std::nullopt;
    // Quoted, with ", `, $ and \ escaped inside the quotes, and % doubled (field codes)...
    std::string quoted = "\"";
    for (char ch : argument) {
      if (ch == '"' || ch == '`' || ch == '$' || ch == '\\') quoted += '\\';
      if (ch == '%') quoted += '%';
      quoted += ch;
    }
    quoted += '"';
    if (!line.empty()) line += ' ';
    line += quoted;
  }
  // ...then the value's own escaping, of every backslash.
  std::string escaped;
  for (char ch : line) {
    if (ch == '\\') escaped += '\\';
    escaped += ch;
  }
  return escaped;
}

std::expected<void, std::string> writeAutostart(const std::string& kind, const std::string& name,
                                                const std::vector<std::string>& command) {
  auto entry = autostartEntry(kind);
  if (!entry) return std::unexpected(std::string("there is no home folder"));
  auto exec = execLine(command);
  if (!exec) return std::unexpected(std::string("the command holds a line break"));
  std::string text = "[Desktop Entry]\nType=Application\nName=Vorel " + name +
                     " widget\nComment=Puts the Vorel " + name +
                     " widget on the desktop\nExec=" + *exec +
                     "\nX-GNOME-Autostart-enabled=true\nNoDisplay=true\n";
  return writeWhole(*entry, text);
}

bool removeAutostart(const std::string& kind) {
  auto entry = autostartEntry(kind);
  if (!entry) return true;
  return ::unlink(entry->c_str()) == 0 || errno == ENOENT;
}

}  // namespace widgethost
