#pragma once

#include <memory>
#include <optional>

#include "companion/EnableExtensionNotification.h"
#include "companion/EnableExtensionView/ColorScheme.h"
#include "platform/Button.h"
#include "platform/ImageView.h"
#include "platform/SafariExtensionManager.h"
#include "platform/TextLabel.h"
#include "platform/UserDefaults.h"
#include "platform/Widget.h"

namespace qv {

class Env;

// The companion window's only content: the "all set" panel when the extension is
// enabled, the "enable" panel otherwise. It asks the browser for the extension's state
// once a second for as long as it lives, follows the light or dark appearance, and
// asks for the login tab the first time it sees the extension enabled while nobody is
// signed in.
//
// Main-thread confined: create it and call it there. The poll, the appearance
// observation and the browser completions hold it weakly, so dropping the last
// reference stops them. `env` must outlive it (the process-wide environment does).
class EnableExtensionView : public std::enable_shared_from_this<EnableExtensionView> {
 public:
  static constexpr Rect defaultFrame{0, 0, 550, 367};
  static constexpr double pollIntervalSeconds = 1.0;

  // Builds both panels (hidden until the first answer), starts observing the
  // appearance and starts the poll with error logging enabled.
  static std::shared_ptr<EnableExtensionView> create(
      Env& env, std::shared_ptr<EnableExtensionNotification> enableExtensionNotification);
  EnableExtensionView(const EnableExtensionView&) = delete;
  EnableExtensionView& operator=(const EnableExtensionView&) = delete;

  // The appearance changed: rebuild the palette and apply it everywhere.
  void interfaceModeChanged();
  // Action of openSafariButton.
  void openSafari();
  // Action of openSafariExtensionPreferencesButton.
  void openSafariExtensionPreferences();

  // The root view, defaultFrame in size; both panels fill it.
  std::shared_ptr<View> view;
  std::shared_ptr<View> extensionEnabledPanel;
  std::shared_ptr<Button> openSafariButton;
  std::shared_ptr<View> enableExtensionPanel;
  std::shared_ptr<Button> openSafariExtensionPreferencesButton;
  ColorScheme colorScheme;

 private:
  EnableExtensionView(Env& env, std::shared_ptr<EnableExtensionNotification> notification);
  void build();
  void buildExtensionEnabledPanel();
  void buildEnableExtensionPanel();
  void applyColorScheme();
  void startPoll();
  void pollStep();
  void handleState(const std::optional<SafariExtensionState>& state,
                   const std::optional<SafariError>& error);
  void logStateFailure(const std::string& what);
  void showPanel(const std::shared_ptr<View>& panel);
  void autoOpenLoginTabOnce();

  Env& env_;
  std::shared_ptr<EnableExtensionNotification> enableExtensionNotification_;
  bool logsStateErrors_ = true;
  std::unique_ptr<Subscription> appearanceObservation_;
  // Parts that follow the palette.
  std::shared_ptr<ImageView> quorvaneMark_;
  std::shared_ptr<ImageView> doneMark_;
  std::shared_ptr<TextLabel> allSetTitle_;
  std::shared_ptr<TextLabel> allSetBody_;
  std::shared_ptr<ImageView> animationImage_;
  std::shared_ptr<ImageView> warningMark_;
  std::shared_ptr<TextLabel> instructions_;
};

}  // namespace qv
