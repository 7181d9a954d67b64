// A settings portal for tests: owns org.freedesktop.portal.Desktop on the session bus and answers
// Read and ReadOne for org.freedesktop.appearance color-scheme. Each line on standard input
// ("dark", "light" or "none") changes the scheme and emits SettingChanged. Says "ready" on
// standard output once it owns its name.
// Usage: fake_portal dark|light|none
#include <gio/gio.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* introspection = R"(<node>
  <interface name="org.freedesktop.portal.Settings">
    <method name="Read"><arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="v" direction="out"/></method>
    <method name="ReadOne"><arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="v" direction="out"/></method>
    <signal name="SettingChanged"><arg type="s"/><arg type="s"/><arg type="v"/></signal>
  </interface>
</node>)";

guint32 scheme = 0;
GDBusConnection* bus = nullptr;

guint32 schemeNamed(const std::string& name) {
  return name == "dark" ? 1 : name == "light" ? 2 : 0;
}

void called(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
            GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
  const gchar* space = nullptr;
  const gchar* key = nullptr;
  g_variant_get(parameters, "(&s&s)", &space, &key);
  if (std::strcmp(space, "org.freedesktop.appearance") != 0 ||
      std::strcmp(key, "color-scheme") != 0) {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.portal.Error.NotFound",
                                               "no such setting");
    return;
  }
  GVariant* value = g_variant_new_uint32(scheme);
  // Read answers with the value wrapped once more, as the older portals do.
  if (std::strcmp(method, "Read") == 0) value = g_variant_new_variant(value);
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value));
}

gboolean lineRead(GIOChannel* channel, GIOCondition, gpointer loop) {
  gchar* line = nullptr;
  if (g_io_channel_read_line(channel, &line, nullptr, nullptr, nullptr) != G_IO_STATUS_NORMAL) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
  }
  scheme = schemeNamed(g_strstrip(line));
  g_free(line);
  g_dbus_connection_emit_signal(bus, nullptr, "/org/freedesktop/portal/desktop",
                                "org.freedesktop.portal.Settings", "SettingChanged",
                                g_variant_new("(ssv)", "org.freedesktop.appearance", "color-scheme",
                                              g_variant_new_uint32(scheme)),
                                nullptr);
  g_dbus_connection_flush_sync(bus, nullptr, nullptr);
  std::printf("changed %u\n", scheme);
  std::fflush(stdout);
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
  scheme = schemeNamed(argc > 1 ? argv[1] : "none");
  GError* error = nullptr;
  bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) {
    std::fprintf(stderr, "fake_portal: no session bus: %s\n", error->message);
    return 1;
  }
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(introspection, nullptr);
  GDBusInterfaceVTable vtable{called, nullptr, nullptr, {}};
  g_dbus_connection_register_object(bus, "/org/freedesktop/portal/desktop", node->interfaces[0],
                                    &vtable, nullptr, nullptr, nullptr);
  GVariant* owned = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
      g_variant_new("(su)", "org.freedesktop.portal.Desktop", 4u), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
  if (!owned) {
    std::fprintf(stderr, "fake_portal: cannot own the portal's name: %s\n", error->message);
    return 1;
  }
  g_variant_unref(owned);
  std::printf("ready\n");
  std::fflush(stdout);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  GIOChannel* input = g_io_channel_unix_new(0);
  g_io_add_watch(input, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP), lineRead, loop);
  g_main_loop_run(loop);
  return 0;
}
