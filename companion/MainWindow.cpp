#include "companion/MainWindow.h"

#include <utility>

#include "companion/Env.h"

namespace qv {

MainWindow::MainWindow(Env& env, std::shared_ptr<EnableExtensionNotification> notification)
    : contentViewController_(
          std::make_unique<EnableExtensionViewController>(env, std::move(notification))) {
  std::shared_ptr<View> content = contentViewController_->view()->view;
  Rect frame = content->frame();
  window_ = env.companion.viewFactory->makeWindow(Rect{0, 0, frame.width, frame.height},
                                                  windowStyleTitled | windowStyleClosable |
                                                      windowStyleMiniaturizable |
                                                      windowStyleFullSizeContentView);
  window_->setTitle(env.appInfo.appName);
  window_->setTitleHidden(true);
  window_->setTitlebarAppearsTransparent(true);
  window_->setMovableByWindowBackground(true);
  window_->setContentView(std::move(content));
  window_->center();
}

}  // namespace qv
