#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "platform/UserDefaults.h"
#include "platform/linux/store/DefaultsCodec.h"
#include "platform/linux/store/DefaultsSubscriptions.h"
#include "platform/linux/store/Sqlite.h"
#include "platform/linux/system/Files.h"
#include "platform/linux/system/UniqueFd.h"

namespace qv::defaults {

// Finds committed changes to one defaults database and calls the subscribers of each
// changed key; the change-notification behaviour is described with SqliteUserDefaults.
//
// The first subscribe() starts a thread with its own connection. It wakes on inotify
// events in the database's directory, on noteLocalWrite(), and every 5 s as a
// fallback (every 50 ms when inotify is unavailable), confirms other connections'
// commits with `PRAGMA data_version`, and compares each subscribed key's row with its
// snapshot. Callbacks run on that thread, one at a time; an exception thrown by one is
// swallowed.
//
// Create it with std::make_shared: the running thread holds a reference, which keeps the
// watcher alive when stop() is called from one of its own callbacks. All methods may be
// called from any thread.
class Watcher final : public std::enable_shared_from_this<Watcher> {
 public:
  Watcher(std::string databasePath, int busyTimeoutMs);
  ~Watcher();
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  // Registers `onChange` for `key`. `snapshot` is the key's row as the caller read it
  // just before (used when nobody watches the key yet), so that a change committed after
  // that read counts even if the thread has not looked at the key yet. Starts the thread
  // unless it runs; if it cannot be started (no file descriptors or threads left) the
  // subscription may never fire. Once the key is registered a callback may run and
  // destroy the store, so nothing but locals is used after that.
  std::unique_ptr<Subscription> subscribe(const std::string& key, std::optional<StoredRow> snapshot,
                                          std::function<void()> onChange);

  // `key` was committed through another connection of this process: its subscribers are
  // called even if the row compares equal by the time the thread looks (A -> B -> A).
  void noteLocalWrite(const std::string& key);

  // Stops the thread and joins it, after its running callback returns. Called from one
  // of its own callbacks it returns at once; the thread exits when that callback returns.
  // No callback starts after stop() has begun. Idempotent.
  void stop();

 private:
  // False when the thread cannot be started.
  bool ensureRunning();
  // Opens the thread's connection and statements; false when that fails.
  bool openConnection();
  // When the database file was replaced (a corrupt one moved aside), reads the new one
  // from now on. Thread only.
  void followReplacedFile(bool& rescan);
  void run();
  // Reads the pending inotify events; true when one concerns the database files.
  bool drainFileEvents();
  std::optional<std::int64_t> dataVersion();
  void collectChanges(std::optional<std::int64_t>& lastVersion, bool rescan,
                      std::set<std::string>& changed);
  void dispatch(const std::set<std::string>& changed);

  const std::string path_;
  const std::string directory_;
  const std::string fileName_;
  const int busyTimeoutMs_;

  const std::shared_ptr<Registry> registry_ = std::make_shared<Registry>();

  std::mutex threadMutex_;
  std::thread thread_;  // guarded by threadMutex_
  // Made before the thread starts and used only by it from then on.
  UniqueFd wakeFd_;
  UniqueFd inotifyFd_;
  sqlite::Connection db_;
  sqlite::Statement dataVersion_;
  sqlite::Statement selectRow_;
  files::FileIdentity openedFile_;  // what db_ was opened on
};

}  // namespace qv::defaults
