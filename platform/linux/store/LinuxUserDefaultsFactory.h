#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/UserDefaults.h"

namespace qv {

// Opens suites under `<configHome>/group-containers/<name>/defaults.sqlite3` and standard
// defaults under `<configHome>/<bundleIdentifier>/defaults.sqlite3`. Within a process the
// same database path always yields the same store while any holder keeps it alive, even
// across factories. Null when the directory or database cannot be created or opened (a
// file in the way, no permission, not a database), and for names that are empty, ".",
// "..", or contain '/' or NUL. Thread-safe.
class LinuxUserDefaultsFactory final : public UserDefaultsFactory {
 public:
  // `configHome` overrides the XDG config home, which is otherwise read once, here.
  explicit LinuxUserDefaultsFactory(std::optional<std::string> configHome = std::nullopt);

  std::shared_ptr<UserDefaults> suite(const std::string& name) override;
  std::shared_ptr<UserDefaults> standard(const std::string& bundleIdentifier) override;

  // The database path a suite or standard domain uses; absent for a rejected name.
  std::optional<std::string> suitePath(const std::string& name) const;
  std::optional<std::string> standardPath(const std::string& bundleIdentifier) const;

 private:
  std::shared_ptr<UserDefaults> openShared(const std::optional<std::string>& path);

  std::string configHome_;
};

}  // namespace qv
