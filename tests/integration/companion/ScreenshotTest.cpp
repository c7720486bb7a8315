// The companion's window drawn by GTK for real: both panels in the light and the dark
// appearance, switched while the window is open. The test saves what it sees to
// build/screenshots/ and checks the colours it finds against the palette.

#include <adwaita.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "companion/EnableExtensionNotification.h"
#include "companion/Env.h"
#include "companion/MainWindow.h"
#include "platform/linux/common/LinuxPlatform.h"
#include "platform/linux/gtk/AdwAlert.h"
#include "platform/linux/gtk/AdwAppearance.h"
#include "platform/linux/gtk/GtkViewFactory.h"
#include "platform/linux/gtk/GtkWindowAdapter.h"
#include "platform/linux/net/SoupCookieParser.h"
#include "platform/linux/system/LinuxBundle.h"
#include "platform/testing/FakeApplication.h"
#include "platform/testing/FakeNotificationCenter.h"
#include "platform/testing/FakeSafariExtensionManager.h"
#include "tests/integration/companion/Snapshot.h"
#include "tests/support/MainLoop.h"
#include "tests/support/TempDir.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;

constexpr auto deadline = 15s;

class ScreenshotTest : public ::testing::Test {
 protected:
  ScreenshotTest() : safari(std::make_shared<testing::FakeSafariExtensionManager>()) {}

  void SetUp() override {
    ASSERT_TRUE(adw_init_done());
    setDark(false);
    auto bundle = std::make_shared<LinuxBundle>(QV_APP_DIR);
    auto application = std::make_shared<testing::FakeApplication>();
    env = std::make_unique<Env>(
        makeLinuxPlatform(bundle),
        CompanionPlatform{application, application, safari, std::make_shared<AdwAlert>(nullptr),
                          std::make_shared<testing::FakeNotificationCenter>(),
                          std::make_shared<AdwAppearance>(),
                          std::make_shared<GtkViewFactory>(nullptr, bundle),
                          std::make_shared<SoupCookieParser>()});
    // Signed in, so that first sight of the enabled extension asks for no login tab.
    env->sharedData->userInfo.setValue(UserInfo{"user", false, false, "container"});
    notification = EnableExtensionNotification::create(
        *env->felog, env->appInfo.extensionBundleIdentifier, safari,
        env->companion.notificationCenter, env->companion.alert, env->platform.mainQueue);
  }

  static bool adw_init_done() {
    adw_init();
    return gtk_is_initialized();
  }

  static void setDark(bool dark) {
    adw_style_manager_set_color_scheme(
        adw_style_manager_get_default(),
        dark ? ADW_COLOR_SCHEME_FORCE_DARK : ADW_COLOR_SCHEME_FORCE_LIGHT);
  }

  // Waits until `done` holds and the window has drawn two frames since.
  bool settle(GtkWidget* window, const std::function<bool()>& done) {
    if (!runUntil(done, deadline)) return false;
    GdkFrameClock* clock = gtk_widget_get_frame_clock(window);
    if (!clock) return false;
    gint64 start = gdk_frame_clock_get_frame_counter(clock);
    gtk_widget_queue_draw(window);
    return runUntil(
        [&] {
          gtk_widget_queue_draw(window);
          return gdk_frame_clock_get_frame_counter(clock) >= start + 2;
        },
        deadline);
  }

  PrivateXdgHomes homes;
  std::shared_ptr<testing::FakeSafariExtensionManager> safari;
  std::unique_ptr<Env> env;
  std::shared_ptr<EnableExtensionNotification> notification;
};

TEST_F(ScreenshotTest, bothPanelsInLightAndDark) {
  safari->setState(SafariExtensionState{true});
  MainWindow main(*env, notification);
  main.window()->makeKeyAndOrderFront();
  auto* adapter = dynamic_cast<GtkWindowAdapter*>(main.window().get());
  ASSERT_NE(adapter, nullptr);
  GtkWidget* window = GTK_WIDGET(adapter->gtkWindow());
  GtkWidget* content = gtk_window_get_child(GTK_WINDOW(window));
  EnableExtensionView& screen = *main.contentViewController().view();

  struct Case {
    const char* name;
    bool dark;
    bool enabled;
    std::uint32_t panel;
    std::uint32_t button;
  };
  for (const Case& step : {Case{"light-all-set", false, true, 0xFFFFFF, 0x196DEF},
                           Case{"light-enable", false, false, 0xFFFFFF, 0x196DEF},
                           Case{"dark-enable", true, false, 0x1C1D23, 0x1768E5},
                           Case{"dark-all-set", true, true, 0x1C1D23, 0x1768E5}}) {
    SCOPED_TRACE(step.name);
    setDark(step.dark);
    safari->setState(SafariExtensionState{step.enabled});
    auto& shown = step.enabled ? screen.extensionEnabledPanel : screen.enableExtensionPanel;
    ASSERT_TRUE(settle(window, [&] {
      return !shown->isHidden() && screen.colorScheme == ColorScheme::forAppearance(step.dark) &&
             gtk_widget_get_mapped(content);
    }));

    Shot shot(content);
    ASSERT_TRUE(shot.valid());
    EXPECT_EQ(shot.width(), 550);
    EXPECT_EQ(shot.height(), 367);
    ASSERT_TRUE(shot.save(screenshotPath(step.name)));
    // The panel fills the window, title bar included; the button wears the palette's blue.
    EXPECT_TRUE(near(shot.at(545, 362), step.panel));
    EXPECT_TRUE(near(shot.at(275, 20), step.panel)) << "the title bar is transparent";
    Rect button =
        (step.enabled ? screen.openSafariButton : screen.openSafariExtensionPreferencesButton)
            ->frame();
    EXPECT_TRUE(near(shot.at(int(button.x + 6), int(button.y + button.height / 2)), step.button));
  }
}

TEST_F(ScreenshotTest, theOpeningButtonLooksDisabled) {
  safari->setState(SafariExtensionState{false});
  safari->holdCompletions(true);
  MainWindow main(*env, notification);
  main.window()->makeKeyAndOrderFront();
  GtkWidget* window = GTK_WIDGET(dynamic_cast<GtkWindowAdapter&>(*main.window()).gtkWindow());
  GtkWidget* content = gtk_window_get_child(GTK_WINDOW(window));
  EnableExtensionView& screen = *main.contentViewController().view();
  safari->releaseHeld();
  ASSERT_TRUE(runUntil([&] { return !screen.enableExtensionPanel->isHidden(); }, deadline));

  screen.openSafariExtensionPreferences();  // the browser holds its answer
  ASSERT_TRUE(settle(window, [&] { return gtk_widget_get_mapped(content); }));
  Shot shot(content);
  ASSERT_TRUE(shot.valid());
  ASSERT_TRUE(shot.save(screenshotPath("light-enable-opening")));
  Rect button = screen.openSafariExtensionPreferencesButton->frame();
  EXPECT_TRUE(near(shot.at(int(button.x + 6), int(button.y + button.height / 2)), 0xFFFFFF));
  EXPECT_EQ(screen.openSafariExtensionPreferencesButton->title(), "Opening...");

  safari->releaseHeld();
  ASSERT_TRUE(
      runUntil([&] { return screen.openSafariExtensionPreferencesButton->isEnabled(); }, deadline));
}

}  // namespace
}  // namespace qv::test
