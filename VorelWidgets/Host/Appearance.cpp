#include "Appearance.h"

#include <gtk/gtk.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace widgethost {
namespace {

constexpr const char* portalName = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* settingsInterface = "org.freedesktop.portal.Settings";
constexpr const char* appearance = "org.freedesktop.appearance";
constexpr const char* colorScheme = "color-scheme";
constexpr int answerTimeoutMs = 3000;

// Whether a session bus is there to ask, without starting one (GIO would otherwise try
// dbus-launch on X11).
bool sessionBusThere() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::error_code error;
  return runtime && *runtime && std::filesystem::exists(std::string(runtime) + "/bus", error);
}

}  // namespace

PortalAppearance::PortalAppearance() : cancellable_(g_cancellable_new()) {
  g_object_get(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", &themeDark_,
               nullptr);
  if (!sessionBusThere()) return;
  g_dbus_proxy_new_for_bus(G_BUS_TYPE_SESSION, G_DBUS_PROXY_FLAGS_DO_NOT_LOAD_PROPERTIES, nullptr,
                           portalName, portalPath, settingsInterface, cancellable_, created, this);
}

PortalAppearance::~PortalAppearance() {
  // Answers still to come find the cancellable cancelled and touch nothing of this.
  g_cancellable_cancel(cancellable_);
  if (proxy_) {
    g_signal_handlers_disconnect_by_data(proxy_, this);
    g_object_unref(proxy_);
  }
  g_object_unref(cancellable_);
}

void PortalAppearance::created(GObject*, GAsyncResult* result, gpointer self) {
  GDBusProxy* proxy = g_dbus_proxy_new_for_bus_finish(result, nullptr);
  if (!proxy) return;  // no bus: GtkSettings decides (and this may be gone, when cancelled)
  auto* appearance = static_cast<PortalAppearance*>(self);
  if (g_cancellable_is_cancelled(appearance->cancellable_)) {
    g_object_unref(proxy);
    return;
  }
  appearance->proxy_ = proxy;
  g_signal_connect(proxy, "g-signal", G_CALLBACK(signalled), appearance);
  appearance->read("ReadOne");
}

void PortalAppearance::read(const char* method) {
  g_dbus_proxy_call(proxy_, method, g_variant_new("(ss)", appearance, colorScheme),
                    G_DBUS_CALL_FLAGS_NONE, answerTimeoutMs, cancellable_, answered, this);
}

void PortalAppearance::answered(GObject* proxy, GAsyncResult* result, gpointer self) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_proxy_call_finish(G_DBUS_PROXY(proxy), result, &error);
  if (!reply) {
    bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    g_error_free(error);
    if (cancelled) return;  // this is gone
    auto* appearance = static_cast<PortalAppearance*>(self);
    if (!appearance->triedRead_) {  // a portal older than ReadOne
      appearance->triedRead_ = true;
      appearance->read("Read");
    }
    return;
  }
  GVariant* value = nullptr;
  g_variant_get(reply, "(v)", &value);
  static_cast<PortalAppearance*>(self)->apply(value);
  g_variant_unref(value);
  g_variant_unref(reply);
}

void PortalAppearance::signalled(GDBusProxy*, const gchar*, const gchar* name, GVariant* parameters,
                                 gpointer self) {
  if (std::strcmp(name, "SettingChanged") != 0 ||
      !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ssv)"))) {
    return;
  }
  const gchar* space = nullptr;
  const gchar* key = nullptr;
  GVariant* value = nullptr;
  g_variant_get(parameters, "(&s&sv)", &space, &key, &value);
  if (std::strcmp(space, appearance) == 0 && std::strcmp(key, colorScheme) == 0) {
    static_cast<PortalAppearance*>(self)->apply(value);
  }
  g_variant_unref(value);
}

void PortalAppearance::apply(GVariant* value) {
  // Read wraps the value in a variant more than ReadOne does.
  GVariant* inner = g_variant_ref(value);
  while (g_variant_is_of_type(inner, G_VARIANT_TYPE_VARIANT)) {
    GVariant* next = g_variant_get_variant(inner);
    g_variant_unref(inner);
    inner = next;
  }
  if (g_variant_is_of_type(inner, G_VARIANT_TYPE_UINT32)) {
    // 1: prefer dark; 2: prefer light; 0 (or anything else): no preference.
    guint32 scheme = g_variant_get_uint32(inner);
    gboolean dark = scheme == 1 ? TRUE : scheme == 2 ? FALSE : themeDark_;
    g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", dark, nullptr);
  }
  g_variant_unref(inner);
}

}  // namespace widgethost
