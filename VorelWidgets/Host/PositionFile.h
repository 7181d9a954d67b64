// Where each widget was left on the desktop, kept in a small state file per widget kind. The
// file is the user's state, so it is read as untrusted: only a regular file (never a link, FIFO
// or device), only its first few dozen bytes; and written whole beside it, then renamed.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace widgethost {

struct Position {
  int x = 0;
  int y = 0;
};

// $XDG_STATE_HOME/vorel-widgets (~/.local/state by default), or nothing without a home.
std::optional<std::filesystem::path> stateFolder();
// Where a widget of this kind was left, if it was, and the file is sound.
std::optional<Position> rememberedPosition(const std::string& kind);
// Whether the position was kept.
bool rememberPosition(const std::string& kind, Position where);

}  // namespace widgethost
