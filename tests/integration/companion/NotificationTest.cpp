// The reminder as the desktop shows it: GNotification through the running application
// to a notification server (python3-dbusmock's notification daemon on a private session
// bus), and the server's "Open" button coming back to the notification center's
// delegate.

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "companion/EnableExtensionNotification.h"
#include "platform/linux/gtk/GtkCompanionApplication.h"
#include "platform/linux/gtk/GtkNotificationCenter.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/MainLoop.h"
#include "tests/support/PrivateSessionBus.h"
#include "tests/support/QuitWatchdog.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;

constexpr auto deadline = 20s;

struct NotifyCall {
  std::string summary;
  std::string body;
  std::vector<std::string> actions;  // key, label, key, label, ...
};

class RecordingNotificationDelegate final : public NotificationCenterDelegate {
 public:
  bool shouldPresent(const UserNotification&) override { return true; }
  void didActivate(const UserNotification& notification) override {
    activated.push_back(notification);
  }
  std::vector<UserNotification> activated;
};

class LaunchOnly final : public ApplicationDelegate {
 public:
  void applicationWillFinishLaunching() override {}
  void applicationDidFinishLaunching() override { run(); }
  bool applicationShouldHandleReopen(bool) override { return true; }
  std::function<void()> run;
};

GVariant* callMock(GDBusConnection* bus, const char* method, GVariant* args) {
  return g_dbus_connection_call_sync(bus, "org.freedesktop.Notifications",
                                     "/org/freedesktop/Notifications", "org.freedesktop.DBus.Mock",
                                     method, args, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
                                     nullptr);
}

// The Notify calls the server has received so far.
std::vector<NotifyCall> notifyCalls(GDBusConnection* bus) {
  std::vector<NotifyCall> found;
  GVariant* reply = callMock(bus, "GetCalls", nullptr);
  if (!reply) return found;
  GVariant* calls = g_variant_get_child_value(reply, 0);
  for (gsize i = 0; i < g_variant_n_children(calls); ++i) {
    guint64 time = 0;
    const char* method = nullptr;
    GVariant* args = nullptr;
    g_variant_get_child(calls, i, "(t&s@av)", &time, &method, &args);
    if (std::string(method) == "Notify" && g_variant_n_children(args) >= 6) {
      auto text = [&](gsize index) {
        GVariant* boxed = g_variant_get_child_value(args, index);
        GVariant* value = g_variant_get_variant(boxed);
        std::string result = g_variant_get_string(value, nullptr);
        g_variant_unref(value);
        g_variant_unref(boxed);
        return result;
      };
      NotifyCall call{text(3), text(4), {}};
      GVariant* boxed = g_variant_get_child_value(args, 5);
      GVariant* actions = g_variant_get_variant(boxed);
      for (gsize a = 0; a < g_variant_n_children(actions); ++a) {
        const char* item = nullptr;
        g_variant_get_child(actions, a, "&s", &item);
        call.actions.push_back(item);
      }
      g_variant_unref(actions);
      g_variant_unref(boxed);
      found.push_back(call);
    }
    g_variant_unref(args);
  }
  g_variant_unref(calls);
  g_variant_unref(reply);
  return found;
}

bool hasOwner(GDBusConnection* bus, const char* name) {
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
      nullptr);
  if (!reply) return false;
  gboolean owned = FALSE;
  g_variant_get(reply, "(b)", &owned);
  g_variant_unref(reply);
  return owned;
}

TEST(NotificationTest, theReminderReachesTheServerAndItsOpenButtonComesBack) {
  PrivateSessionBus privateBus;
  ASSERT_FALSE(privateBus.address().empty());
  // Before anything in this process opens the session bus.
  ScopedEnv busAddress("DBUS_SESSION_BUS_ADDRESS", privateBus.address());
  ScopedEnv noAccessibility("GTK_A11Y", "none");
  TempDir data;
  ScopedEnv dataHome("XDG_DATA_HOME", data.path());
  auto server =
      ChildProcess::start({"/usr/bin/python3", "-m", "dbusmock", "--template",
                           "notification_daemon", "-p", R"({"capabilities": "body actions"})"});
  ASSERT_TRUE(server);
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  ASSERT_NE(bus, nullptr);
  ASSERT_TRUE(waitUntil([&] { return hasOwner(bus, "org.freedesktop.Notifications"); }, deadline))
      << "no notification server (python3-dbusmock)";

  const std::string id = "com.quorvane.safaritest.n" + std::to_string(::getpid());
  GtkCompanionApplication application(id, "Quorvane for Safari", "1.0.0", 0, nullptr);
  GApplication* gApplication = G_APPLICATION(application.gtkApplication());
  auto center = std::make_shared<GtkNotificationCenter>(gApplication);
  auto recorder = std::make_shared<RecordingNotificationDelegate>();
  center->setDelegate(recorder);
  auto launch = std::make_shared<LaunchOnly>();
  application.setDelegate(launch);

  launch->run = [&] {
    g_idle_add_once(
        [](gpointer data) {
          (*static_cast<std::function<void()>*>(data))();
          delete static_cast<std::function<void()>*>(data);
        },
        new std::function<void()>([&] {
          center->deliver(EnableExtensionNotification::reminder());
          std::vector<NotifyCall> calls;
          EXPECT_TRUE(runUntil(
              [&] {
                calls = notifyCalls(bus);
                return !calls.empty();
              },
              deadline));
          if (calls.size() == 1) {
            EXPECT_EQ(calls[0].summary, "Quorvane is disabled");
            EXPECT_EQ(calls[0].body, "Click Open to enable it in Safari settings");
            // The "Open" button's key comes right before its label.
            std::string openKey;
            for (std::size_t i = 1; i < calls[0].actions.size(); i += 2) {
              if (calls[0].actions[i] == "Open") openKey = calls[0].actions[i - 1];
            }
            EXPECT_FALSE(openKey.empty()) << "no Open button";
            GVariant* args[] = {g_variant_new_variant(g_variant_new_uint32(1)),
                                g_variant_new_variant(g_variant_new_string(openKey.c_str()))};
            GVariant* reply =
                callMock(bus, "EmitSignal",
                         g_variant_new("(sss@av)", "org.freedesktop.Notifications", "ActionInvoked",
                                       "us", g_variant_new_array(G_VARIANT_TYPE_VARIANT, args, 2)));
            EXPECT_NE(reply, nullptr);
            if (reply) g_variant_unref(reply);
            EXPECT_TRUE(runUntil([&] { return !recorder->activated.empty(); }, deadline));
          } else {
            ADD_FAILURE() << "expected one notification, got " << calls.size();
          }
          g_application_quit(gApplication);
        }));
  };
  QuitWatchdog watchdog(gApplication, 60s);
  application.run();

  ASSERT_EQ(recorder->activated.size(), 1u);
  EXPECT_EQ(recorder->activated[0].identifier, "enable-extension");
  EXPECT_EQ(recorder->activated[0].title, "Quorvane is disabled");
  g_object_unref(bus);
}

}  // namespace
}  // namespace qv::test
