// Who may talk over safari-host's control socket, seen from a client: a folder of this
// user's with mode 0700 and a socket of this user's, or safari-host counts as not running.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <optional>

#include "ipc/ControlSocket.h"
#include "platform/linux/safari/IpcSafariExtensionManager.h"
#include "platform/linux/system/GlibMainQueue.h"
#include "tests/support/MainLoop.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/TempDir.h"

namespace qv::ipc {
namespace {

using test::ScriptedPeer;
using test::TempDir;

TEST(ControlFolderTest, mustBeAPrivateDirectoryOfThisUser) {
  TempDir runtime;
  const std::string socket = runtime.path() + "/safari-host-1/control.sock";
  const std::string folder = runtime.path() + "/safari-host-1";
  EXPECT_TRUE(controlFolderProblem(socket, /*create=*/false)) << "a missing folder";
  EXPECT_EQ(controlFolderProblem(socket, /*create=*/true), std::nullopt);
  struct stat info {};
  ASSERT_EQ(stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u) << "made private";

  ASSERT_EQ(chmod(folder.c_str(), 0710), 0);
  EXPECT_EQ(controlFolderProblem(socket, true),
            folder + " has mode 710; it must be 700, private to its owner");
  ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
  if (getuid() == 0) {
    ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    EXPECT_EQ(controlFolderProblem(socket, true), folder + " belongs to another user");
    ASSERT_EQ(chown(folder.c_str(), 0, 0), 0);
  }
  // A link may point anywhere, someone else's folder included.
  std::filesystem::remove(folder);
  std::filesystem::create_directory_symlink(runtime.path(), folder);
  EXPECT_EQ(controlFolderProblem(socket, true), folder + " is not a directory");
}

// The companion's view: getState through the control socket at `path`.
struct StateAnswer {
  std::optional<SafariExtensionState> state;
  std::optional<SafariError> error;
};
StateAnswer getState(const std::string& path) {
  auto queue = std::make_shared<GlibMainQueue>();
  IpcSafariExtensionManager manager(path, queue, {});
  // The answer comes on the connection's reader thread.
  std::mutex mutex;
  std::optional<StateAnswer> answer;
  manager.getStateOfSafariExtension("com.x.ext", [&](auto state, auto error) {
    std::lock_guard lock(mutex);
    answer = StateAnswer{state, error};
  });
  EXPECT_TRUE(test::runUntil([&] {
    std::lock_guard lock(mutex);
    return answer.has_value();
  }));
  std::lock_guard lock(mutex);
  return answer.value_or(StateAnswer{});
}

TEST(ControlFolderTest, clientsTreatASocketOthersCouldReachAsNoBrowser) {
  TempDir runtime;
  const std::string folder = runtime.path() + "/safari-host-1";
  const std::string path = folder + "/control.sock";
  ScriptedPeer browser;
  browser.answer("extensions.getState", Json{{"isEnabled", true}});
  ASSERT_TRUE(browser.listen(path));

  ASSERT_NE(connectToControlSocket(path, {}), nullptr);
  StateAnswer fine = getState(path);
  ASSERT_TRUE(fine.state) << (fine.error ? fine.error->description : "");
  EXPECT_TRUE(fine.state->isEnabled);

  // Another user could have put the listener there: nobody is asked.
  ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
  EXPECT_EQ(connectToControlSocket(path, {}), nullptr);
  // As with the browser closed: the stored choice answers (none here), not the listener.
  StateAnswer refused = getState(path);
  EXPECT_EQ(refused.state, SafariExtensionState{false});
  EXPECT_FALSE(refused.error);
  EXPECT_EQ(browser.callsOf("extensions.getState").size(), 1u);
}

}  // namespace
}  // namespace qv::ipc
