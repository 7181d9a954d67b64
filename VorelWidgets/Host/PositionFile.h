// Where each widget was left on the desktop, kept in a small state file per widget kind. The
// file is the user's state, so it is read as untrusted: only a regular file (never a link, FIFO
// or device), only its first few dozen bytes; and written whole beside it, then renamed.
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>

namespace widgethost {

struct Position {
  int x = 0;
  int y = 0;
};

// $HOME, else the password database's home, or nothing.
std::optional<std::filesystem::path> homeFolder();
// Writes a small file of the user's whole: to a file of this process's own beside it (created
// here, never one that was there: not a link planted to send the write elsewhere, not a FIFO),
// then renamed over the old one, so that a crash never leaves half of it. Makes its folder.
std::expected<void, std::string> writeWhole(const std::filesystem::path& file,
                                            const std::string& content);

// $XDG_STATE_HOME/vorel-widgets (~/.local/state by default), or nothing without a home.
std::optional<std::filesystem::path> stateFolder();
// Where a widget of this kind was left, if it was, and the file is sound.
std::optional<Position> rememberedPosition(const std::string& kind);
// Whether the position was kept.
bool rememberPosition(const std::string& kind, Position where);
// Forgets where the widget was left; whether nothing is left of it.
bool forgetPosition(const std::string& kind);

}  // namespace widgethost
