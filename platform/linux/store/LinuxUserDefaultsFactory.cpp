#include "platform/linux/store/LinuxUserDefaultsFactory.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

#include "platform/linux/store/SqliteUserDefaults.h"
#include "platform/linux/system/Files.h"
#include "platform/linux/system/XdgPaths.h"

namespace qv {
namespace {

constexpr const char* kFileName = "defaults.sqlite3";

struct FreeDeleter {
  void operator()(char* text) const { std::free(text); }
};

// One store per database file in this process, across factories.
struct StoreCache {
  std::mutex mutex;
  std::map<std::string, std::weak_ptr<SqliteUserDefaults>> stores;
};

StoreCache& storeCache() {
  // Never destroyed: stores may still be released during static destruction.
  static auto* cache = new StoreCache;
  return *cache;
}

}  // namespace

LinuxUserDefaultsFactory::LinuxUserDefaultsFactory(std::optional<std::string> configHome)
    : configHome_(configHome ? std::move(*configHome) : xdg::configHome()) {}

std::optional<std::string> LinuxUserDefaultsFactory::suitePath(const std::string& name) const {
  if (configHome_.empty() || !files::isPlainFileName(name)) return std::nullopt;
  return configHome_ + "/group-containers/" + name + "/" + kFileName;
}

std::optional<std::string> LinuxUserDefaultsFactory::standardPath(
    const std::string& bundleIdentifier) const {
  if (configHome_.empty() || !files::isPlainFileName(bundleIdentifier)) return std::nullopt;
  return configHome_ + "/" + bundleIdentifier + "/" + kFileName;
}

std::shared_ptr<UserDefaults> LinuxUserDefaultsFactory::suite(const std::string& name) {
  return openShared(suitePath(name));
}

std::shared_ptr<UserDefaults> LinuxUserDefaultsFactory::standard(
    const std::string& bundleIdentifier) {
  return openShared(standardPath(bundleIdentifier));
}

std::shared_ptr<UserDefaults> LinuxUserDefaultsFactory::openShared(
    const std::optional<std::string>& path) {
  if (!path) return nullptr;
  const std::string directory = files::directoryOf(*path);
  if (!xdg::makeDirectories(directory, 0700)) return nullptr;
  // Different spellings of one directory must still share one store.
  std::unique_ptr<char, FreeDeleter> resolved(realpath(directory.c_str(), nullptr));
  if (!resolved) return nullptr;
  std::string canonical = std::string(resolved.get()) + "/" + files::fileNameOf(*path);

  StoreCache& cache = storeCache();
  std::lock_guard lock(cache.mutex);
  std::erase_if(cache.stores, [](const auto& entry) { return entry.second.expired(); });
  if (auto existing = cache.stores[canonical].lock()) return existing;
  std::shared_ptr<SqliteUserDefaults> store = SqliteUserDefaults::open(canonical);
  if (store) {
    cache.stores[canonical] = store;
  } else {
    cache.stores.erase(canonical);
  }
  return store;
}

}  // namespace qv
