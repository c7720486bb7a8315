#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/Bundle.h"

namespace qv {

// A bundle directory on disk. Info.plist (XML or binary) is read once, in the
// constructor, and converted to JSON: dict → object (keys in file order), array → array,
// string, bool, integer (signed 64-bit, or unsigned above that range), real, date →
// ISO-8601 UTC string, data → base64 string. A missing or unparsable Info.plist gives an
// absent infoDictionary(). Immutable after construction; every method may be called from
// any thread.
class LinuxBundle final : public Bundle {
 public:
  explicit LinuxBundle(std::string bundlePath);

  // The bundle of the running executable: two levels above /proc/self/exe
  // (`…/X.app/Contents/MacOS/exe` → `…/X.app`). Null when the executable's path
  // cannot be read.
  static std::shared_ptr<LinuxBundle> main();

  std::string bundlePath() const override { return bundlePath_; }
  std::optional<Json> infoDictionary() const override { return info_; }
  // `Contents/Resources/<name>.<type>` when it is a regular file (symlinks followed);
  // an empty `type` looks up `<name>` alone. A name with a ".." component is never found.
  std::optional<std::string> pathForResource(const std::string& name,
                                             const std::string& type) const override;
  // ReadError carries strerror's text for the failing open/read.
  std::variant<std::string, ReadError> contentsOfFile(const std::string& path) const override;

 private:
  std::string bundlePath_;
  std::optional<Json> info_;
};

}  // namespace qv
