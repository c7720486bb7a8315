#include "companion/EnableExtensionView/EnableExtensionViewController.h"

#include <utility>

namespace qv {

EnableExtensionViewController::EnableExtensionViewController(
    Env& env, std::shared_ptr<EnableExtensionNotification> notification)
    : view_(EnableExtensionView::create(env, std::move(notification))) {}

}  // namespace qv
