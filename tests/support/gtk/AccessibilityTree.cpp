#include "tests/support/gtk/AccessibilityTree.h"

#include <atspi/atspi.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "platform/linux/system/GObjectRef.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace qv::test {
namespace {

using Accessible = GObjectRef<AtspiAccessible>;

// Receives the error of one call at a time and frees it.
class CallError {
 public:
  CallError() = default;
  ~CallError() { g_clear_error(&error_); }
  CallError(const CallError&) = delete;
  CallError& operator=(const CallError&) = delete;

  // For the next call: the previous error is dropped.
  GError** out() {
    g_clear_error(&error_);
    return &error_;
  }
  bool failed() const { return error_ != nullptr; }

 private:
  GError* error_ = nullptr;
};

// The bus daemon's configuration from at-spi2-core: it lets the registry be activated.
constexpr const char* kBusConfig = "/usr/share/defaults/at-spi2/accessibility.conf";

// The private accessibility bus and its daemon; the daemon is killed with this object.
struct PrivateBus {
  TempDir dir;
  std::optional<ChildProcess> daemon;
  std::string address;

  PrivateBus() {
    std::string wanted = "unix:path=" + dir.path() + "/bus";
    // The registry, which the daemon starts, finds the bus through the same variable.
    auto started =
        ChildProcess::start({"/usr/bin/dbus-daemon", std::string("--config-file=") + kBusConfig,
                             "--nofork", "--print-address=1", "--address=" + wanted},
                            {.environment = {"AT_SPI_BUS_ADDRESS=" + wanted},
                             .captureStdout = true,
                             .captureStderr = true});
    if (!started) return;
    daemon.emplace(std::move(*started));
    // It prints its address once it listens; a daemon that fails prints nothing.
    if (daemon->waitForOutput(
            [](const std::string& out) { return out.find('\n') != std::string::npos; },
            std::chrono::seconds(10))) {
      address = wanted;
      setenv("AT_SPI_BUS_ADDRESS", address.c_str(), 1);
    }
  }
};

// Far deeper than any window; it only stops a tree that loops.
constexpr int kMaxDepth = 64;

bool hasState(AtspiAccessible* accessible, AtspiStateType state) {
  GObjectRef<AtspiStateSet> states(atspi_accessible_get_state_set(accessible));
  return states && atspi_state_set_contains(states.get(), state);
}

std::string textOf(AtspiAccessible* accessible) {
  GObjectRef<AtspiText> text(atspi_accessible_get_text_iface(accessible));
  if (!text) return {};
  CallError error;
  gint length = atspi_text_get_character_count(text.get(), error.out());
  if (error.failed() || length <= 0) return {};
  // GTK answers an end offset of -1 with nothing, so ask for the exact length.
  GCharPtr value(atspi_text_get_text(text.get(), 0, length, error.out()));
  return value && !error.failed() ? std::string(value.get()) : std::string();
}

void collect(AtspiAccessible* accessible, int depth, std::vector<std::string>& texts) {
  if (depth > kMaxDepth) return;
  CallError error;
  GCharPtr rawName(atspi_accessible_get_name(accessible, error.out()));
  std::string name = rawName && !error.failed() ? rawName.get() : "";
  std::string text = textOf(accessible);
  if (!name.empty()) texts.push_back(name);
  if (!text.empty() && text != name) texts.push_back(text);

  gint count = atspi_accessible_get_child_count(accessible, error.out());
  if (error.failed()) return;
  for (gint index = 0; index < count; ++index) {
    Accessible child(atspi_accessible_get_child_at_index(accessible, index, error.out()));
    // GTK 4 leaves hidden widgets out of the tree; other toolkits clear VISIBLE.
    if (child && hasState(child.get(), ATSPI_STATE_VISIBLE)) {
      collect(child.get(), depth + 1, texts);
    }
  }
}

Accessible findApplication(pid_t pid) {
  Accessible desktop(atspi_get_desktop(0));
  if (!desktop) return {};
  CallError error;
  gint count = atspi_accessible_get_child_count(desktop.get(), error.out());
  if (error.failed()) return {};
  // An application that fails to answer is skipped: it may be one that is exiting.
  for (gint index = 0; index < count; ++index) {
    Accessible application(atspi_accessible_get_child_at_index(desktop.get(), index, error.out()));
    if (!application) continue;
    guint owner = atspi_accessible_get_process_id(application.get(), error.out());
    if (!error.failed() && static_cast<pid_t>(owner) == pid) return application;
  }
  return {};
}

// The first visible button named `name` at or below `accessible`.
Accessible findButton(AtspiAccessible* accessible, const std::string& name, int depth) {
  if (depth > kMaxDepth) return {};
  CallError error;
  if (atspi_accessible_get_role(accessible, error.out()) == ATSPI_ROLE_PUSH_BUTTON &&
      !error.failed()) {
    GCharPtr own(atspi_accessible_get_name(accessible, error.out()));
    if (own && !error.failed() && name == own.get()) return Accessible::retain(accessible);
  }
  gint count = atspi_accessible_get_child_count(accessible, error.out());
  if (error.failed()) return {};
  for (gint index = 0; index < count; ++index) {
    Accessible child(atspi_accessible_get_child_at_index(accessible, index, error.out()));
    if (!child || !hasState(child.get(), ATSPI_STATE_VISIBLE)) continue;
    if (Accessible found = findButton(child.get(), name, depth + 1)) return found;
  }
  return {};
}

bool connectToBus() {
  // The library reads the address once, when it connects. 0: connected now; 1: connected
  // already; anything else: no bus.
  static const bool connected = startAccessibilityBus() && atspi_init() <= 1;
  return connected;
}

}  // namespace

