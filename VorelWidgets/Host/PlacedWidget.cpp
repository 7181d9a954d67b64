#include "PlacedWidget.h"

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Appearance.h"
#include "Autostart.h"
#include "DesktopPlacement.h"
#include "ProgramFolder.h"
#include "SingleCopy.h"
#include "WidgetHost.h"

namespace widgethost {
namespace {

// A widget on the desktop: what it shows, how it opens its link, the short notice it shows
// when nothing could open it, and how it stands to the pointer and the keyboard.
struct Placed {
  std::string kind;
  widgetkit::View view;
  Size size;
  Opener opener;
  GtkWidget* window = nullptr;
  GtkWidget* area = nullptr;
  GtkWidget* menu = nullptr;
  Palette palette = Palette::light();
  double radius = cornerRadius;  // 0 without a compositor: square, as nothing shows through
  std::string notice;
  guint noticeTimer = 0;
  guint styleIdle = 0;
  bool moving = false;  // a drag moves the widget instead of opening its link
  Interaction interaction;
  // The keyboard was used since the last press of the pointer: its focus is shown (a ring), as
  // GTK shows focus only to those who move it with the keyboard.
  bool keyboardUsed = false;
};

// The desktop style's window background, foreground and accent, as its theme names them.
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
  auto look = [&](std::initializer_list<const char*> names, Colour& colour) {
    GdkRGBA found;
    for (const char* name : names) {
      if (gtk_style_context_lookup_color(style, name, &found)) {
        colour = {found.red, found.green, found.blue};
        return;
      }
    }
  };
  look({"window_bg_color", "theme_bg_color"}, palette.windowBackground);
  look({"window_fg_color", "theme_fg_color"}, palette.label);
  look({"accent_bg_color", "theme_selected_bg_color"}, palette.accent);
  G_GNUC_END_IGNORE_DEPRECATIONS
  return palette;
}

void drawPlaced(GtkDrawingArea*, cairo_t* cr, int, int, gpointer data) {
  auto* placed = static_cast<Placed*>(data);
  draw(cr, placed->view, placed->size, placed->palette, placed->radius);
  Interaction interaction = placed->interaction;
  interaction.focusRing = placed->keyboardUsed && gtk_widget_has_focus(placed->area);
  drawInteraction(cr, placed->size, placed->palette, interaction, placed->radius);
  if (placed->notice.empty()) return;
  // The notice over the lower part of the widget, in its own colours, wrapped between words.
  PangoLayout* layout = pango_cairo_create_layout(cr);
  PangoFontDescription* font = pango_font_description_from_string("Sans 10");
  pango_layout_set_font_description(layout, font);
  pango_layout_set_width(layout, static_cast<int>((placed->size.width - 32) * PANGO_SCALE));
  pango_layout_set_wrap(layout, PANGO_WRAP_WORD);
  pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER);
  pango_layout_set_text(layout, placed->notice.c_str(), -1);
  auto [r, g, b] = placed->palette.label;
  cairo_set_source_rgb(cr, r, g, b);
  cairo_move_to(cr, 16, placed->size.height - 44);
  pango_cairo_show_layout(cr, layout);
  pango_font_description_free(font);
  g_object_unref(layout);
}

void redraw(Placed& placed) {
  gtk_widget_queue_draw(placed.area);
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
        redraw(*placed);
        return G_SOURCE_REMOVE;
      },
      &placed);
  redraw(placed);
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

void openWidgetLink(Placed& placed) {
  if (const auto* url = placed.view.find(widgetkit::View::Kind::widgetURL)) open(placed, url->url);
}

// Takes the widget off the desktop for good: where it was left and its autostart entry go too.
// The window goes once the menu that asked for it has closed.
void remove(Placed& placed) {
  bool forgotten = forgetPosition(placed.kind);
  bool unlisted = removeAutostart(placed.kind);
  std::printf("removed%s\n", forgotten && unlisted ? "" : " (its state could not all be removed)");
  std::fflush(stdout);
  g_idle_add_once(
      +[](gpointer window) { gtk_window_destroy(GTK_WINDOW(window)); }, placed.window);
}

