#include "WidgetHost.h"

#include <dlfcn.h>
#include <gio/gio.h>
#include <librsvg/rsvg.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

#include "ChildProcess.h"

namespace widgethost {
namespace {

using namespace widgetkit;

constexpr double contentMargin = 16;
constexpr double iconSpacing = 6;

Colour colour(SystemColor color, const Palette& palette) {
  switch (color) {
    case SystemColor::windowBackground:
      return palette.windowBackground;
    case SystemColor::label:
      return palette.label;
  }
  return palette.windowBackground;
}

// Point sizes of the text styles, as the desktop shows them.
double pointSize(Font font) {
  switch (font) {
    case Font::body:
      return 13;
    case Font::headline:
      return 13;
    case Font::title:
      return 22;
    case Font::title2:
      return 17;
    case Font::title3:
      return 15;
  }
  return 13;
}

void roundedRectangle(cairo_t* cr, Size size, double radius) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, size.width - radius, radius, radius, -M_PI / 2, 0);
  cairo_arc(cr, size.width - radius, size.height - radius, radius, 0, M_PI / 2);
  cairo_arc(cr, radius, size.height - radius, radius, M_PI / 2, M_PI);
  cairo_arc(cr, radius, radius, radius, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

std::vector<std::filesystem::path> iconRoots() {
  std::vector<std::filesystem::path> roots;
  const char* home = std::getenv("XDG_DATA_HOME");
  if (home && *home) roots.emplace_back(std::filesystem::path(home) / "icons");
  const char* dirs = std::getenv("XDG_DATA_DIRS");
  std::stringstream list(dirs && *dirs ? dirs : "/usr/local/share:/usr/share");
  for (std::string dir; std::getline(list, dir, ':');) {
    if (!dir.empty()) roots.emplace_back(std::filesystem::path(dir) / "icons");
  }
  return roots;
}

void drawIcon(cairo_t* cr, const std::string& file, double x, double y, double size) {
  RsvgHandle* handle = rsvg_handle_new_from_file(file.c_str(), nullptr);
  if (!handle) return;
  RsvgRectangle viewport{x, y, size, size};
  rsvg_handle_render_document(handle, cr, &viewport, nullptr);
  g_object_unref(handle);
}

// Draws a symbol in black on a transparent group. The theme has a pencil but no pencil on a
// square, so "square.and.pencil" is composed: a square open at its top right, with the pencil
// writing across that corner.
void drawSymbol(cairo_t* cr, const std::string& symbol, const std::string& file, double x, double y,
                double size) {
  if (symbol != "square.and.pencil") return drawIcon(cr, file, x, y, size);
  double line = size * 0.09;
  double side = size * 0.8;
  double left = x + line / 2, top = y + size - side - line / 2 + line / 2;
  double radius = side * 0.18;
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_set_line_width(cr, line);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_move_to(cr, left + side * 0.45, top);
  cairo_line_to(cr, left + radius, top);
  cairo_arc_negative(cr, left + radius, top + radius, radius, -M_PI / 2, -M_PI);
  cairo_line_to(cr, left, top + side - radius);
  cairo_arc_negative(cr, left + radius, top + side - radius, radius, M_PI, M_PI / 2);
  cairo_line_to(cr, left + side - radius, top + side);
  cairo_arc_negative(cr, left + side - radius, top + side - radius, radius, M_PI / 2, 0);
  cairo_line_to(cr, left + side, top + side * 0.55);
  cairo_stroke(cr);
  drawIcon(cr, file, x + size * 0.36, y, size * 0.64);
}

}  // namespace

void drawInteraction(cairo_t* cr, Size size, const Palette& palette, Interaction interaction,
                     double radius) {
  cairo_save(cr);
  if (interaction.pressed || interaction.hovered) {
    roundedRectangle(cr, size, radius);
    auto [r, g, b] = palette.label;
    cairo_set_source_rgba(cr, r, g, b, interaction.pressed ? 0.16 : 0.07);
    cairo_fill(cr);
  }
  if (interaction.focusRing) {
    // Inside the shape, so that nothing is drawn over the see-through corners.
    constexpr double width = 3;
    cairo_translate(cr, width / 2, width / 2);
    roundedRectangle(cr, {size.width - width, size.height - width},
                     std::max(radius - width / 2, 0.0));
    auto [r, g, b] = palette.accent;
    cairo_set_source_rgb(cr, r, g, b);
    cairo_set_line_width(cr, width);
    cairo_stroke(cr);
  }
  cairo_restore(cr);
}

Palette Palette::light() {
  return {{0xEC / 255.0, 0xEC / 255.0, 0xEC / 255.0}, {0x1D / 255.0, 0x1D / 255.0, 0x1F / 255.0}};
}

Palette Palette::dark() {
  return {{0x2C / 255.0, 0x2C / 255.0, 0x2E / 255.0}, {0xF2 / 255.0, 0xF2 / 255.0, 0xF7 / 255.0}};
}

Size familySize(WidgetFamily family) {
  switch (family) {
    case WidgetFamily::systemSmall:
      return {170, 170};
    case WidgetFamily::systemMedium:
      return {364, 170};
    case WidgetFamily::systemLarge:
      return {364, 382};
    case WidgetFamily::systemExtraLarge:
      return {756, 382};
  }
  return {170, 170};
}

std::expected<Extension, std::string> Extension::load(const std::string& path) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) return std::unexpected(std::string(dlerror()));
  auto main = reinterpret_cast<ExtensionMain>(dlsym(library, extensionMainSymbol));
  if (!main)
    return std::unexpected(path + " is no widget extension: it has no " + extensionMainSymbol);
  Extension extension;
  extension.widgets_ = main()->body();
  return extension;
}

