#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/system/GObjectRef.h"
#include "safari-host/ContentScriptApi.h"
#include "safari-host/ExtensionInfo.h"

typedef struct _WebKitUserContentManager WebKitUserContentManager;

namespace qv::host {

// Puts extensions' content scripts and style sheets into one web view's user content
// manager: each extension in its own script world, into top-level http(s) documents;
// the `safari` API at document start, the scripts at document end. Receives what those
// scripts post. The manager must belong to exactly one web view, which is how a message
// names its sender. Main thread only.
class ContentScriptInjector {
 public:
  using OnMessage =
      std::function<void(const std::string& extensionIdentifier, const PostedMessage& message)>;

  ContentScriptInjector(WebKitUserContentManager* manager, OnMessage onMessage);
  ~ContentScriptInjector();
  ContentScriptInjector(const ContentScriptInjector&) = delete;
  ContentScriptInjector& operator=(const ContentScriptInjector&) = delete;

  // Replaces what is installed with `extensions` (no-op when unchanged).
  void install(const std::vector<std::shared_ptr<const ExtensionInfo>>& extensions);

 private:
  struct Channel;
  void removeAll();

  GObjectRef<WebKitUserContentManager> manager_;
  OnMessage onMessage_;
  std::vector<std::unique_ptr<Channel>> channels_;
  std::vector<std::shared_ptr<const ExtensionInfo>> installed_;
};

}  // namespace qv::host