void pressed(GtkGestureClick*, int, double, double, gpointer data) {
  auto* placed = static_cast<Placed*>(data);
  placed->interaction.pressed = true;
  placed->keyboardUsed = false;
  redraw(*placed);
}

// One opening per click: the second press of a double click (and the third of a triple) opens
// nothing more.
void clicked(GtkGestureClick*, int presses, double x, double y, gpointer data) {
  auto* placed = static_cast<Placed*>(data);
  placed->interaction.pressed = false;
  redraw(*placed);
  if (placed->moving || presses > 1) return;
  if (auto link = linkAt(placed->view, placed->size, x, y, placed->radius)) open(*placed, *link);
}

void clickEnded(GtkGesture*, GdkEventSequence*, gpointer data) {
  auto* placed = static_cast<Placed*>(data);
  if (!placed->interaction.pressed) return;
  placed->interaction.pressed = false;
  redraw(*placed);
}

void showMenu(Placed& placed, double x, double y) {
  GdkRectangle at{static_cast<int>(x), static_cast<int>(y), 1, 1};
  gtk_popover_set_pointing_to(GTK_POPOVER(placed.menu), &at);
  gtk_popover_popup(GTK_POPOVER(placed.menu));
}

void menuClicked(GtkGestureClick* gesture, int, double x, double y, gpointer data) {
  auto* placed = static_cast<Placed*>(data);
  if (!linkAt(placed->view, placed->size, x, y, placed->radius))
    return;  // not from a transparent corner
  gtk_gesture_set_state(GTK_GESTURE(gesture), GTK_EVENT_SEQUENCE_CLAIMED);
  showMenu(*placed, x, y);
}

void hoverChanged(Placed& placed, bool hovered) {
  if (placed.interaction.hovered == hovered) return;
  placed.interaction.hovered = hovered;
  redraw(placed);
}

gboolean keyPressed(GtkEventControllerKey*, guint key, guint, GdkModifierType modifiers,
                    gpointer data) {
  auto* placed = static_cast<Placed*>(data);
  if (!placed->keyboardUsed) {
    placed->keyboardUsed = true;
    redraw(*placed);
  }
  // The widget is the window's one place for the keyboard: Tab shows the focus where it is.
  if (key == GDK_KEY_Tab || key == GDK_KEY_ISO_Left_Tab || key == GDK_KEY_KP_Tab) return TRUE;
  if (key == GDK_KEY_Menu || (key == GDK_KEY_F10 && (modifiers & GDK_SHIFT_MASK))) {
    showMenu(*placed, placed->size.width / 2, placed->size.height / 2);
    return TRUE;
  }
  if (key != GDK_KEY_Return && key != GDK_KEY_KP_Enter && key != GDK_KEY_space) return FALSE;
  openWidgetLink(*placed);
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
  if (!linkAt(placed->view, placed->size, x, y, placed->radius))
    return;  // not from a transparent corner
  placed->moving = true;
  placed->interaction.pressed = false;
  // The window manager moves it from here, following the pointer.
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(placed->window));
  gdk_toplevel_begin_move(
      GDK_TOPLEVEL(surface), gtk_gesture_get_device(GTK_GESTURE(gesture)),
      static_cast<int>(gtk_gesture_single_get_current_button(GTK_GESTURE_SINGLE(gesture))), x, y,
      gtk_event_controller_get_current_event_time(GTK_EVENT_CONTROLLER(gesture)));
  gtk_event_controller_reset(GTK_EVENT_CONTROLLER(gesture));
}

// Remembers where the widget was dragged to; where the window manager first put it is not a
// place the user chose (the corner is worked out afresh at each start).
void moved(void* data) {
  auto* placed = static_cast<Placed*>(data);
  if (!placed->moving) return;
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(placed->window));
  if (auto where = positionOf(surface)) rememberPosition(placed->kind, *where);
}