const HostedWidget* Extension::widget(const std::string& kind) const {
  auto found = std::find_if(widgets_.begin(), widgets_.end(),
                            [&](const HostedWidget& w) { return w.kind == kind; });
  return found == widgets_.end() ? nullptr : &*found;
}

std::string iconFile(const std::string& symbol) {
  // The platform's symbol names, as the freedesktop icon names that show the same thing.
  static const std::map<std::string, std::vector<std::string>> names = {
      {"square.and.pencil", {"document-edit-symbolic", "accessories-text-editor-symbolic"}},
      {"mic", {"audio-input-microphone-symbolic", "microphone-sensitivity-high-symbolic"}},
  };
  auto found = names.find(symbol);
  if (found == names.end()) return {};
  std::error_code error;
  for (const auto& root : iconRoots()) {
    for (const char* theme : {"Adwaita", "hicolor"}) {
      for (const auto& name : found->second) {
        for (const char* context : {"actions", "devices", "status", "apps"}) {
          auto file = root / theme / "scalable" / context / (name + ".svg");
          if (std::filesystem::exists(file, error)) return file.string();
        }
      }
    }
  }
  return {};
}

void draw(cairo_t* cr, const View& view, Size size, const Palette& palette, double radius) {
  cairo_save(cr);
  roundedRectangle(cr, size, radius);
  cairo_clip(cr);
  if (const View* background = view.find(View::Kind::containerBackground)) {
    auto [r, g, b] = colour(background->color, palette);
    cairo_set_source_rgb(cr, r, g, b);
    cairo_paint(cr);
  }

  const View* label = view.find(View::Kind::label);
  if (!label) {
    cairo_restore(cr);
    return;
  }
  const View* font = view.find(View::Kind::font);
  const View* style = view.find(View::Kind::labelStyle);
  const View* frame = view.find(View::Kind::frame);
  double points = pointSize(font ? font->fontValue : Font::body);
  bool showIcon = !style || style->style != LabelStyle::titleOnly;
  bool showTitle = !style || style->style != LabelStyle::iconOnly;

  PangoLayout* layout = pango_cairo_create_layout(cr);
  PangoFontDescription* description = pango_font_description_from_string("Sans Semi-Bold");
  pango_font_description_set_absolute_size(description, points * PANGO_SCALE);
  pango_layout_set_font_description(layout, description);
  pango_layout_set_text(layout, label->title.key.c_str(), -1);
  int textWidth = 0, textHeight = 0;
  pango_layout_get_pixel_size(layout, &textWidth, &textHeight);

  std::string icon = showIcon ? iconFile(label->systemImage) : std::string();
  double iconSize = icon.empty() ? 0 : std::round(points * 1.2);
  double width = iconSize + (showTitle ? (iconSize > 0 ? iconSpacing : 0) + textWidth : 0);
  double height = std::max<double>(iconSize, showTitle ? textHeight : 0);

  // The frame fills the widget inside its margins; the label sits where its alignment says.
  Alignment where = frame ? frame->alignment : Alignment{};
  double inner = size.width - 2 * contentMargin;
  double x = contentMargin;
  if (where.horizontal == HorizontalAlignment::center) x += (inner - width) / 2;
  if (where.horizontal == HorizontalAlignment::trailing) x += inner - width;
  double y = contentMargin;
  double innerHeight = size.height - 2 * contentMargin;
  if (where.vertical == VerticalAlignment::center) y += (innerHeight - height) / 2;
  if (where.vertical == VerticalAlignment::bottom) y += innerHeight - height;

  auto [r, g, b] = colour(SystemColor::label, palette);
  if (!icon.empty()) {
    // Symbolic icons are drawn as a mask in the label's colour.
    cairo_push_group(cr);
    drawSymbol(cr, label->systemImage, icon, x, y + (height - iconSize) / 2, iconSize);
    cairo_pattern_t* mask = cairo_pop_group(cr);
    cairo_set_source_rgb(cr, r, g, b);
    cairo_mask(cr, mask);
    cairo_pattern_destroy(mask);
  }
  if (showTitle) {
    cairo_set_source_rgb(cr, r, g, b);
    cairo_move_to(cr, x + (iconSize > 0 ? iconSize + iconSpacing : 0),
                  y + (height - textHeight) / 2);
    pango_cairo_show_layout(cr, layout);
  }
  pango_font_description_free(description);
  g_object_unref(layout);
  cairo_restore(cr);
}

