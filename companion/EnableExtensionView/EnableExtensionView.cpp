#include "companion/EnableExtensionView/EnableExtensionView.h"

#include <chrono>
#include <utility>

#include "companion/Env.h"

namespace qv {
namespace {

constexpr const char* allSetTitle = "You\u2019re all set! ";
constexpr const char* allSetBody =
    "If you don\u2019t see Quorvane in your \nSafari toolbar, try restarting Safari.";
constexpr const char* openSafariTitle = "Ok, got it";
constexpr const char* instructionsSteps = "Open settings\nClick checkbox\n";
constexpr const char* instructionsReason = "\n\nto grant permission ";
constexpr const char* openPreferencesTitle = "Open settings to enable Quorvane";
constexpr const char* openingTitle = "Opening...";

// Geometry of the 550 x 367 screen; its top strip lies under the transparent title bar.
constexpr Rect quorvaneMarkFrame{235, 62, 80, 80};
constexpr Rect doneMarkFrame{291, 118, 32, 32};
constexpr Rect allSetTitleFrame{0, 164, 550, 36};
constexpr Rect allSetBodyFrame{0, 206, 550, 46};
constexpr Rect openSafariButtonFrame{195, 282, 160, 38};
constexpr Rect animationFrame{24, 72, 220, 244};
constexpr Rect warningMarkFrame{272, 84, 36, 36};
constexpr Rect instructionsFrame{272, 132, 254, 124};
constexpr Rect openPreferencesButtonFrame{272, 278, 254, 38};

constexpr double buttonFontSize = 13;
constexpr double buttonCornerRadius = 8;

MainQueue::Duration seconds(double value) {
  return std::chrono::duration_cast<MainQueue::Duration>(std::chrono::duration<double>(value));
}

std::shared_ptr<ImageView> makeImage(ViewFactory& factory, View& parent, const Rect& frame) {
  std::shared_ptr<ImageView> image = factory.makeImageView();
  image->setFrame(frame);
  parent.addSubview(image);
  return image;
}

std::shared_ptr<TextLabel> makeLabel(ViewFactory& factory, View& parent, const Rect& frame,
                                     std::vector<TextRun> runs, TextAlignment alignment) {
  std::shared_ptr<TextLabel> label = factory.makeTextLabel();
  label->setFrame(frame);
  label->setText(runs);
  label->setAlignment(alignment);
  parent.addSubview(label);
  return label;
}

}  // namespace

std::shared_ptr<EnableExtensionView> EnableExtensionView::create(
    Env& env, std::shared_ptr<EnableExtensionNotification> enableExtensionNotification) {
  std::shared_ptr<EnableExtensionView> view(
      new EnableExtensionView(env, std::move(enableExtensionNotification)));
  view->build();
  view->startPoll();
  return view;
}

EnableExtensionView::EnableExtensionView(Env& env,
                                         std::shared_ptr<EnableExtensionNotification> notification)
    : colorScheme(ColorScheme::forAppearance(env.companion.appearance->isDark())),
      env_(env),
      enableExtensionNotification_(std::move(notification)) {}

void EnableExtensionView::build() {
  ViewFactory& factory = *env_.companion.viewFactory;
  view = factory.makeView();
  view->setFrame(defaultFrame);
  buildExtensionEnabledPanel();
  buildEnableExtensionPanel();
  // Which panel shows is the poll's decision; until its first answer neither does.
  extensionEnabledPanel->setHidden(true);
  enableExtensionPanel->setHidden(true);
  applyColorScheme();

  appearanceObservation_ = env_.companion.appearance->observeChanges([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->interfaceModeChanged();
  });
}

void EnableExtensionView::buildExtensionEnabledPanel() {
  ViewFactory& factory = *env_.companion.viewFactory;
  extensionEnabledPanel = factory.makeView();
  extensionEnabledPanel->setFrame(Rect{0, 0, defaultFrame.width, defaultFrame.height});
  View& panel = *extensionEnabledPanel;

  quorvaneMark_ = makeImage(factory, panel, quorvaneMarkFrame);
  quorvaneMark_->setImageNamed("QuorvaneMark");
  doneMark_ = makeImage(factory, panel, doneMarkFrame);
  doneMark_->setImageNamed("DoneMark");
  allSetTitle_ = makeLabel(factory, panel, allSetTitleFrame, {{allSetTitle, 24, FontWeight::bold}},
                           TextAlignment::center);
  allSetBody_ = makeLabel(factory, panel, allSetBodyFrame, {{allSetBody, 15, FontWeight::regular}},
                          TextAlignment::center);

  openSafariButton = factory.makeButton();
  openSafariButton->setFrame(openSafariButtonFrame);
  openSafariButton->setTitle(openSafariTitle);
  openSafariButton->setAction([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->openSafari();
  });
  panel.addSubview(openSafariButton);
  view->addSubview(extensionEnabledPanel);
}

void EnableExtensionView::buildEnableExtensionPanel() {
  ViewFactory& factory = *env_.companion.viewFactory;
  enableExtensionPanel = factory.makeView();
  enableExtensionPanel->setFrame(Rect{0, 0, defaultFrame.width, defaultFrame.height});
  View& panel = *enableExtensionPanel;

  animationImage_ = makeImage(factory, panel, animationFrame);
  warningMark_ = makeImage(factory, panel, warningMarkFrame);
  // The steps stand out; the reason follows after a gap, in the body size.
  instructions_ = makeLabel(factory, panel, instructionsFrame,
                            {{instructionsSteps, 19, FontWeight::semibold},
                             {instructionsReason, 14, FontWeight::regular}},
                            TextAlignment::left);

  openSafariExtensionPreferencesButton = factory.makeButton();
  openSafariExtensionPreferencesButton->setFrame(openPreferencesButtonFrame);
  openSafariExtensionPreferencesButton->setTitle(openPreferencesTitle);
  openSafariExtensionPreferencesButton->setAction([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->openSafariExtensionPreferences();
  });
  panel.addSubview(openSafariExtensionPreferencesButton);
  view->addSubview(enableExtensionPanel);
}

void EnableExtensionView::interfaceModeChanged() {
  colorScheme = ColorScheme::forAppearance(env_.companion.appearance->isDark());
  applyColorScheme();
}

void EnableExtensionView::applyColorScheme() {
  view->setBackgroundColor(colorScheme.panel);
  extensionEnabledPanel->setBackgroundColor(colorScheme.panel);
  enableExtensionPanel->setBackgroundColor(colorScheme.panel);
  for (const auto& label : {allSetTitle_, allSetBody_, instructions_}) {
    label->setTextColor(colorScheme.text);
  }
  Color dimmedText = colorScheme.text;
  dimmedText.alpha = 0.45;
  ButtonStyle style{colorScheme.button, hexColor(0xFFFFFF, 1.0),         colorScheme.disableButton,
                    dimmedText,         colorScheme.disableButtonBorder, buttonCornerRadius,
                    buttonFontSize};
  openSafariButton->setStyle(style);
  openSafariExtensionPreferencesButton->setStyle(style);
  animationImage_->setImageNamed(colorScheme.enableQuorvaneAnimationImage);
  warningMark_->setImageNamed(colorScheme.warningMarkImage);
}

void EnableExtensionView::startPoll() {
  logsStateErrors_ = true;
  pollStep();
}

void EnableExtensionView::pollStep() {
  env_.companion.safariExtensionManager->getStateOfSafariExtension(
      env_.appInfo.extensionBundleIdentifier,
      [weak = weak_from_this(), mainQueue = env_.platform.mainQueue](
          std::optional<SafariExtensionState> state, std::optional<SafariError> error) {
        mainQueue->async([weak, state = std::move(state), error = std::move(error)] {
          if (auto self = weak.lock()) self->handleState(state, error);
        });
      });
}

void EnableExtensionView::handleState(const std::optional<SafariExtensionState>& state,
                                      const std::optional<SafariError>& error) {
  if (error) {
    logStateFailure(error->description);
    showPanel(enableExtensionPanel);
  } else if (!state) {
    logStateFailure("nil result");
    showPanel(enableExtensionPanel);
  } else if (state->isEnabled) {
    showPanel(extensionEnabledPanel);
    autoOpenLoginTabOnce();
  } else {
    showPanel(enableExtensionPanel);
  }
  // The next step waits for this answer, so requests never pile up.
  env_.platform.mainQueue->asyncAfter(seconds(pollIntervalSeconds), [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->pollStep();
  });
}

void EnableExtensionView::logStateFailure(const std::string& what) {
  // One entry per run: a browser that keeps failing would otherwise log every second.
  if (!logsStateErrors_) return;
  logsStateErrors_ = false;
  if (env_.felog) {
    env_.felog->log(CompanionLogger::getExtensionState, LogLevel::error,
                    "Could not get extension state: " + what);
  }
}

void EnableExtensionView::showPanel(const std::shared_ptr<View>& panel) {
  // A panel already on screen is left alone, so its animation does not restart.
  if (!panel->isHidden()) return;
  extensionEnabledPanel->setHidden(true);
  enableExtensionPanel->setHidden(true);
  panel->setHidden(false);
}

void EnableExtensionView::autoOpenLoginTabOnce() {
  OAuth& oauth = *env_.oauth;
  if (!oauth.shouldAutoOpenLoginTab) return;
  oauth.shouldAutoOpenLoginTab = false;
  std::optional<UserInfo> user = env_.sharedData->userInfo.value();
  if (!user || user->isAnonymous) oauth.openLoginTab([](bool) {});
}

void EnableExtensionView::openSafari() {
  openSafariButton->setEnabled(false);
  env_.companion.safariExtensionManager->dispatchMessage(
      std::string(toString(CompanionMessage::openSafari)), env_.appInfo.extensionBundleIdentifier,
      std::nullopt,
      [weak = weak_from_this(), mainQueue = env_.platform.mainQueue, alert = env_.companion.alert,
       felog = env_.felog](std::optional<SafariError> error) {
        if (!error) return;  // the screen changes only through the poll
        mainQueue->async([weak, alert, felog, description = error->description] {
          alert->runModal(
              AlertMessage{"Could not open Safari", description, AlertStyle::critical, {"OK"}});
          if (auto self = weak.lock()) self->openSafariButton->setEnabled(true);
          if (felog) {
            felog->log(CompanionLogger::openSafari, LogLevel::error,
                       "Could not open Safari: " + description);
          }
        });
      });
}

void EnableExtensionView::openSafariExtensionPreferences() {
  openSafariExtensionPreferencesButton->setEnabled(false);
  openSafariExtensionPreferencesButton->setTitle(openingTitle);
  // Runs on the main queue after success and after a reported failure alike, so the
  // button never stays stuck on "Opening...".
  enableExtensionNotification_->showExtensionPreferences([weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self) return;
    self->openSafariExtensionPreferencesButton->setTitle(openPreferencesTitle);
    self->openSafariExtensionPreferencesButton->setEnabled(true);
  });
}

}  // namespace qv
