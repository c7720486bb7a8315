#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ipc/Connection.h"

namespace qv::ipc {

// Who may talk over safari-host's control socket: only this user's processes. Its folder
// must be a directory of this user's with mode 0700, and the socket must be this user's,
// on both ends; otherwise another local user could listen in place of the browser (and
// receive sign-in codes) or drive it.

// Why the folder of the socket at `socketPath` may not be used; none when it may. With
// `create`, a missing folder is first created with mode 0700 (its parents as needed).
std::optional<std::string> controlFolderProblem(const std::string& socketPath, bool create);

// Connects to the control socket at `path` after checking its folder and its owner, and
// then that the listening peer runs as this user. Null when any check fails or nothing
// listens there: to a client, all of these mean that safari-host is not running.
std::shared_ptr<Connection> connectToControlSocket(const std::string& path,
                                                   Connection::Handlers handlers);

}  // namespace qv::ipc