// The theme's colours are read once GTK has taken in the change (its style is reloaded after
// the setting's notification).
void styleChanged(GObject*, GParamSpec*, gpointer data) {
  auto* placed = static_cast<Placed*>(data);
  if (placed->styleIdle) return;
  placed->styleIdle = g_idle_add(
      +[](gpointer data) {
        auto* placed = static_cast<Placed*>(data);
        placed->styleIdle = 0;
        placed->palette = themePalette(placed->area);
        redraw(*placed);
        return G_SOURCE_REMOVE;
      },
      placed);
}

// The context menu: Open, and Remove from desktop.
GtkWidget* contextMenu(Placed& placed) {
  GSimpleActionGroup* actions = g_simple_action_group_new();
  GSimpleAction* openAction = g_simple_action_new("open", nullptr);
  g_signal_connect_swapped(openAction, "activate",
                           G_CALLBACK(+[](Placed* placed) { openWidgetLink(*placed); }), &placed);
  GSimpleAction* removeAction = g_simple_action_new("remove", nullptr);
  g_signal_connect_swapped(removeAction, "activate",
                           G_CALLBACK(+[](Placed* placed) { remove(*placed); }), &placed);
  g_action_map_add_action(G_ACTION_MAP(actions), G_ACTION(openAction));
  g_action_map_add_action(G_ACTION_MAP(actions), G_ACTION(removeAction));
  g_object_unref(openAction);
  g_object_unref(removeAction);
  gtk_widget_insert_action_group(placed.area, "widget", G_ACTION_GROUP(actions));
  g_object_unref(actions);

  GMenu* model = g_menu_new();
  g_menu_append(model, "Open", "widget.open");
  g_menu_append(model, "Remove from Desktop", "widget.remove");
  GtkWidget* menu = gtk_popover_menu_new_from_model(G_MENU_MODEL(model));
  g_object_unref(model);
  gtk_widget_set_parent(menu, placed.area);
  g_signal_connect_swapped(placed.area, "destroy", G_CALLBACK(gtk_widget_unparent), menu);
  gtk_popover_set_has_arrow(GTK_POPOVER(menu), FALSE);
  gtk_widget_set_halign(menu, GTK_ALIGN_START);
  return menu;
}

}  // namespace

