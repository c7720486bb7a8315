#pragma once

#include <map>
#include <string>

namespace qv::safarihost {

// The user's enable choice per extension, kept in a JSON file (ipc::extensionChoicesPath()):
// {"extensions": {"<identifier>": {"enabled": bool, "bundlePath": "<app>"}}}.
// A choice holds for the identifier as the application bundle at that path provides it:
// the same identifier from another bundle is a different extension to the user, and
// starts disabled. An extension the file does not name is disabled.
//
// safari-host keeps the file; the companion reads it to know the state while the
// browser is closed. Not thread-safe: one thread per instance.
class EnabledStore {
 public:
  // Reads `path` now; a missing, unreadable or oversized file is an empty choice list.
  // A file that is there but not a choice list also is, and says why in loadProblem().
  explicit EnabledStore(std::string path);

  bool isEnabled(const std::string& identifier, const std::string& appBundlePath) const;
  // Records the choice and rewrites the file at once, atomically and durably (its
  // folder is created 0700). False when the file could not be written; the choice still
  // holds for this instance.
  bool setEnabled(const std::string& identifier, const std::string& appBundlePath, bool enabled);

  const std::string& path() const { return path_; }
  // Empty, or why the file was there but could not be used.
  const std::string& loadProblem() const { return loadProblem_; }

 private:
  struct Choice {
    bool enabled = false;
    std::string appBundlePath;
  };
  bool save() const;

  std::string path_;
  std::string loadProblem_;
  std::map<std::string, Choice> choices_;
};

}  // namespace qv::safarihost
