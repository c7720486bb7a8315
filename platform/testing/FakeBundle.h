#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/Bundle.h"

namespace qv::testing {

// A bundle held in memory: an information dictionary and resource files, some of
// which can be made unreadable.
class FakeBundle final : public Bundle {
 public:
  explicit FakeBundle(std::string path = "/fake/Fake.app") : path_(std::move(path)) {}

  std::string bundlePath() const override { return path_; }
  std::optional<Json> infoDictionary() const override { return info_; }
  std::optional<std::string> pathForResource(const std::string& name,
                                             const std::string& type) const override;
  std::variant<std::string, ReadError> contentsOfFile(const std::string& path) const override;

  void setInfoDictionary(std::optional<Json> info) { info_ = std::move(info); }
  // Adds Contents/Resources/<name>.<type> with these contents.
  void addResource(const std::string& name, const std::string& type, std::string contents);
  // Adds a resource that exists but cannot be read.
  void addUnreadableResource(const std::string& name, const std::string& type);

 private:
  std::string resourcePath(const std::string& name, const std::string& type) const;

  std::string path_;
  std::optional<Json> info_;
  std::map<std::string, std::optional<std::string>> files_;  // absent: unreadable
};

}  // namespace qv::testing
