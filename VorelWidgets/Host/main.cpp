// vorel-widget-host: shows the widgets of an extension on a Linux desktop.
//
//   vorel-widget-host [--extension PATH] gallery
//   vorel-widget-host [--extension PATH] draw KIND FILE.png [--scale N] [--style light|dark]
//   vorel-widget-host [--extension PATH] place KIND [--opener PROGRAM]
//
// The extension defaults to VorelWidgets.so beside the host. "place" puts the widget on the
// desktop in a window of its own, in the desktop's light or dark style: below other windows, on
// every workspace, out of the taskbar; a click (or Return or Space) opens the widget's link with
// the desktop's default handler, or with COMMAND; a drag moves it, and it comes back where it was
// left.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "OptionTable.h"
#include "PlacedWidget.h"
#include "ProgramFolder.h"
#include "WidgetHost.h"

namespace {

using namespace widgethost;

// Help for each verb; "" is the overview.
const char* helpFor(const std::string& verb) {
  if (verb == "gallery") {
    return "usage: vorel-widget-host gallery [--extension PATH]\n\n"
           "Lists the extension's widgets: each kind, its name and description, and the sizes it\n"
           "comes in (small 170 x 170, medium 364 x 170, large 364 x 382 px).\n";
  }
  if (verb == "draw") {
    return "usage: vorel-widget-host draw KIND FILE.png [--scale N] [--style light|dark]\n"
           "                              [--extension PATH]\n\n"
           "Draws a widget into a PNG file: its small size (170 x 170 points) at N pixels a\n"
           "point (default 2, from 0.25 to 16), in the light or dark style (default light).\n";
  }
  if (verb == "place") {
    return "usage: vorel-widget-host place KIND [--autostart] [--opener PROGRAM] [--extension "
           "PATH]\n\n"
           "Puts a widget on the desktop, in the desktop's light or dark style: below other\n"
           "windows, on every workspace, out of the taskbar. A click, Return or Space opens the\n"
           "widget's link (vorel://capture, vorel://record) with the desktop's default handler\n"
           "for vorel: links (xdg-open), or with --opener PROGRAM, which is run with the link as\n"
           "its one argument (e.g. --opener vorel-journal). A drag moves the widget;\n"
           "it comes back where it was left. Until then it stands in the screen's top right\n"
           "corner. Its menu (right click, or the Menu key) opens it or removes it from the\n"
           "desktop. --autostart writes an autostart entry, so that the widget comes back after\n"
           "the next login (~/.config/autostart/vorel-KIND-widget.desktop); removing the\n"
           "widget removes the entry.\n";
  }
  return "usage: vorel-widget-host gallery\n"
         "       vorel-widget-host draw KIND FILE.png [--scale N] [--style light|dark]\n"
         "       vorel-widget-host place KIND [--autostart] [--opener PROGRAM]\n"
         "       vorel-widget-host help [VERB] | --version\n\n"
         "Shows the Vorel widgets on a Linux desktop. --extension PATH loads the widgets from\n"
         "another extension than the VorelWidgets.so installed with the host.\n"
         "Run \"vorel-widget-host help VERB\" for a verb's options.\n";
}

// A usage error: what is wrong, and where the help is; status 2.
int usage(const std::string& verb, const std::string& problem) {
  std::fprintf(stderr, "vorel-widget-host: %s (see vorel-widget-host %s--help)\n", problem.c_str(),
               verb.empty() ? "" : (verb + " ").c_str());
  return 2;
}

// "small, 170 x 170 px" for a widget family.
std::string familyText(widgetkit::WidgetFamily family) {
  std::string name = widgetkit::familyName(family);
  if (name.starts_with("system")) name = name.substr(6);
  if (!name.empty()) name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
  Size size = familySize(family);
  return name + ", " + std::to_string(static_cast<int>(size.width)) + " x " +
         std::to_string(static_cast<int>(size.height)) + " px";
}

}  // namespace

