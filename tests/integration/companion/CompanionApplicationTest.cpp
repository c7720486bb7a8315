// The GTK application object in this process: launch order, re-open, the menu bar
// with its accelerators, closing without quitting, URLs as get-URL events, and Quit.

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <set>

#include "Common/Color.h"
#include "companion/MainMenu.h"
#include "platform/linux/gtk/GtkCompanionApplication.h"
#include "platform/linux/gtk/GtkViewFactory.h"
#include "platform/linux/gtk/GtkWindowAdapter.h"
#include "tests/integration/companion/Snapshot.h"
#include "tests/support/MainLoop.h"
#include "tests/support/QuitWatchdog.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;

constexpr auto deadline = 10s;

class RecordingDelegate final : public ApplicationDelegate {
 public:
  void applicationWillFinishLaunching() override { events.push_back("will-finish"); }
  void applicationDidFinishLaunching() override {
    events.push_back("did-finish");
    if (onDidFinish) onDidFinish();
  }
  bool applicationShouldHandleReopen(bool hasVisibleWindows) override {
    events.push_back(hasVisibleWindows ? "reopen-visible" : "reopen-hidden");
    if (!hasVisibleWindows && window) window->makeKeyAndOrderFront();
    return true;
  }

  std::vector<std::string> events;
  std::function<void()> onDidFinish;
  std::shared_ptr<Window> window;
};

std::string label(GMenuModel* model, int index) {
  gchar* text = nullptr;
  g_menu_model_get_item_attribute(model, index, G_MENU_ATTRIBUTE_LABEL, "s", &text);
  std::string result = text ? text : "";
  g_free(text);
  return result;
}

// Every item label under `model`, sections and submenus included.
void collectLabels(GMenuModel* model, std::vector<std::string>& labels) {
  for (int i = 0; i < g_menu_model_get_n_items(model); ++i) {
    std::string text = label(model, i);
    if (!text.empty()) labels.push_back(text);
    for (const char* link : {G_MENU_LINK_SECTION, G_MENU_LINK_SUBMENU}) {
      if (GMenuModel* child = g_menu_model_get_item_link(model, i, link)) {
        collectLabels(child, labels);
        g_object_unref(child);
      }
    }
  }
}

std::string accel(GtkApplication* application, const char* action) {
  gchar** accels = gtk_application_get_accels_for_action(application, action);
  std::string first = accels && accels[0] ? accels[0] : "";
  g_strfreev(accels);
  return first;
}

