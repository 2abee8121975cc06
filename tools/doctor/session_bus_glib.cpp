#include <gio/gio.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "session_bus.h"

namespace karvo::doctor {
namespace {

constexpr guint kTimeoutMs = 3000;

struct GObjectDeleter {
  void operator()(gpointer p) const { g_object_unref(p); }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectDeleter>;

struct GErrorPtr {
  GError* e = nullptr;
  ~GErrorPtr() {
    if (e != nullptr) g_error_free(e);
  }
  std::string text() const { return e != nullptr && e->message != nullptr ? e->message : "unknown error"; }
};

// The session bus's address as the user's programs find it; "" when there is none. GLib would fall
// back to "autolaunch:", which starts a bus of its own: an answer from that bus would mean nothing.
std::string session_bus_address(std::string& why) {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && *address != '\0') return address;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime == '/') {
    const std::string socket = std::string(runtime) + "/bus";
    struct stat st{};
    if (::stat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
      gchar* escaped = g_dbus_address_escape_value(socket.c_str());
      std::string out = std::string("unix:path=") + escaped;
      g_free(escaped);
      return out;
    }
  }
  why = "DBUS_SESSION_BUS_ADDRESS is not set and there is no socket $XDG_RUNTIME_DIR/bus";
  return {};
}

// Connecting has no timeout of its own: a socket whose listener never answers would hold the doctor.
struct Connecting {
  GMainContext* context;
  GDBusConnection* connection = nullptr;
  GError* error = nullptr;
  bool done = false;
  bool timed_out = false;
};

void on_connected(GObject*, GAsyncResult* result, gpointer data) {
  auto* c = static_cast<Connecting*>(data);
  c->connection = g_dbus_connection_new_for_address_finish(result, &c->error);
  c->done = true;
}

gboolean on_timeout(gpointer data) {
  static_cast<Connecting*>(data)->timed_out = true;
  return G_SOURCE_REMOVE;
}

GPtr<GDBusConnection> connect_to(const std::string& address, std::string& why) {
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GPtr<GCancellable> cancel(g_cancellable_new());
  Connecting c{context};
  g_dbus_connection_new_for_address(address.c_str(),
                                    static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                                      G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                                    nullptr, cancel.get(), on_connected, &c);
  GSource* timer = g_timeout_source_new(kTimeoutMs);
  g_source_set_callback(timer, on_timeout, &c, nullptr);
  g_source_attach(timer, context);
  while (!c.done) {
    if (c.timed_out) g_cancellable_cancel(cancel.get());  // the callback still comes, with an error
    g_main_context_iteration(context, TRUE);
  }
  g_source_destroy(timer);
  g_source_unref(timer);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  if (c.connection == nullptr) {
    why = c.timed_out ? "the bus at " + address + " did not answer within 3 s"
                      : "cannot connect to the bus at " + address + ": " +
                            (c.error != nullptr ? std::string(c.error->message) : std::string("unknown error"));
  }
  if (c.error != nullptr) g_error_free(c.error);
  return GPtr<GDBusConnection>(c.connection);
}

// A method of the bus itself; nothing on failure (`why` says what failed).
GVariant* call_bus(GDBusConnection* bus, const char* method, GVariant* args, const char* reply, std::string& why) {
  GErrorPtr error;
  GVariant* out = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", method, args, G_VARIANT_TYPE(reply),
                                              G_DBUS_CALL_FLAGS_NO_AUTO_START, kTimeoutMs, nullptr, &error.e);
  if (out == nullptr) why = std::string("the session bus did not answer ") + method + ": " + error.text();
  return out;
}

}  // namespace

BusName ask_session_bus(std::string_view name) {
  BusName out;
  const std::string address = session_bus_address(out.why);
  if (address.empty()) return out;
  const GPtr<GDBusConnection> bus = connect_to(address, out.why);
  if (!bus) return out;
  const std::string n(name);
  GVariant* owner = call_bus(bus.get(), "NameHasOwner", g_variant_new("(s)", n.c_str()), "(b)", out.why);
  if (owner == nullptr) return out;
  gboolean has_owner = FALSE;
  g_variant_get(owner, "(b)", &has_owner);
  g_variant_unref(owner);
  GVariant* names = call_bus(bus.get(), "ListActivatableNames", nullptr, "(as)", out.why);
  if (names == nullptr) return out;
  GVariantIter* it = nullptr;
  g_variant_get(names, "(as)", &it);
  const gchar* each = nullptr;
  while (g_variant_iter_next(it, "&s", &each)) {
    if (n == each) out.activatable = true;
  }
  g_variant_iter_free(it);
  g_variant_unref(names);
  out.asked = true;
  out.has_owner = has_owner != FALSE;
  out.why.clear();
  return out;
}

}  // namespace karvo::doctor
