#include "VorelWidgets.h"

namespace vorel::widgets {

using namespace widgetkit;

VorelLinkEntry VorelLinkProvider::placeholder(const Context&) const {
  return {std::chrono::system_clock::now()};
}

void VorelLinkProvider::getSnapshot(
    const Context&, const std::function<void(const VorelLinkEntry&)>& completion) const {
  completion(VorelLinkEntry{std::chrono::system_clock::now()});
}

void VorelLinkProvider::getTimeline(
    const Context&, const std::function<void(const Timeline<VorelLinkEntry>&)>& completion) const {
  // One entry, and never another: the widget's content never changes.
  completion(Timeline<VorelLinkEntry>{{VorelLinkEntry{std::chrono::system_clock::now()}},
                                      ReloadPolicy::never()});
}

View VorelLinkWidgetView::body() const {
  return View::label(label, glyph)
      .labelStyle(LabelStyle::titleAndIcon)
      .font(Font::title3)
      .frame(infinity, infinity, Alignment::leading())
      .widgetURL(url)
      .containerBackground(SystemColor::windowBackground);
}

StaticConfiguration<VorelLinkProvider> VorelCaptureWidget::body() const {
  return StaticConfiguration<VorelLinkProvider>(
             kind, VorelLinkProvider{},
             [](const VorelLinkEntry&) {
               return VorelLinkWidgetView{"Capture", "square.and.pencil", "vorel://capture"}.body();
             })
      .configurationDisplayName("Capture")
      .description("Open Vorel into today's journal, ready to type.")
      .supportedFamilies({WidgetFamily::systemSmall});
}

StaticConfiguration<VorelLinkProvider> VorelRecordWidget::body() const {
  return StaticConfiguration<VorelLinkProvider>(
             kind, VorelLinkProvider{},
             [](const VorelLinkEntry&) {
               return VorelLinkWidgetView{"Record", "mic", "vorel://record"}.body();
             })
      .configurationDisplayName("Record a voice note")
      .description("Open Vorel to record a voice note into today's journal.")
      .supportedFamilies({WidgetFamily::systemSmall});
}

std::vector<HostedWidget> VorelWidgetsBundle::body() const {
  return {VorelCaptureWidget{}.body().hosted(), VorelRecordWidget{}.body().hosted()};
}

}  // namespace vorel::widgets

// The extension's entry point: hands the host its principal type.
extern "C" __attribute__((visibility("default"))) const widgetkit::WidgetBundle*
WidgetExtensionMain() {
  static const vorel::widgets::VorelWidgetsBundle bundle;
  return &bundle;
}