std::expected<void, std::string> writePng(const View& view, Size size, double scale,
                                          const std::string& path, const Palette& palette) {
  cairo_surface_t* surface =
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, static_cast<int>(size.width * scale),
                                 static_cast<int>(size.height * scale));
  cairo_t* cr = cairo_create(surface);
  cairo_scale(cr, scale, scale);
  draw(cr, view, size, palette);
  cairo_destroy(cr);
  cairo_status_t status = cairo_surface_write_to_png(surface, path.c_str());
  cairo_surface_destroy(surface);
  if (status != CAIRO_STATUS_SUCCESS)
    return std::unexpected(std::string(cairo_status_to_string(status)));
  return {};
}

std::optional<std::string> linkAt(const View& view, Size size, double x, double y, double radius) {
  if (x < 0 || y < 0 || x > size.width || y > size.height) return std::nullopt;
  // In a corner, only inside its rounding: the rest is transparent, the desktop behind.
  double cornerX = std::clamp(x, radius, size.width - radius);
  double cornerY = std::clamp(y, radius, size.height - radius);
  if (std::hypot(x - cornerX, y - cornerY) > radius) return std::nullopt;
  // A widget link covers the whole widget.
  if (const View* link = view.find(View::Kind::widgetURL)) return link->url;
  return std::nullopt;
}

Opener commandOpener(std::string command) {
  return [command](const std::string& url) -> std::expected<void, std::string> {
    vorel::ChildOptions options;
    options.arguments = {url};
    options.input = options.output = vorel::ChildStream::inherit;
    options.searchPath = true;
    auto opener = vorel::ChildProcess::start(command, options);
    if (!opener) return std::unexpected(command + " did not start");
    if (opener->wait().status() != 0) return std::unexpected(command + " could not open it");
    return {};
  };
}

Opener desktopOpener() {
  return [](const std::string& url) -> std::expected<void, std::string> {
    std::string scheme = url.substr(0, url.find(':'));
    GAppInfo* handler = g_app_info_get_default_for_uri_scheme(scheme.c_str());
    if (!handler) {
      return std::unexpected(scheme == "vorel" ? std::string("Vorel Journal is not installed")
                                               : "No application opens " + scheme + " links");
    }
    g_object_unref(handler);
    GError* error = nullptr;
    if (g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error)) return {};
    std::string why = error ? error->message : "it could not be opened";
    if (error) g_error_free(error);
    return std::unexpected(why);
  };
}

}  // namespace widgethost
