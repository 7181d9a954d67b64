// The desktop's light or dark preference from the settings portal (org.freedesktop.appearance
// color-scheme, which GNOME and KDE set), followed while the widget runs. It is handed to GTK as
// its prefer-dark setting, so the theme's own dark colours follow; where there is no portal, or
// it states no preference, GtkSettings decides as before.
#pragma once

#include <gio/gio.h>

namespace widgethost {

class PortalAppearance {
 public:
  // Starts following, on the main loop; without a session bus it does nothing.
  PortalAppearance();
  ~PortalAppearance();
  PortalAppearance(const PortalAppearance&) = delete;
  PortalAppearance& operator=(const PortalAppearance&) = delete;

 private:
  static void created(GObject*, GAsyncResult* result, gpointer self);
  static void answered(GObject* proxy, GAsyncResult* result, gpointer self);
  static void signalled(GDBusProxy*, const gchar*, const gchar* name, GVariant* parameters,
                        gpointer self);
  void read(const char* method);
  void apply(GVariant* value);

  GCancellable* cancellable_;
  GDBusProxy* proxy_ = nullptr;
  gboolean themeDark_ = FALSE;  // GtkSettings' own preference, for "no preference"
  bool triedRead_ = false;      // ReadOne failed, Read (older portals) was asked
};

}  // namespace widgethost
