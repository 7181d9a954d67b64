// vorel-widget-host: shows the widgets of an extension on a Linux desktop.
//
//   vorel-widget-host [--extension PATH] gallery
//   vorel-widget-host [--extension PATH] draw KIND FILE.png [--scale N] [--style light|dark]
//   vorel-widget-host [--extension PATH] place KIND [--opener COMMAND]
//
// The extension defaults to VorelWidgets.so beside the host. "place" puts the widget on the
// desktop in a window of its own, in the desktop's light or dark style: below other windows, on
// every workspace, out of the taskbar; a click (or Return or Space) opens the widget's link with
// the desktop's default handler, or with COMMAND; a drag moves it, and it comes back where it was
// left.
#include <gtk/gtk.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "DesktopPlacement.h"
#include "ProgramFolder.h"
#include "WidgetHost.h"

namespace {

using namespace widgethost;

int usage() {
  std::fprintf(
      stderr,
      "usage: vorel-widget-host [--extension PATH] gallery\n"
      "       vorel-widget-host [--extension PATH] draw KIND FILE.png [--scale N] [--style S]\n"
      "       vorel-widget-host [--extension PATH] place KIND [--opener COMMAND]\n");
  return 2;
}

// A widget on the desktop: what it shows, how it opens its link, and the short notice it shows
// when nothing could open it.
struct Placed {
  std::string kind;
  widgetkit::View view;
  Size size;
  Opener opener;
  GtkWidget* window = nullptr;
  GtkWidget* area = nullptr;
  Palette palette = Palette::light();
  std::string notice;
  guint noticeTimer = 0;
  bool moving = false;  // a drag moves the widget instead of opening its link
};

// The desktop style's window background and foreground, as its theme names them.
Palette themePalette(GtkWidget* widget) {
  GtkSettings* settings = gtk_settings_get_default();
  gboolean preferDark = FALSE;
  gchar* theme = nullptr;
  g_object_get(settings, "gtk-application-prefer-dark-theme", &preferDark, "gtk-theme-name", &theme,
               nullptr);
  bool dark = preferDark || (theme && g_str_has_suffix(theme, "-dark"));
  g_free(theme);
  Palette palette = dark ? Palette::dark() : Palette::light();
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  GtkStyleContext* style = gtk_widget_get_style_context(widget);
  GdkRGBA background, foreground;
  if (gtk_style_context_lookup_color(style, "window_bg_color", &background) ||
      gtk_style_context_lookup_color(style, "theme_bg_color", &background)) {
    palette.windowBackground = {background.red, background.green, background.blue};
  }
  if (gtk_style_context_lookup_color(style, "window_fg_color", &foreground) ||
      gtk_style_context_lookup_color(style, "theme_fg_color", &foreground)) {
    palette.label = {foreground.red, foreground.green, foreground.blue};
  }
  G_GNUC_END_IGNORE_DEPRECATIONS
  return palette;
}

void drawPlaced(GtkDrawingArea*, cairo_t* cr, int, int, gpointer data) {
  auto* placed = static_cast<Placed*>(data);
  draw(cr, placed->view, placed->size, placed->palette);
  if (placed->notice.empty()) return;
  // The notice over the lower part of the widget, in its own colours.
  PangoLayout* layout = pango_cairo_create_layout(cr);
  PangoFontDescription* font = pango_font_description_from_string("Sans 10");
  pango_layout_set_font_description(layout, font);
  pango_layout_set_width(layout, static_cast<int>((placed->size.width - 32) * PANGO_SCALE));
  pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER);
  pango_layout_set_text(layout, placed->notice.c_str(), -1);
  auto [r, g, b] = placed->palette.label;
  cairo_set_source_rgb(cr, r, g, b);
  cairo_move_to(cr, 16, placed->size.height - 44);
  pango_cairo_show_layout(cr, layout);
  pango_font_description_free(font);
  g_object_unref(layout);
}

void showNotice(Placed& placed, const std::string& notice) {
  placed.notice = notice;
  if (placed.noticeTimer) g_source_remove(placed.noticeTimer);
  placed.noticeTimer = g_timeout_add_seconds(
      4,
      +[](gpointer data) {
        auto* placed = static_cast<Placed*>(data);
        placed->notice.clear();
        placed->noticeTimer = 0;
        gtk_widget_queue_draw(placed->area);
        return G_SOURCE_REMOVE;
      },
      &placed);
  gtk_widget_queue_draw(placed.area);
}

