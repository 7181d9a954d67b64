// A small widget kit: widgets made of a static configuration (kind, timeline provider, content
// builder, display name, description, families), timelines with a reload policy, and a
// declarative view of plain values that a host draws.
#pragma once

#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace widgetkit {

using Date = std::chrono::system_clock::time_point;

// A text key that a translation may replace; with none, the key is the text shown.
struct LocalizedStringKey {
  std::string key;
  LocalizedStringKey(const char* text) : key(text) {}  // NOLINT: written as a literal, like text
  explicit LocalizedStringKey(std::string text) : key(std::move(text)) {}
  bool operator==(const LocalizedStringKey&) const = default;
};

enum class WidgetFamily { systemSmall, systemMedium, systemLarge, systemExtraLarge };

inline const char* familyName(WidgetFamily family) {
  switch (family) {
    case WidgetFamily::systemSmall:
      return "systemSmall";
    case WidgetFamily::systemMedium:
      return "systemMedium";
    case WidgetFamily::systemLarge:
      return "systemLarge";
    case WidgetFamily::systemExtraLarge:
      return "systemExtraLarge";
  }
  return "";
}

// What the host tells a provider about where the widget is shown.
struct Context {
  WidgetFamily family = WidgetFamily::systemSmall;
  bool isPreview = false;
};

struct ReloadPolicy {
  enum class Kind { atEnd, never, after };
  Kind kind = Kind::atEnd;
  Date date{};
  static ReloadPolicy atEnd() { return {Kind::atEnd, {}}; }
  static ReloadPolicy never() { return {Kind::never, {}}; }
  static ReloadPolicy after(Date date) { return {Kind::after, date}; }
  bool operator==(const ReloadPolicy&) const = default;
};

template <class Entry>
struct Timeline {
  std::vector<Entry> entries;
  ReloadPolicy policy;
};

enum class Font { body, headline, title, title2, title3 };
enum class LabelStyle { automatic, titleAndIcon, titleOnly, iconOnly };
enum class SystemColor { windowBackground, label };
enum class HorizontalAlignment { leading, center, trailing };
enum class VerticalAlignment { top, center, bottom };

struct Alignment {
  HorizontalAlignment horizontal = HorizontalAlignment::center;
  VerticalAlignment vertical = VerticalAlignment::center;
  static constexpr Alignment leading() {
    return {HorizontalAlignment::leading, VerticalAlignment::center};
  }
  bool operator==(const Alignment&) const = default;
};

inline constexpr double infinity = std::numeric_limits<double>::infinity();

// A declarative view: a label wrapped in modifiers, each a plain value. A host reads it from the
// outside in.
struct View {
  enum class Kind { label, labelStyle, font, frame, widgetURL, containerBackground };

  Kind kind = Kind::label;
  LocalizedStringKey title{""};  // label
  std::string systemImage;       // label: a symbol name
  LabelStyle style = LabelStyle::automatic;
  Font fontValue = Font::body;
  double maxWidth = 0, maxHeight = 0;  // frame
  Alignment alignment;                 // frame
  std::string url;                     // widgetURL
  SystemColor color = SystemColor::windowBackground;
  std::shared_ptr<const View> content;  // what a modifier applies to

  static View label(LocalizedStringKey title, std::string systemImage) {
    View view;
    view.title = std::move(title);
    view.systemImage = std::move(systemImage);
    return view;
  }
  View labelStyle(LabelStyle value) const {
    return wrap(Kind::labelStyle, [&](View& v) { v.style = value; });
  }
  View font(Font value) const {
    return wrap(Kind::font, [&](View& v) { v.fontValue = value; });
  }
  View frame(double width, double height, Alignment where) const {
    return wrap(Kind::frame, [&](View& v) {
      v.maxWidth = width;
      v.maxHeight = height;
      v.alignment = where;
    });
  }
  View widgetURL(std::string link) const {
    return wrap(Kind::widgetURL, [&](View& v) { v.url = link; });
  }
  View containerBackground(SystemColor value) const {
    return wrap(Kind::containerBackground, [&](View& v) { v.color = value; });
  }

  // The first view of a kind, from the outside in.
  const View* find(Kind wanted) const {
    for (const View* v = this; v; v = v->content.get()) {
      if (v->kind == wanted) return v;
    }
    return nullptr;
  }

 private:
  template <class Set>
  View wrap(Kind modifier, Set set) const {
    View outer;
    outer.kind = modifier;
    set(outer);
    outer.content = std::make_shared<const View>(*this);
    return outer;
  }
};

// A widget as the host sees it, whatever its own entry type: its entries come with their views.
struct HostedEntry {
  Date date;
  View view;
};

struct HostedWidget {
  std::string kind;
  LocalizedStringKey displayName{""};
  LocalizedStringKey description{""};
  std::vector<WidgetFamily> families;
  std::function<HostedEntry(const Context&)> placeholder;
  std::function<void(const Context&, std::function<void(HostedEntry)>)> snapshot;
  std::function<void(const Context&, std::function<void(Timeline<HostedEntry>)>)> timeline;
};

// A configuration without options the user can set.
template <class Provider>
struct StaticConfiguration {
  using Entry = typename Provider::Entry;

  std::string kind;
  Provider provider;
  std::function<View(const Entry&)> content;
  LocalizedStringKey displayName{""};
  LocalizedStringKey descriptionText{""};
  std::vector<WidgetFamily> families{WidgetFamily::systemSmall, WidgetFamily::systemMedium,
                                     WidgetFamily::systemLarge};

  StaticConfiguration(std::string kind, Provider provider,
                      std::function<View(const Entry&)> content)
      : kind(std::move(kind)), provider(std::move(provider)), content(std::move(content)) {}

  StaticConfiguration configurationDisplayName(LocalizedStringKey name) const {
    auto copy = *this;
    copy.displayName = std::move(name);
    return copy;
  }
  StaticConfiguration description(LocalizedStringKey text) const {
    auto copy = *this;
    copy.descriptionText = std::move(text);
    return copy;
  }
  StaticConfiguration supportedFamilies(std::vector<WidgetFamily> list) const {
    auto copy = *this;
    copy.families = std::move(list);
    return copy;
  }

  HostedWidget hosted() const {
    auto self = std::make_shared<const StaticConfiguration>(*this);
    auto host = [self](const Entry& entry) {
      return HostedEntry{entry.date, self->content(entry)};
    };
    return HostedWidget{
        kind,
        displayName,
        descriptionText,
        families,
        [self, host](const Context& context) { return host(self->provider.placeholder(context)); },
        [self, host](const Context& context, std::function<void(HostedEntry)> done) {
          self->provider.getSnapshot(context, [&](const Entry& entry) { done(host(entry)); });
        },
        [self, host](const Context& context, std::function<void(Timeline<HostedEntry>)> done) {
          self->provider.getTimeline(context, [&](const Timeline<Entry>& timeline) {
            Timeline<HostedEntry> hostedTimeline{{}, timeline.policy};
            for (const auto& entry : timeline.entries)
              hostedTimeline.entries.push_back(host(entry));
            done(hostedTimeline);
          });
        }};
  }
};

// An extension's principal type: the widgets it offers, in order.
class WidgetBundle {
 public:
  virtual ~WidgetBundle() = default;
  virtual std::vector<HostedWidget> body() const = 0;
};

// The symbol an extension exports; the host calls it to get the principal type.
inline constexpr const char* extensionMainSymbol = "WidgetExtensionMain";
using ExtensionMain = const WidgetBundle* (*)();

}  // namespace widgetkit