TEST(CompanionApplicationTest, launchesShowsMenusReopensTakesUrlsAndQuits) {
  const std::string id = "com.quorvane.safaritest.p" + std::to_string(::getpid());
  GtkCompanionApplication application(id, "Quorvane for Safari", "1.0.0", 0, nullptr);
  GtkApplication* gtkApp = application.gtkApplication();
  auto delegate = std::make_shared<RecordingDelegate>();
  std::vector<std::string> urls;
  application.setEventHandler(
      [&](const AppleEventDescriptor& event, AppleEventDescriptor&) {
        urls.push_back(event.paramString(keyDirectObject).value_or("(none)"));
      },
      kInternetEventClass, kAEGetURL);

  std::unique_ptr<GtkViewFactory> factory;
  std::shared_ptr<View> content;
  int opens = 0;
  std::function<void()> checkRunningApplication;
  auto menu = std::make_shared<MainMenu>(application, "Quorvane for Safari", [&] {
    ++opens;
    delegate->window->makeKeyAndOrderFront();
  });
  application.setMainMenu(menu);
  application.setDelegate(delegate);

  delegate->onDidFinish = [&] {
    factory = std::make_unique<GtkViewFactory>(gtkApp, nullptr);
    content = factory->makeView();
    content->setFrame(Rect{0, 0, 550, 367});
    content->setBackgroundColor(hexColor(0xFFFFFF, 1.0));
    delegate->window = factory->makeWindow(
        Rect{0, 0, 550, 367}, windowStyleTitled | windowStyleClosable | windowStyleMiniaturizable |
                                  windowStyleFullSizeContentView);
    delegate->window->setTitle("Quorvane for Safari");
    delegate->window->setTitleHidden(true);
    delegate->window->setTitlebarAppearsTransparent(true);
    delegate->window->setContentView(content);
    delegate->window->makeKeyAndOrderFront();
    application.addWindowsItem(delegate->window, "Quorvane for Safari", false);
    // The rest runs once the loop is going; whatever happens in it, Quit (Ctrl+Q) ends
    // the run afterwards.
    auto* rest = new std::function<void()>([&] {
      checkRunningApplication();
      g_action_group_activate_action(G_ACTION_GROUP(gtkApp), "quit", nullptr);
    });
    g_idle_add_once(
        [](gpointer data) {
          auto* step = static_cast<std::function<void()>*>(data);
          (*step)();
          delete step;
        },
        rest);
  };
  checkRunningApplication = [&] {
    Window& window = *delegate->window;
    EXPECT_TRUE(runUntil([&] { return window.isVisible(); }, deadline));

    GMenuModel* menubar = gtk_application_get_menubar(gtkApp);
    ASSERT_NE(menubar, nullptr);
    ASSERT_EQ(g_menu_model_get_n_items(menubar), 3);
    EXPECT_EQ(label(menubar, 0), "Quorvane for Safari");
    EXPECT_EQ(label(menubar, 1), "File");
    EXPECT_EQ(label(menubar, 2), "Window");
    std::vector<std::string> labels;
    collectLabels(menubar, labels);
    EXPECT_EQ(labels, (std::vector<std::string>{"Quorvane for Safari", "About Quorvane for Safari",
                                                "Quit Quorvane for Safari", "File", "Open\u2026",
                                                "Close", "Window", "Minimize", "Bring All to Front",
                                                "Quorvane for Safari"}))
        << "the last entry lists the window";
    EXPECT_EQ(accel(gtkApp, "app.quit"), "<Control>q");
    EXPECT_EQ(accel(gtkApp, "app.close-window"), "<Control>w");
    EXPECT_EQ(accel(gtkApp, "app.minimize-window"), "<Control>m");
    EXPECT_EQ(accel(gtkApp, "app.menu-item-0"), "<Control>o");
    EXPECT_EQ(accel(gtkApp, "app.about"), "");
    EXPECT_EQ(accel(gtkApp, "app.bring-all-to-front"), "");

    // The menu bar shares the transparent title bar with the window's buttons.
    GtkWidget* drawn = gtk_window_get_child(dynamic_cast<GtkWindowAdapter&>(window).gtkWindow());
    GdkFrameClock* clock = gtk_widget_get_frame_clock(drawn);
    ASSERT_NE(clock, nullptr);
    gint64 frame = gdk_frame_clock_get_frame_counter(clock);
    EXPECT_TRUE(runUntil(
        [&] {
          gtk_widget_queue_draw(drawn);
          return gdk_frame_clock_get_frame_counter(clock) >= frame + 2;
        },
        deadline));
    Shot shot(drawn);
    ASSERT_TRUE(shot.valid());
    EXPECT_TRUE(shot.save(screenshotPath("menu-bar")));
    EXPECT_TRUE(near(shot.at(540, 360), 0xFFFFFF));
    EXPECT_TRUE(near(shot.at(300, 8), 0xFFFFFF)) << "the title bar is transparent";

    // Close (Ctrl+W) hides the window and the application keeps running.
    g_action_group_activate_action(G_ACTION_GROUP(gtkApp), "close-window", nullptr);
    EXPECT_TRUE(runUntil([&] { return !window.isVisible(); }, deadline));
    EXPECT_NE(gtk_application_get_windows(gtkApp), nullptr) << "hidden, not destroyed";
    // Starting the application again re-opens: the same window comes back.
    g_application_activate(G_APPLICATION(gtkApp));
    EXPECT_TRUE(runUntil([&] { return window.isVisible(); }, deadline));
    // So does Open… (Ctrl+O) after another close.
    window.performClose();
    EXPECT_TRUE(runUntil([&] { return !window.isVisible(); }, deadline));
    g_action_group_activate_action(G_ACTION_GROUP(gtkApp), "menu-item-0", nullptr);
    EXPECT_TRUE(runUntil([&] { return window.isVisible(); }, deadline));
    EXPECT_EQ(opens, 1);

    GFile* file = g_file_new_for_uri("quorvane.extension://oauth?code=A&code_challenge=B");
    g_application_open(G_APPLICATION(gtkApp), &file, 1, "");
    g_object_unref(file);
  };
  QuitWatchdog watchdog(G_APPLICATION(gtkApp), 30s);
  EXPECT_EQ(application.run(), 0);

  EXPECT_EQ(delegate->events,
            (std::vector<std::string>{"will-finish", "did-finish", "reopen-hidden"}));
  EXPECT_EQ(urls, (std::vector<std::string>{"quorvane.extension://oauth?code=A&code_challenge=B"}));
}

}  // namespace
}  // namespace qv::test