void open(Placed& placed, const std::string& link) {
  std::printf("opening %s\n", link.c_str());
  std::fflush(stdout);
  if (auto opened = placed.opener(link); !opened) {
    std::printf("not opened: %s\n", opened.error().c_str());
    std::fflush(stdout);
    showNotice(placed, opened.error());
  }
}

void clicked(GtkGestureClick*, int, double x, double y, gpointer data) {
  auto* placed = static_cast<Placed*>(data);
  if (placed->moving) return;
  if (auto link = linkAt(placed->view, placed->size, x, y)) open(*placed, *link);
}

gboolean keyPressed(GtkEventControllerKey*, guint key, guint, GdkModifierType, gpointer data) {
  auto* placed = static_cast<Placed*>(data);
  if (key != GDK_KEY_Return && key != GDK_KEY_KP_Enter && key != GDK_KEY_space) return FALSE;
  if (const auto* url = placed->view.find(widgetkit::View::Kind::widgetURL))
    open(*placed, url->url);
  return TRUE;
}

void dragBegun(GtkGestureDrag*, double, double, gpointer data) {
  static_cast<Placed*>(data)->moving = false;
}

void dragged(GtkGestureDrag* gesture, double dx, double dy, gpointer data) {
  auto* placed = static_cast<Placed*>(data);
  if (placed->moving || std::hypot(dx, dy) < 6) return;
  double x = 0, y = 0;
  gtk_gesture_drag_get_start_point(gesture, &x, &y);
  if (!linkAt(placed->view, placed->size, x, y)) return;  // not from a transparent corner
  placed->moving = true;
  // The window manager moves it from here, following the pointer.
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(placed->window));
  gdk_toplevel_begin_move(
      GDK_TOPLEVEL(surface), gtk_gesture_get_device(GTK_GESTURE(gesture)),
      static_cast<int>(gtk_gesture_single_get_current_button(GTK_GESTURE_SINGLE(gesture))), x, y,
      gtk_event_controller_get_current_event_time(GTK_EVENT_CONTROLLER(gesture)));
  gtk_event_controller_reset(GTK_EVENT_CONTROLLER(gesture));
}

void moved(void* data) {
  auto* placed = static_cast<Placed*>(data);
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(placed->window));
  if (auto where = positionOf(surface)) rememberPosition(placed->kind, *where);
}

void styleChanged(GObject*, GParamSpec*, gpointer data) {
  auto* placed = static_cast<Placed*>(data);
  placed->palette = themePalette(placed->area);
  gtk_widget_queue_draw(placed->area);
}