int place(const widgetkit::HostedWidget& widget, const std::vector<std::string>& otherKinds,
          Opener opener, const std::vector<std::string>& autostart) {
  // The instance and class the window manager sees: window rules can find the widgets.
  g_set_prgname(widget.kind.c_str());
  if (!gtk_init_check()) {
    std::fprintf(stderr, "vorel-widget-host: no desktop to place the widget on\n");
    return 1;
  }
  if (!autostart.empty()) {
    if (auto written = writeAutostart(widget.kind, widget.displayName.key, autostart); !written) {
      std::fprintf(stderr, "vorel-widget-host: the widget cannot come back after login: %s\n",
                   written.error().c_str());
      return 1;
    }
  }
  // One copy on this desktop: a second place brings the first forward, with SIGUSR1, which
  // must not end this one before it listens for it.
  ::signal(SIGUSR1, SIG_IGN);
  std::string display = gdk_display_get_name(gdk_display_get_default());
  auto copy = PlacedCopy::take(widget.kind, display);
  if (!copy && copy.error() != -1) {
    if (copy.error() > 0) ::kill(copy.error(), SIGUSR1);
    std::fprintf(stderr, "vorel-widget-host: %s is on the desktop already\n", widget.kind.c_str());
    return 0;
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
  // Without a compositor nothing shows through, and what is see-through is shown black: the
  // widget is drawn square, and its menu square and without a shadow.
  std::string style = "window.vorel-widget { background: none; box-shadow: none; }";
  if (!gdk_display_is_composited(gdk_display_get_default())) {
    placed.radius = 0;
    style += " popover, popover > contents { box-shadow: none; border-radius: 0; margin: 0; }";
  }
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css, style.c_str(), -1);
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
  g_signal_connect(click, "pressed", G_CALLBACK(pressed), &placed);
  g_signal_connect(click, "released", G_CALLBACK(clicked), &placed);
  g_signal_connect(click, "cancel", G_CALLBACK(clickEnded), &placed);
  g_signal_connect(click, "end", G_CALLBACK(clickEnded), &placed);
  gtk_widget_add_controller(area, GTK_EVENT_CONTROLLER(click));
  GtkGesture* menuClick = gtk_gesture_click_new();
  gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(menuClick), GDK_BUTTON_SECONDARY);
  g_signal_connect(menuClick, "pressed", G_CALLBACK(menuClicked), &placed);
  gtk_widget_add_controller(area, GTK_EVENT_CONTROLLER(menuClick));
  GtkGesture* drag = gtk_gesture_drag_new();
  g_signal_connect(drag, "drag-begin", G_CALLBACK(dragBegun), &placed);
  g_signal_connect(drag, "drag-update", G_CALLBACK(dragged), &placed);
  gtk_widget_add_controller(area, GTK_EVENT_CONTROLLER(drag));
  GtkEventController* keys = gtk_event_controller_key_new();
  g_signal_connect(keys, "key-pressed", G_CALLBACK(keyPressed), &placed);
  gtk_widget_add_controller(area, keys);
  GtkEventController* motion = gtk_event_controller_motion_new();
  g_signal_connect_swapped(
      motion, "enter", G_CALLBACK(+[](Placed* placed) { hoverChanged(*placed, true); }), &placed);
  g_signal_connect_swapped(
      motion, "leave", G_CALLBACK(+[](Placed* placed) { hoverChanged(*placed, false); }), &placed);
  gtk_widget_add_controller(area, motion);
  GtkEventController* focus = gtk_event_controller_focus_new();
  g_signal_connect_swapped(focus, "enter", G_CALLBACK(redraw), &placed);
  g_signal_connect_swapped(focus, "leave", G_CALLBACK(redraw), &placed);
  gtk_widget_add_controller(area, focus);
  gtk_window_set_child(GTK_WINDOW(window), area);
  placed.menu = contextMenu(placed);

  placed.palette = themePalette(area);
  GtkSettings* settings = gtk_settings_get_default();
  g_signal_connect(settings, "notify::gtk-theme-name", G_CALLBACK(styleChanged), &placed);
  g_signal_connect(settings, "notify::gtk-application-prefer-dark-theme", G_CALLBACK(styleChanged),
                   &placed);
  PortalAppearance portal;

  gtk_widget_realize(window);
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
  auto where = rememberedPosition(widget.kind);
  if (!where) {
    // The first corner slot no other placed widget stands in.
    auto taken = takenSlots(otherKinds, display);
    int slot = 0;
    while (taken.contains(slot)) ++slot;
    if (copy) copy->standIn(slot);
    where = cornerPosition(surface, slot, static_cast<int>(placed.size.width));
  }
  prepareDesktopWindow(surface, widget.kind, where);
  watchDesktopWindow(surface, where, moved, &placed);

  bool running = true;
  g_signal_connect_swapped(window, "destroy", G_CALLBACK(+[](bool* flag) { *flag = false; }),
                           &running);
  guint forward = g_unix_signal_add(
      SIGUSR1,
      +[](gpointer window) -> gboolean {
        gtk_window_present(GTK_WINDOW(window));
        return G_SOURCE_CONTINUE;
      },
      window);
  gtk_window_present(GTK_WINDOW(window));
  gtk_widget_grab_focus(area);
  while (running) g_main_context_iteration(nullptr, TRUE);
  g_source_remove(forward);
  if (placed.noticeTimer) g_source_remove(placed.noticeTimer);
  if (placed.styleIdle) g_source_remove(placed.styleIdle);
  g_signal_handlers_disconnect_by_data(settings, &placed);
  return 0;
}

}  // namespace widgethost
