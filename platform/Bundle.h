#pragma once

#include <optional>
#include <string>
#include <variant>

#include "platform/Json.h"
#include "platform/JsonFields.h"

namespace qv {

// Failure to read a file: the error's localised description.
struct ReadError {
  std::string localizedDescription;
};

// A bundle directory: `X.app/Contents/Info.plist` and `X.app/Contents/Resources/`.
// The main bundle of a process is the directory two levels above its executable.
// Immutable after construction; thread-safe.
class Bundle {
 public:
  virtual ~Bundle() = default;

  // Absolute path of the bundle directory (the `.app` or `.appex`).
  virtual std::string bundlePath() const = 0;
  // Info.plist as JSON (dict → object, array → array; data as base64 strings, dates
  // as ISO-8601 strings); absent when the file is missing or unreadable.
  virtual std::optional<Json> infoDictionary() const = 0;
  // `Contents/Resources/<name>.<type>` when that file exists; nothing else is searched.
  virtual std::optional<std::string> pathForResource(const std::string& name,
                                                     const std::string& type) const = 0;
  // The whole file at `path` (as returned by pathForResource) as bytes-in-a-string.
  virtual std::variant<std::string, ReadError> contentsOfFile(const std::string& path) const = 0;

  // The Info.plist member `key` when it is a string.
  std::optional<std::string> infoString(const char* key) const {
    std::optional<Json> info = infoDictionary();
    return info ? json::string(*info, key) : std::nullopt;
  }
  // CFBundleIdentifier when it is a string.
  std::optional<std::string> bundleIdentifier() const { return infoString("CFBundleIdentifier"); }
};

}  // namespace qv
