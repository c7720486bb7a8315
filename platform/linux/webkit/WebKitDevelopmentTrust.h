#pragma once

#include <gio/gio.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/linux/system/GObjectRef.h"
#include "platform/linux/webkit/WebKitWebView.h"

namespace qv {

// The development authorities' verdict on the service's hosts, shared by every view of
// one factory (the probes are described with WebKitWebViewFactory::DevelopmentTrust).
// Each host is probed once, with a TLS handshake verified against the authorities alone;
// a host whose chain verifies has exactly its certificate allowed in WebKit's default
// network session. Failures are logged with g_warning and leave that host to WebKit.
//
// Main thread only. Create it with std::make_shared: probes in flight hold a reference.
class WebKitDevelopmentTrust : public std::enable_shared_from_this<WebKitDevelopmentTrust> {
 public:
  using Config = WebKitWebViewFactory::DevelopmentTrust;

  explicit WebKitDevelopmentTrust(std::optional<Config> config) : config_(std::move(config)) {}

  // Starts the probes (once). Runs `work` at once when they have settled, else later.
  void whenSettled(std::function<void()> work);
  // True once every host has been probed, or when there is nothing to probe.
  bool isSettled() const { return settled_; }

  // Starts the probes unless started; settles at once when there is nothing to probe.
  void start();

 private:
  struct Probe;

  static void onConnected(GObject* source, GAsyncResult* result, gpointer data);
  static void onHandshake(GObject* source, GAsyncResult* result, gpointer data);
  void probeFinished();
  void settle();

  std::optional<Config> config_;
  bool started_ = false;
  bool settled_ = false;
  std::size_t remaining_ = 0;
  std::vector<std::function<void()>> waiters_;
  GObjectRef<GTlsDatabase> database_;
};

}  // namespace qv
