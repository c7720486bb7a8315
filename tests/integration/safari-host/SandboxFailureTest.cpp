// A machine where WebKit's sandbox cannot start (a plain chroot, an unprivileged
// container): the programs that show pages say so in one line and exit, instead of
// aborting with a GLib error. The test plays such a machine with a bubblewrap that fails
// as it does there, bound over the real one inside a mount namespace of its own.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;

// `program` (and its arguments) on a machine whose bubblewrap cannot set up a sandbox;
// absent when this machine cannot make the mount namespace that plays it.
std::optional<CommandResult> runWithoutSandboxSupport(const TempDir& dir,
                                                      const std::vector<std::string>& program) {
  std::string fake = dir.write("bwrap",
                               "#!/bin/sh\n"
                               "echo 'bwrap: Failed to make / slave: Invalid argument' >&2\n"
                               "exit 1\n");
  std::vector<std::string> argv = {"unshare",
                                   "-m",
                                   "sh",
                                   "-c",
                                   "chmod 755 \"$0\" && mount --bind \"$0\" /usr/bin/bwrap && "
                                   "exec env -u WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS \"$@\"",
                                   fake};
  argv.insert(argv.end(), program.begin(), program.end());
  CommandResult result = runCommand(argv, {"XDG_RUNTIME_DIR=" + dir.path()}, 60s);
  if (result.err.find("unshare") != std::string::npos ||
      result.err.find("mount:") != std::string::npos) {
    return std::nullopt;
  }
  return result;
}

TEST(WebKitSandboxFailure, IsOneClearLineAndAnExitNotAnAbort) {
  TempDir dir;
  for (const std::vector<std::string>& program : std::vector<std::vector<std::string>>{
           {QV_WEBKIT_PROBE_PATH}, {QV_SAFARI_HOST_PATH, "--automation"}}) {
    std::optional<CommandResult> result = runWithoutSandboxSupport(dir, program);
    if (!result) GTEST_SKIP() << "no mount namespace here to play a machine without one";
    EXPECT_EQ(result->exitCode, 3) << program[0] << ":\n" << result->err;
    EXPECT_NE(result->err.find("WebKit cannot start its web process here"), std::string::npos)
        << result->err;
    EXPECT_NE(result->err.find("QV_WEBKIT_SANDBOX=off"), std::string::npos) << result->err;
    EXPECT_EQ(result->err.find("ERROR **"), std::string::npos) << "GLib's abort came through";
  }
}

}  // namespace
}  // namespace qv::test
