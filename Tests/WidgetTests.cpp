// The widget extension as the host loads it: its gallery, its entries, its drawing and its links.
#include <gio/gdesktopappinfo.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <set>

#include "Autostart.h"
#include "Fixtures.h"
#include "PositionFile.h"
#include "Process.h"
#include "WidgetHost.h"

namespace widgethost {
namespace {

using namespace widgetkit;
using Clock = std::chrono::system_clock;

const Extension& extension() {
  static const Extension loaded = [] {
    auto e = Extension::load(VOREL_WIDGETS);
    EXPECT_TRUE(e.has_value()) << (e ? "" : e.error());
    return e ? *e : Extension{};
  }();
  return loaded;
}

struct Expected {
  std::string kind, displayName, description, label, symbol, link;
};

const std::vector<Expected> table = {
    {"VorelCapture", "Capture", "Open Vorel into today's journal, ready to type.", "Capture",
     "square.and.pencil", "vorel://capture"},
    {"VorelRecord", "Record a voice note",
     "Open Vorel to record a voice note into today's journal.", "Record", "mic", "vorel://record"},
};

TEST(Widgets, TheBundleListsCaptureThenRecordWithEveryField) {
  const auto& widgets = extension().widgets();
  ASSERT_EQ(widgets.size(), table.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    const auto& w = widgets[i];
    const auto& e = table[i];
    SCOPED_TRACE(e.kind);
    EXPECT_EQ(w.kind, e.kind);
    EXPECT_EQ(w.displayName.key, e.displayName);
    EXPECT_EQ(w.description.key, e.description);
    EXPECT_EQ(w.families, std::vector{WidgetFamily::systemSmall});

    View view = w.placeholder({}).view;
    const View* label = view.find(View::Kind::label);
    ASSERT_TRUE(label);
    EXPECT_EQ(label->title.key, e.label);
    EXPECT_EQ(label->systemImage, e.symbol);
    EXPECT_EQ(view.find(View::Kind::widgetURL)->url, e.link);
    EXPECT_EQ(view.find(View::Kind::labelStyle)->style, LabelStyle::titleAndIcon);
    EXPECT_EQ(view.find(View::Kind::font)->fontValue, Font::title3);
    const View* frame = view.find(View::Kind::frame);
    EXPECT_EQ(frame->maxWidth, infinity);
    EXPECT_EQ(frame->maxHeight, infinity);
    EXPECT_EQ(frame->alignment, Alignment::leading());
    EXPECT_EQ(view.find(View::Kind::containerBackground)->color, SystemColor::windowBackground);
    EXPECT_FALSE(iconFile(e.symbol).empty()) << "the desktop icon theme has a glyph for it";
  }
}

TEST(Widgets, PlaceholderSnapshotAndTimelineGiveOneEntryDatedNow) {
  auto near = [](Date date) {
    return std::chrono::abs(Clock::now() - date) < std::chrono::seconds(1);
  };
  for (const auto& w : extension().widgets()) {
    SCOPED_TRACE(w.kind);
    EXPECT_TRUE(near(w.placeholder({}).date));
    int snapshots = 0;
    w.snapshot({WidgetFamily::systemSmall, true}, [&](HostedEntry entry) {
      ++snapshots;
      EXPECT_TRUE(near(entry.date));
    });
    EXPECT_EQ(snapshots, 1) << "the completion is called at once, once";
    int timelines = 0;
    w.timeline({}, [&](Timeline<HostedEntry> timeline) {
      ++timelines;
      ASSERT_EQ(timeline.entries.size(), 1u);
      EXPECT_TRUE(near(timeline.entries[0].date));
      EXPECT_EQ(timeline.policy, ReloadPolicy::never());
    });
    EXPECT_EQ(timelines, 1);
  }
}

TEST(Widgets, AClickInsideTheRoundedShapeOpensTheLinkAndNotOnTheCorners) {
  Size size = familySize(WidgetFamily::systemSmall);
  struct Point {
    double x, y;
    bool opens;
  } points[] = {
      {85, 85, true}, {1, 85, true},    {85, 169, true}, {22, 1, true},
      {7, 7, true},   {163, 163, true},  // just inside the rounding
      {1, 1, false},  {169, 1, false},  {1, 169, false}, {169, 169, false},
      {5, 5, false},  {171, 85, false}, {85, -1, false},  // a corner, outside
  };
  for (std::size_t i = 0; i < table.size(); ++i) {
    View view = extension().widgets()[i].placeholder({}).view;
    for (const auto& p : points) {
      auto link = linkAt(view, size, p.x, p.y);
      EXPECT_EQ(link.has_value(), p.opens) << p.x << "," << p.y;
      if (link) {
        EXPECT_EQ(*link, table[i].link);
      }
    }
  }
}

TEST(Widgets, DrawsThePlacedWidgetToAPng) {
  for (const auto& w : extension().widgets()) {
    auto path = vorel::testing::scratch() / (w.kind + ".png");
    ASSERT_TRUE(writePng(w.placeholder({}).view, familySize(WidgetFamily::systemSmall), 2, path));
    cairo_surface_t* png = cairo_image_surface_create_from_png(path.c_str());
    ASSERT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
    int width = cairo_image_surface_get_width(png), height = cairo_image_surface_get_height(png);
    EXPECT_EQ(width, 340);
    EXPECT_EQ(height, 340);
    int stride = cairo_image_surface_get_stride(png);
    auto pixel = [&](int x, int y) {
      return *reinterpret_cast<const std::uint32_t*>(cairo_image_surface_get_data(png) +
                                                     y * stride + x * 4);
    };
    EXPECT_EQ(pixel(0, 0) >> 24, 0u) << "outside the rounded corner is transparent";
    EXPECT_EQ(pixel(170, 40), 0xFFECECECu) << "the window background";
    EXPECT_EQ(pixel(4, 4) >> 24, 0u) << "the corner's rounding is transparent";
    int dark = 0;  // the glyph and the words, at the leading edge, centred from top to bottom
    for (int y = 140; y < 200; ++y) {
      for (int x = 20; x < 250; ++x) dark += (pixel(x, y) & 0xFF) < 0x60;
    }
    EXPECT_GT(dark, 500) << w.kind;
    cairo_surface_destroy(png);
  }
}

// In the dark style the background is dark and the words and symbol light.
TEST(Widgets, DrawsTheDarkStyle) {
  for (const auto& w : extension().widgets()) {
    auto path = vorel::testing::scratch() / (w.kind + "-dark.png");
    ASSERT_TRUE(writePng(w.placeholder({}).view, familySize(WidgetFamily::systemSmall), 2, path,
                         Palette::dark()));
    cairo_surface_t* png = cairo_image_surface_create_from_png(path.c_str());
    ASSERT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
    int stride = cairo_image_surface_get_stride(png);
    auto pixel = [&](int x, int y) {
      return *reinterpret_cast<const std::uint32_t*>(cairo_image_surface_get_data(png) +
                                                     y * stride + x * 4);
    };
    EXPECT_EQ(pixel(0, 0) >> 24, 0u);
    EXPECT_EQ(pixel(170, 40), 0xFF2C2C2Eu) << "the dark window background";
    int light = 0;
    for (int y = 140; y < 200; ++y) {
      for (int x = 20; x < 250; ++x) light += (pixel(x, y) & 0xFF) > 0xA0;
    }
    EXPECT_GT(light, 500) << w.kind;
    cairo_surface_destroy(png);
  }
}

TEST(Widgets, TheExtensionIsEntitledToTheSandboxAlone) {
  std::ifstream in(VOREL_WIDGETS_ENTITLEMENTS);
  std::string plist((std::istreambuf_iterator<char>(in)), {});
  // Each <key>NAME</key> and the value element after it.
  std::vector<std::string> entries;
  for (auto at = plist.find("<key>"); at != std::string::npos; at = plist.find("<key>", at + 1)) {
    auto nameEnd = plist.find("</key>", at);
    auto value = plist.find('<', nameEnd + 6);
    auto valueEnd = plist.find('>', value);
    entries.push_back(plist.substr(at + 5, nameEnd - at - 5) + "=" +
                      plist.substr(value + 1, valueEnd - value - 1));
  }
  EXPECT_EQ(entries, std::vector<std::string>{"com.apple.security.app-sandbox=true/"});
}

// The position file is the user's state, read and written as untrusted: whatever is at its
// place (or at its partial file's), reading neither hangs nor reads more than a line, and
// writing never goes through a link or into a FIFO.
TEST(PositionFile, EveryShapeOfStateIsReadAndWrittenSafely) {
  auto state = vorel::testing::scratch() / "widget-state";
  ::setenv("XDG_STATE_HOME", state.c_str(), 1);
  auto folder = state / "vorel-widgets";
  auto file = folder / "VorelCapture.position";
  auto partial = folder / ".VorelCapture.position.";
  partial += std::to_string(::getpid());
  auto elsewhere = vorel::testing::scratch() / "not-a-position";
  struct Case {
    const char* name;
    std::function<void()> make;
    std::optional<std::pair<int, int>> read;
  };
  auto text = [&](std::string content) {
    return [&file, content] { std::ofstream(file) << content; };
  };
  std::vector<Case> cases = {
      {"nothing there", [] {}, std::nullopt},
      {"a position", text("423 278\n"), std::pair{423, 278}},
      {"negative, no line feed", text("-20 -7"), std::pair{-20, -7}},
      {"words", text("left top\n"), std::nullopt},
      {"three numbers", text("1 2 3\n"), std::nullopt},
      {"off any screen", text("900000 5\n"), std::nullopt},
      {"a long line", text("1 2" + std::string(100, ' ') + "\n"), std::nullopt},
      {"a FIFO", [&] { ::mkfifo(file.c_str(), 0600); }, std::nullopt},
      {"a link to /dev/zero", [&] { std::filesystem::create_symlink("/dev/zero", file); },
       std::nullopt},
      {"a link to a good file",
       [&] {
         std::ofstream(elsewhere) << "1 2\n";
         std::filesystem::create_symlink(elsewhere, file);
       },
       std::nullopt},
      {"a folder", [&] { std::filesystem::create_directories(file); }, std::nullopt},
      {"a FIFO as the partial file", [&] { ::mkfifo(partial.c_str(), 0600); }, std::nullopt},
      {"a link as the partial file",
       [&] {
         std::ofstream(elsewhere) << "precious\n";
         std::filesystem::create_symlink(elsewhere, partial);
       },
       std::nullopt},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(state);
    std::filesystem::remove(elsewhere);
    std::filesystem::create_directories(folder);
    c.make();
    auto read = rememberedPosition("VorelCapture");
    EXPECT_EQ(read.has_value(), c.read.has_value()) << c.name;
    if (read && c.read) {
      EXPECT_EQ(std::pair(read->x, read->y), *c.read) << c.name;
    }
    bool folderThere = std::filesystem::is_directory(file);
    EXPECT_EQ(rememberPosition("VorelCapture", {31, 41}), !folderThere) << c.name;
    if (!folderThere) {
      auto again = rememberedPosition("VorelCapture");
      ASSERT_TRUE(again) << c.name << ": the position written is read back";
      EXPECT_EQ(std::pair(again->x, again->y), std::pair(31, 41)) << c.name;
    }
    if (std::filesystem::exists(elsewhere)) {
      std::ifstream in(elsewhere);
      std::string kept((std::istreambuf_iterator<char>(in)), {});
      EXPECT_TRUE(kept == "precious\n" || kept == "1 2\n") << c.name << ": written through a link";
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(partial)))
        << c.name << ": no partial file left";
  }
  ::unsetenv("XDG_STATE_HOME");
}

// The autostart entry's command comes back argument for argument through GLib's own reading of
// desktop entries (the key file's escapes, the field codes, the quoting).
TEST(Autostart, TheEntryRunsTheSameCommandWhateverItsArguments) {
  auto config = vorel::testing::scratch() / "autostart-config";
  std::filesystem::remove_all(config);
  ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  // Hosts at paths of every kind: GLib takes an entry only when its program is there.
  auto host = [&](const std::string& folder) {
    auto path = config / folder / "vorel-widget-host";
    std::filesystem::create_directories(path.parent_path());
    std::filesystem::copy_file("/bin/true", path);
    return path.string();
  };
  const std::vector<std::vector<std::string>> commands = {
      {host("plain"), "place", "VorelCapture"},
      {host("my apps"), "place", "VorelRecord", "--opener", "/home/a b/open"},
      {host("100% sure"), "--opener", "say \"hi\" $HOME `id` \\n 100% 'x'"},
      {host("caf\xc3\xa9 $x"), "caf\xc3\xa9", "--extension", "/tmp/semi;colon&amp"},
  };
  for (const auto& command : commands) {
    ASSERT_TRUE(writeAutostart("VorelCapture", "Capture", command)) << command.back();
    auto entry = *autostartEntry("VorelCapture");
    EXPECT_EQ(entry, config / "autostart" / "vorel-capture-widget.desktop");
    GKeyFile* file = g_key_file_new();
    ASSERT_TRUE(g_key_file_load_from_file(file, entry.c_str(), G_KEY_FILE_NONE, nullptr));
    gchar* exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr);
    ASSERT_NE(exec, nullptr);
    // %% is the one field code an entry of ours may hold: a percent sign.
    std::string line = exec;
    for (auto at = line.find("%%"); at != std::string::npos; at = line.find("%%", at + 1)) {
      line.erase(at, 1);
    }
    gchar** argv = nullptr;
    ASSERT_TRUE(g_shell_parse_argv(line.c_str(), nullptr, &argv, nullptr)) << exec;
    std::vector<std::string> parsed(argv, argv + g_strv_length(argv));
    if (parsed.size() > 1 && parsed[0] == "env") parsed.erase(parsed.begin());
    EXPECT_EQ(parsed, command) << exec;
    // And the desktop takes it (GLib skips an entry whose program it cannot find).
    GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(entry.c_str());
    EXPECT_NE(info, nullptr) << exec;
    if (info) g_object_unref(info);
    g_strfreev(argv);
    g_free(exec);
    g_key_file_free(file);
  }
  EXPECT_FALSE(execLine({"/h", "two\nlines"})) << "a line break cannot be written";
  EXPECT_TRUE(removeAutostart("VorelCapture"));
  EXPECT_FALSE(std::filesystem::exists(*autostartEntry("VorelCapture")));
  EXPECT_TRUE(removeAutostart("VorelCapture")) << "nothing to remove is no failure";
  ::unsetenv("XDG_CONFIG_HOME");
}

