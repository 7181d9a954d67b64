// A widget window's place on the desktop: kept out of the task switcher, taskbar and pager,
// below ordinary windows, on every workspace (X11), and its position remembered per widget.
#pragma once

#include <gdk/gdk.h>

#include <optional>
#include <string>

#include "PositionFile.h"

namespace widgethost {

// Before the window is shown: its class ("VorelWidgets") and instance (the kind) for window
// rules, and where it goes. X11 only; elsewhere the compositor decides.
void prepareDesktopWindow(GdkSurface* surface, const std::string& kind,
                          std::optional<Position> where);
// Asks the window manager to keep the window below others, on every workspace, out of the
// taskbar and pager.
void keepOnDesktop(GdkSurface* surface);
// A first place that is the same at every start, until the widget is dragged: the screen's top
// right corner with a margin, the widgets side by side from there (slot 0 in the corner). X11
// only; elsewhere the compositor decides.
std::optional<Position> cornerPosition(GdkSurface* surface, int slot, int width);
// Where the window is on the screen, when the windowing system tells.
std::optional<Position> positionOf(GdkSurface* surface);
// Keeps the window on the desktop once the window manager takes it on, puts it back where it was
// left, and from then on calls back, on the main loop, whenever it is moved (X11).
void watchDesktopWindow(GdkSurface* surface, std::optional<Position> where,
                        void (*moved)(void* data), void* data);

}  // namespace widgethost
