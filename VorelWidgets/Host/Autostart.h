// A widget that comes back after the next login: an XDG autostart entry
// ($XDG_CONFIG_HOME/autostart/vorel-KIND-widget.desktop) that runs the host again.
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace widgethost {

// The entry's path for a widget kind ("VorelCapture": vorel-capture-widget.desktop), or nothing
// without a home.
std::optional<std::filesystem::path> autostartEntry(const std::string& kind);
// Writes the entry, whole, to run `command` (the program, then its arguments) at login.
std::expected<void, std::string> writeAutostart(const std::string& kind, const std::string& name,
                                                const std::vector<std::string>& command);
// Removes the entry, if there is one; whether none is left.
bool removeAutostart(const std::string& kind);

// The command as a desktop entry's Exec value: every argument quoted, with the characters the
// Desktop Entry format reserves escaped; nothing when an argument cannot be written (a line
// break).
std::optional<std::string> execLine(const std::vector<std::string>& command);

}  // namespace widgethost