int place(const widgetkit::HostedWidget& widget, Opener opener) {
  // The instance and class the window manager sees: window rules can find the widgets.
  g_set_prgname(widget.kind.c_str());
  if (!gtk_init_check()) {
    std::fprintf(stderr, "vorel-widget-host: no desktop to place the widget on\n");
    return 1;
  }
  Placed placed;
  placed.kind = widget.kind;
  placed.view = widget.placeholder({}).view;
  placed.size = familySize(widgetkit::WidgetFamily::systemSmall);
  placed.opener = std::move(opener);
  widget.timeline({}, [&](const widgetkit::Timeline<widgetkit::HostedEntry>& timeline) {
    if (!timeline.entries.empty()) placed.view = timeline.entries.front().view;
  });
  // The window itself is transparent: the widget draws its rounded shape, the desktop shows
  // through the corners.
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(
      css, "window.vorel-widget { background: none; box-shadow: none; }", -1);
  gtk_style_context_add_provider_for_display(gdk_display_get_default(), GTK_STYLE_PROVIDER(css),
                                             GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);

  GtkWidget* window = gtk_window_new();
  placed.window = window;
  gtk_widget_add_css_class(window, "vorel-widget");
  gtk_window_set_title(GTK_WINDOW(window), widget.displayName.key.c_str());
  gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  GtkWidget* area = gtk_drawing_area_new();
  placed.area = area;
  gtk_widget_set_focusable(area, TRUE);
  gtk_drawing_area_set_content_width(GTK_DRAWING_AREA(area), static_cast<int>(placed.size.width));
  gtk_drawing_area_set_content_height(GTK_DRAWING_AREA(area), static_cast<int>(placed.size.height));
  gtk_drawing_area_set_draw_func(GTK_DRAWING_AREA(area), drawPlaced, &placed, nullptr);
  GtkGesture* click = gtk_gesture_click_new();
  g_signal_connect(click, "released", G_CALLBACK(clicked), &placed);
  gtk_widget_add_controller(area, GTK_EVENT_CONTROLLER(click));
  GtkGesture* drag = gtk_gesture_drag_new();
  g_signal_connect(drag, "drag-begin", G_CALLBACK(dragBegun), &placed);
  g_signal_connect(drag, "drag-update", G_CALLBACK(dragged), &placed);
  gtk_widget_add_controller(area, GTK_EVENT_CONTROLLER(drag));
  GtkEventController* keys = gtk_event_controller_key_new();
  g_signal_connect(keys, "key-pressed", G_CALLBACK(keyPressed), &placed);
  gtk_widget_add_controller(area, keys);
  gtk_window_set_child(GTK_WINDOW(window), area);

  placed.palette = themePalette(area);
  GtkSettings* settings = gtk_settings_get_default();
  g_signal_connect(settings, "notify::gtk-theme-name", G_CALLBACK(styleChanged), &placed);
  g_signal_connect(settings, "notify::gtk-application-prefer-dark-theme", G_CALLBACK(styleChanged),
                   &placed);

  auto where = rememberedPosition(widget.kind);
  gtk_widget_realize(window);
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
  prepareDesktopWindow(surface, widget.kind, where);
  watchDesktopWindow(surface, where, moved, &placed);

  bool running = true;
  g_signal_connect_swapped(window, "destroy", G_CALLBACK(+[](bool* flag) { *flag = false; }),
                           &running);
  gtk_window_present(GTK_WINDOW(window));
  gtk_widget_grab_focus(area);
  while (running) g_main_context_iteration(nullptr, TRUE);
  if (placed.noticeTimer) g_source_remove(placed.noticeTimer);
  g_signal_handlers_disconnect_by_data(settings, &placed);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string extensionPath = vorel::besideThisProgram("VorelWidgets.so").string();
  std::string opener;
  double scale = 2;
  Palette palette = Palette::light();
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--extension" && i + 1 < args.size()) {
      extensionPath = args[++i];
    } else if (args[i] == "--opener" && i + 1 < args.size()) {
      opener = args[++i];
    } else if (args[i] == "--scale" && i + 1 < args.size()) {
      const std::string& value = args[++i];
      char* end = nullptr;
      scale = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(scale >= 0.25 && scale <= 16)) {
        std::fprintf(stderr, "vorel-widget-host: --scale takes a number from 0.25 to 16, not %s\n",
                     value.c_str());
        return 2;
      }
    } else if (args[i] == "--style" && i + 1 < args.size()) {
      const std::string& value = args[++i];
      if (value != "light" && value != "dark") {
        std::fprintf(stderr, "vorel-widget-host: --style takes light or dark, not %s\n",
                     value.c_str());
        return 2;
      }
      palette = value == "dark" ? Palette::dark() : Palette::light();
    } else if (args[i] == "--help" || args[i] == "-h") {
      usage();
      return 0;
    } else {
      words.push_back(args[i]);
    }
  }
  if (words.empty()) return usage();

  auto extension = Extension::load(extensionPath);
  if (!extension) {
    std::fprintf(stderr, "vorel-widget-host: cannot load %s: %s\n", extensionPath.c_str(),
                 extension.error().c_str());
    return 1;
  }
  if (words[0] == "gallery" && words.size() == 1) {
    for (const auto& widget : extension->widgets()) {
      std::string families;
      for (auto family : widget.families) {
        families += (families.empty() ? "" : ", ") + std::string(widgetkit::familyName(family));
      }
      std::printf("%s\n  %s\n  %s\n  %s\n", widget.kind.c_str(), widget.displayName.key.c_str(),
                  widget.description.key.c_str(), families.c_str());
    }
    return 0;
  }
  if (words.size() < 2) return usage();
  const auto* widget = extension->widget(words[1]);
  if (!widget) {
    std::fprintf(stderr, "vorel-widget-host: the extension has no widget %s\n", words[1].c_str());
    return 1;
  }
  if (words[0] == "draw" && words.size() == 3) {
    auto written =
        writePng(widget->placeholder({}).view, familySize(widgetkit::WidgetFamily::systemSmall),
                 scale, words[2], palette);
    if (!written) {
      std::fprintf(stderr, "vorel-widget-host: %s: %s\n", words[2].c_str(),
                   written.error().c_str());
      return 1;
    }
    return 0;
  }
  if (words[0] == "place" && words.size() == 2) {
    return place(*widget, opener.empty() ? desktopOpener() : commandOpener(opener));
  }
  return usage();
}