// The host's command line: a help per verb, its version, sizes in pixels, the widgets named
// when a kind is unknown.
TEST(WidgetHostCommand, HelpVersionGalleryAndUnknownKinds) {
  auto host = [](std::vector<std::string> arguments) {
    vorel::testing::ProcessOptions options;
    options.arguments = std::move(arguments);
    return vorel::testing::runProcess(VOREL_WIDGET_HOST, "", options);
  };
  auto version = host({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(version.out.starts_with("vorel-widget-host ")) << version.out;
  std::set<std::string> helps;
  for (const auto& verb : {"gallery", "draw", "place"}) {
    auto asked = host({"help", verb});
    EXPECT_EQ(asked.status, 0) << verb;
    EXPECT_EQ(asked.out, host({verb, "--help"}).out) << verb;
    EXPECT_TRUE(asked.out.starts_with(std::string("usage: vorel-widget-host ") + verb))
        << asked.out;
    helps.insert(asked.out);
  }
  EXPECT_EQ(helps.size(), 3u) << "each verb has its own help";
  EXPECT_NE(host({"place", "--help"}).out.find("--opener PROGRAM"), std::string::npos);
  auto gallery = host({"gallery"});
  EXPECT_EQ(gallery.status, 0) << gallery.err;
  EXPECT_NE(gallery.out.find("small, 170 x 170 px"), std::string::npos) << gallery.out;
  EXPECT_EQ(gallery.out.find("systemSmall"), std::string::npos) << gallery.out;
  auto unknown = host({"place", "Nope"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("the widgets are VorelCapture, VorelRecord"), std::string::npos)
      << unknown.err;
  for (const auto& wrong : std::vector<std::vector<std::string>>{
           {"fly"}, {"place"}, {"draw", "VorelCapture"}, {"place", "VorelCapture", "--frob"}}) {
    auto result = host(wrong);
    EXPECT_EQ(result.status, 2) << wrong[0];
    EXPECT_EQ(vorel::testing::linesOf(result.err).size(), 1u) << result.err;
  }
}

}  // namespace
}  // namespace widgethost