bool pressButton(pid_t pid, const std::string& name) {
  if (!connectToBus()) return false;
  Accessible application = findApplication(pid);
  if (!application) return false;
  Accessible button = findButton(application.get(), name, 0);
  if (!button) return false;
  GObjectRef<AtspiAction> action(atspi_accessible_get_action_iface(button.get()));
  CallError error;
  return action && atspi_action_do_action(action.get(), 0, error.out()) && !error.failed();
}

bool startAccessibilityBus() {
  static const PrivateBus bus;
  return !bus.address.empty();
}

std::optional<std::vector<std::string>> showingTexts(pid_t pid) {
  if (!connectToBus()) return std::nullopt;
  Accessible application = findApplication(pid);
  if (!application) return std::nullopt;
  std::vector<std::string> texts;
  CallError error;
  gint count = atspi_accessible_get_child_count(application.get(), error.out());
  if (error.failed()) return std::nullopt;
  for (gint index = 0; index < count; ++index) {
    Accessible window(atspi_accessible_get_child_at_index(application.get(), index, error.out()));
    // GTK 4 marks only windows SHOWING; below them, visibility is what counts.
    if (window && hasState(window.get(), ATSPI_STATE_SHOWING)) collect(window.get(), 0, texts);
  }
  return texts;
}

std::optional<std::size_t> showingWindowCount(pid_t pid) {
  if (!connectToBus()) return std::nullopt;
  Accessible application = findApplication(pid);
  if (!application) return std::nullopt;
  CallError error;
  gint count = atspi_accessible_get_child_count(application.get(), error.out());
  if (error.failed()) return std::nullopt;
  std::size_t showing = 0;
  for (gint index = 0; index < count; ++index) {
    Accessible window(atspi_accessible_get_child_at_index(application.get(), index, error.out()));
    if (window && hasState(window.get(), ATSPI_STATE_SHOWING)) ++showing;
  }
  return showing;
}

bool anyContains(const std::vector<std::string>& texts, const std::string& part) {
  return std::any_of(texts.begin(), texts.end(),
                     [&](const std::string& text) { return text.find(part) != std::string::npos; });
}

}  // namespace qv::test
