// Hosts widget extensions on a Linux desktop: loads an extension, lists its gallery, draws a
// placed widget with cairo (to a PNG or a window) and opens its link when it is clicked.
#pragma once

#include <cairo.h>

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "WidgetKit/WidgetKit.h"

namespace widgethost {

// The radius of a widget's rounded corners, in points (0 draws it square: where nothing can
// show through, on a desktop without a compositor).
inline constexpr double cornerRadius = 22;

struct Size {
  double width = 0;
  double height = 0;
};

// The size the desktop gives a widget of a family, in points: a small widget is 170 by 170.
Size familySize(widgetkit::WidgetFamily family);

class Extension {
 public:
  // Loads the extension's shared library and asks it for its widgets. The library stays loaded
  // for the life of the process.
  static std::expected<Extension, std::string> load(const std::string& path);

  const std::vector<widgetkit::HostedWidget>& widgets() const { return widgets_; }
  const widgetkit::HostedWidget* widget(const std::string& kind) const;

 private:
  std::vector<widgetkit::HostedWidget> widgets_;
};

// The file of the desktop icon theme that stands for a symbol, empty if there is none.
std::string iconFile(const std::string& symbol);

struct Colour {
  double r = 0, g = 0, b = 0;
};

// The desktop style's colours the widget's content names: the window background behind it, the
// foreground for its text and symbol; and the accent its focus ring is drawn in.
struct Palette {
  Colour windowBackground;
  Colour label;
  Colour accent{0x35 / 255.0, 0x84 / 255.0, 0xE4 / 255.0};
  static Palette light();
  static Palette dark();
};

// How the widget stands to the pointer and the keyboard, drawn over it as the desktop's buttons
// show it: a light veil of the foreground colour under the pointer, a deeper one while pressed,
// and a ring in the accent colour while it has the keyboard's focus (after the keyboard was used).
struct Interaction {
  bool hovered = false;
  bool pressed = false;
  bool focusRing = false;
};
void drawInteraction(cairo_t* cr, Size size, const Palette& palette, Interaction interaction,
                     double radius = cornerRadius);

// Draws a view filling a widget of the given size, in points; outside its rounded corners
// nothing is drawn.
void draw(cairo_t* cr, const widgetkit::View& view, Size size,
          const Palette& palette = Palette::light(), double radius = cornerRadius);
// Draws a view to a PNG at the given scale (2: two pixels a point).
std::expected<void, std::string> writePng(const widgetkit::View& view, Size size, double scale,
                                          const std::string& path,
                                          const Palette& palette = Palette::light());

// The link a click at a point of the widget opens, if any: none outside its rounded shape.
std::optional<std::string> linkAt(const widgetkit::View& view, Size size, double x, double y,
                                  double radius = cornerRadius);

// Opens a link; or says in a few words why nothing could.
using Opener = std::function<std::expected<void, std::string>(const std::string& url)>;
// Opens a link with the desktop's default handler of its scheme (GIO); fails when the desktop
// has none.
Opener desktopOpener();
// Opens a link by running a command with the link as its one argument.
Opener commandOpener(std::string command);

}  // namespace widgethost
