// vorel-widget-host: shows the widgets of an extension on a Linux desktop.
//
//   vorel-widget-host [--extension PATH] gallery
//   vorel-widget-host [--extension PATH] draw KIND FILE.png [--scale N]
//   vorel-widget-host [--extension PATH] place KIND [--opener COMMAND]
//
// The extension defaults to VorelWidgets.so beside the host. "place" opens a small undecorated
// window with the widget; a click anywhere in it opens the widget's link with the desktop's
// default handler, or with COMMAND.
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "ProgramFolder.h"
#include "WidgetHost.h"

namespace {

using namespace widgethost;

int usage() {
  std::fprintf(stderr,
               "usage: vorel-widget-host [--extension PATH] gallery\n"
               "       vorel-widget-host [--extension PATH] draw KIND FILE.png [--scale N]\n"
               "       vorel-widget-host [--extension PATH] place KIND [--opener COMMAND]\n");
  return 2;
}

struct Placed {
  widgetkit::View view;
  Size size;
  Opener opener;
};

void drawPlaced(GtkDrawingArea*, cairo_t* cr, int, int, gpointer data) {
  auto* placed = static_cast<Placed*>(data);
  draw(cr, placed->view, placed->size);
}

void clicked(GtkGestureClick*, int, double x, double y, gpointer data) {
  auto* placed = static_cast<Placed*>(data);
  if (auto link = linkAt(placed->view, placed->size, x, y)) {
    std::printf("opening %s\n", link->c_str());
    std::fflush(stdout);
    placed->opener(*link);
  }
}

int place(const widgetkit::HostedWidget& widget, Opener opener) {
  gtk_init();
  Placed placed{widget.placeholder({}).view, familySize(widgetkit::WidgetFamily::systemSmall),
                std::move(opener)};
  widget.timeline({}, [&](const widgetkit::Timeline<widgetkit::HostedEntry>& timeline) {
    if (!timeline.entries.empty()) placed.view = timeline.entries.front().view;
  });
  GtkWidget* window = gtk_window_new();
  gtk_window_set_title(GTK_WINDOW(window), widget.displayName.key.c_str());
  gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  GtkWidget* area = gtk_drawing_area_new();
  gtk_drawing_area_set_content_width(GTK_DRAWING_AREA(area), static_cast<int>(placed.size.width));
  gtk_drawing_area_set_content_height(GTK_DRAWING_AREA(area), static_cast<int>(placed.size.height));
  gtk_drawing_area_set_draw_func(GTK_DRAWING_AREA(area), drawPlaced, &placed, nullptr);
  GtkGesture* click = gtk_gesture_click_new();
  g_signal_connect(click, "released", G_CALLBACK(clicked), &placed);
  gtk_widget_add_controller(area, GTK_EVENT_CONTROLLER(click));
  gtk_window_set_child(GTK_WINDOW(window), area);
  bool open = true;
  g_signal_connect_swapped(window, "destroy", G_CALLBACK(+[](bool* flag) { *flag = false; }),
                           &open);
  gtk_window_present(GTK_WINDOW(window));
  while (open) g_main_context_iteration(nullptr, TRUE);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string extensionPath = vorel::besideThisProgram("VorelWidgets.so").string();
  std::string opener;
  double scale = 2;
  std::vector<std::string> words;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--extension" && i + 1 < args.size()) {
      extensionPath = args[++i];
    } else if (args[i] == "--opener" && i + 1 < args.size()) {
      opener = args[++i];
    } else if (args[i] == "--scale" && i + 1 < args.size()) {
      scale = std::stod(args[++i]);
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
    auto written = writePng(widget->placeholder({}).view,
                            familySize(widgetkit::WidgetFamily::systemSmall), scale, words[2]);
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
