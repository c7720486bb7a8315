#include "platform/testing/FakeBundle.h"

namespace qv::testing {

std::string FakeBundle::resourcePath(const std::string& name, const std::string& type) const {
  return path_ + "/Contents/Resources/" + name + "." + type;
}

std::optional<std::string> FakeBundle::pathForResource(const std::string& name,
                                                       const std::string& type) const {
  std::string path = resourcePath(name, type);
  if (files_.count(path) == 0) return std::nullopt;
  return path;
}

std::variant<std::string, ReadError> FakeBundle::contentsOfFile(const std::string& path) const {
  auto it = files_.find(path);
  if (it == files_.end()) return ReadError{"The file doesn't exist."};
  if (!it->second) return ReadError{"Permission denied"};
  return *it->second;
}

void FakeBundle::addResource(const std::string& name, const std::string& type,
                             std::string contents) {
  files_[resourcePath(name, type)] = std::move(contents);
}

void FakeBundle::addUnreadableResource(const std::string& name, const std::string& type) {
  files_[resourcePath(name, type)] = std::nullopt;
}

}  // namespace qv::testing
