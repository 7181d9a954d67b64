// A widget placed on the desktop: its window, drawn by the widget, and the gestures, keys and
// menu that open its link, move it or remove it.
#pragma once

#include <string>
#include <vector>

#include "WidgetHost.h"

namespace widgethost {

// Puts `widget` on the desktop in a window of its own until it is removed, one copy per
// desktop (a second brings the first forward); its first place is the first corner slot none
// of `otherKinds` stands in. With `autostart` (the command that places it again), it comes back
// after the next login. The exit status.
int place(const widgetkit::HostedWidget& widget, const std::vector<std::string>& otherKinds,
          Opener opener, const std::vector<std::string>& autostart);

}  // namespace widgethost
