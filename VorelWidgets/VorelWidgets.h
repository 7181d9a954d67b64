// The Vorel widgets: two small links into today's journal, one ready to type, one ready to
// record a voice note.
#pragma once

#include "WidgetKit/WidgetKit.h"

namespace vorel::widgets {

struct VorelLinkEntry {
  widgetkit::Date date;
};

struct VorelLinkProvider {
  using Entry = VorelLinkEntry;
  VorelLinkEntry placeholder(const widgetkit::Context& context) const;
  void getSnapshot(const widgetkit::Context& context,
                   const std::function<void(const VorelLinkEntry&)>& completion) const;
  void getTimeline(
      const widgetkit::Context& context,
      const std::function<void(const widgetkit::Timeline<VorelLinkEntry>&)>& completion) const;
};

struct VorelLinkWidgetView {
  widgetkit::LocalizedStringKey label;
  std::string glyph;
  std::string url;
  widgetkit::View body() const;
};

struct VorelCaptureWidget {
  const std::string kind = "VorelCapture";
  widgetkit::StaticConfiguration<VorelLinkProvider> body() const;
};

struct VorelRecordWidget {
  const std::string kind = "VorelRecord";
  widgetkit::StaticConfiguration<VorelLinkProvider> body() const;
};

class VorelWidgetsBundle final : public widgetkit::WidgetBundle {
 public:
  std::vector<widgetkit::HostedWidget> body() const override;
};

}  // namespace vorel::widgets