int main(int argc, char** argv) {
  vorel::commandline::OptionTable table;
  table.verbs = {"gallery", "draw", "place"};
  table.verbIs = "verb";
  table.options = {{"--extension", true, {}},
                   {"--opener", true, {"place"}},
                   {"--autostart", false, {"place"}},
                   {"--scale", true, {"draw"}},
                   {"--style", true, {"draw"}}};
  auto line =
      vorel::commandline::readCommandLine(std::vector<std::string>(argv + 1, argv + argc), table);
  if (!line) return usage(line.error().verb, line.error().problem);
  const std::string& verb = line->verb;
  if (line->help) {
    std::printf("%s", helpFor(verb));
    return 0;
  }
  if (line->version) {
    std::printf("vorel-widget-host %s\n", VOREL_VERSION);
    return 0;
  }
  if (verb.empty()) return usage("", "no verb given");
  std::size_t wanted = verb == "gallery" ? 0 : verb == "draw" ? 2 : 1;
  if (line->arguments.size() != wanted) {
    return usage(verb,
                 line->arguments.size() < wanted ? "too few arguments" : "too many arguments");
  }
  std::vector<std::string> words{verb};
  words.insert(words.end(), line->arguments.begin(), line->arguments.end());
  std::string extensionPath =
      vorel::partOfThisProgram("VorelWidgets.so", VOREL_PARTS_FROM_BINDIR).string();
  std::string opener;
  bool extensionGiven = false, autostart = false;
  double scale = 2;
  Palette palette = Palette::light();
  for (const auto& [name, value] : line->options) {
    if (name == "--extension") {
      extensionPath = value;
      extensionGiven = true;
    } else if (name == "--autostart") {
      autostart = true;
    } else if (name == "--opener") {
      opener = value;
    } else if (name == "--scale") {
      char* end = nullptr;
      scale = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(scale >= 0.25 && scale <= 16)) {
        return usage(verb, "--scale takes a number from 0.25 to 16, not " + value);
      }
    } else if (name == "--style") {
      if (value != "light" && value != "dark") {
        return usage(verb, "--style takes light or dark, not " + value);
      }
      palette = value == "dark" ? Palette::dark() : Palette::light();
    }
  }

  auto extension = Extension::load(extensionPath);
  if (!extension) {
    std::fprintf(stderr, "vorel-widget-host: cannot load %s: %s\n", extensionPath.c_str(),
                 extension.error().c_str());
    return 1;
  }
  if (verb == "gallery") {
    for (const auto& widget : extension->widgets()) {
      std::string families;
      for (auto family : widget.families) {
        families += (families.empty() ? "" : "; ") + familyText(family);
      }
      std::printf("%s\n  %s\n  %s\n  %s\n", widget.kind.c_str(), widget.displayName.key.c_str(),
                  widget.description.key.c_str(), families.c_str());
    }
    return 0;
  }
  const auto* widget = extension->widget(words[1]);
  if (!widget) {
    std::string kinds;
    for (const auto& known : extension->widgets())
      kinds += (kinds.empty() ? "" : ", ") + known.kind;
    std::fprintf(stderr, "vorel-widget-host: there is no widget %s; the widgets are %s\n",
                 words[1].c_str(), kinds.c_str());
    return 1;
  }
  if (verb == "draw") {
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
  std::vector<std::string> otherKinds;
  for (const auto& other : extension->widgets()) {
    if (other.kind != widget->kind) otherKinds.push_back(other.kind);
  }
  // The same command again at login, from wherever this host is installed.
  std::vector<std::string> again;
  if (autostart) {
    again = {vorel::thisProgram().string(), "place", widget->kind};
    if (!opener.empty()) again.insert(again.end(), {"--opener", opener});
    if (extensionGiven) {
      again.insert(again.end(), {"--extension", std::filesystem::absolute(extensionPath).string()});
    }
  }
  return place(*widget, otherKinds, opener.empty() ? desktopOpener() : commandOpener(opener),
               again);
}
