#pragma once

#include <string>

namespace qv::test {

// A fresh directory under /tmp, removed with everything in it when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Writes `contents` to path()/relative, creating parent directories.
  std::string write(const std::string& relative, const std::string& contents) const;

 private:
  std::string path_;
};

// The whole file at `path`, byte for byte; empty when it cannot be read.
std::string fileContents(const std::string& path);

// Sets an environment variable for the life of the object, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool hadValue_ = false;
  std::string oldValue_;
};

// XDG_CONFIG_HOME and XDG_DATA_HOME pointed at fresh folders for the life of the object,
// so that what the code under test stores never reaches the developer's own.
struct PrivateXdgHomes {
  TempDir config;
  TempDir data;
  ScopedEnv configHome{"XDG_CONFIG_HOME", config.path()};
  ScopedEnv dataHome{"XDG_DATA_HOME", data.path()};
};

}  // namespace qv::test
