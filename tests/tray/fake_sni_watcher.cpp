// A StatusNotifierItem watcher for the desktop test: owns the watcher's name on the session
// bus, accepts registrations and prints each as "registered SENDER PATH" on stdout, so the test
// can then ask the item for its icon.
#include <gio/gio.h>

#include <cstdio>

namespace {

constexpr char kIntrospection[] =
    "<node><interface name='org.kde.StatusNotifierWatcher'>"
    "<method name='RegisterStatusNotifierItem'><arg type='s' direction='in'/></method>"
    "<method name='RegisterStatusNotifierHost'><arg type='s' direction='in'/></method>"
    "<property name='RegisteredStatusNotifierItems' type='as' access='read'/>"
    "<property name='IsStatusNotifierHostRegistered' type='b' access='read'/>"
    "<property name='ProtocolVersion' type='i' access='read'/>"
    "</interface></node>";

void on_call(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar* method,
             GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
  if (g_strcmp0(method, "RegisterStatusNotifierItem") == 0) {
    const gchar* service = nullptr;
    g_variant_get(parameters, "(&s)", &service);
    // An item may name itself by its path (on the sender) or by a bus name.
    std::printf("registered %s %s\n", sender, service[0] == '/' ? service : "/StatusNotifierItem");
    std::fflush(stdout);
  }
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

GVariant* on_property(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* name,
                      GError**, gpointer) {
  if (g_strcmp0(name, "IsStatusNotifierHostRegistered") == 0) return g_variant_new_boolean(TRUE);
  if (g_strcmp0(name, "ProtocolVersion") == 0) return g_variant_new_int32(0);
  return g_variant_new_strv(nullptr, 0);
}

}  // namespace

int main() {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) return 1;
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, &error);
  static const GDBusInterfaceVTable vtable = {on_call, on_property, nullptr, {}};
  g_dbus_connection_register_object(bus, "/StatusNotifierWatcher", node->interfaces[0], &vtable,
                                    nullptr, nullptr, &error);
  g_bus_own_name_on_connection(bus, "org.kde.StatusNotifierWatcher", G_BUS_NAME_OWNER_FLAGS_NONE,
                               nullptr, nullptr, nullptr, nullptr);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  std::printf("watching\n");
  std::fflush(stdout);
  g_main_loop_run(loop);
  return 0;
}
