#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/system/GObjectRef.h"
#include "platform/linux/safari/EnabledStore.h"
#include "safari-host/ExtensionInfo.h"

typedef struct _GFileMonitor GFileMonitor;

namespace qv::host {

// The extensions of every registered application, and whether each is enabled.
// Applications register by writing `<appsDirectory>/<CFBundleIdentifier>.json` =
// {"bundlePath": absolute path}; the folder is read at start() and again whenever it
// changes. A registration is refused whole when its file is named for another
// identifier, or when loadRegisteredApp() refuses its bundle; an extension identifier
// that more than one accepted registration provides is refused in all of them while
// they do. Refusals go to stderr. Main thread only.
class ExtensionRegistry {
 public:
  ExtensionRegistry(std::string appsDirectory, std::string enabledStorePath);
  ~ExtensionRegistry();
  ExtensionRegistry(const ExtensionRegistry&) = delete;
  ExtensionRegistry& operator=(const ExtensionRegistry&) = delete;

  // Called after the set of extensions, one of them, or an enable choice changed.
  void setOnChanged(std::function<void()> onChanged) { onChanged_ = std::move(onChanged); }
  // Reads the folder and starts watching it.
  void start();
  // Reads the folder again now; calls onChanged when anything differs.
  void rescan();

  // Every registered extension, ordered by identifier. The pointers stay valid while
  // the extension stays registered and unchanged; hold the shared_ptr to keep one.
  const std::vector<std::shared_ptr<const ExtensionInfo>>& extensions() const {
    return extensions_;
  }
  std::shared_ptr<const ExtensionInfo> find(const std::string& identifier) const;
  std::vector<std::shared_ptr<const ExtensionInfo>> enabledExtensions() const;
  bool isEnabled(const std::string& identifier) const;
  // Records the choice (persisted) and notifies; false for an unknown identifier.
  bool setEnabled(const std::string& identifier, bool enabled);
  // PEM files of the development certificate authorities that may vouch for `host`: those
  // a registered bundle brings for its own deployment hosts, once one of its extensions
  // is enabled.
  std::vector<std::string> authoritiesFor(const std::string& host) const;

 private:
  void scheduleRescan();

  std::string appsDirectory_;
  safarihost::EnabledStore enabled_;
  std::function<void()> onChanged_;
  std::vector<std::shared_ptr<const ExtensionInfo>> extensions_;
  std::vector<DevelopmentAuthority> authorities_;
  GObjectRef<GFileMonitor> monitor_;
  unsigned rescanSource_ = 0;
};

}  // namespace qv::host
