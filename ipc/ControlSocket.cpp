#include "ipc/ControlSocket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux/system/Files.h"
#include "platform/linux/system/UniqueFd.h"
#include "platform/linux/system/XdgPaths.h"

namespace qv::ipc {

std::optional<std::string> controlFolderProblem(const std::string& socketPath, bool create) {
  const std::string folder = files::directoryOf(socketPath);
  if (create && ::access(folder.c_str(), F_OK) != 0 && errno == ENOENT) {
    xdg::makeDirectories(folder, 0700);
  }
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) {
    return folder + ": " + std::strerror(errno);
  }
  if (!S_ISDIR(info.st_mode)) return folder + " is not a directory";
  if (info.st_uid != ::getuid()) return folder + " belongs to another user";
  if ((info.st_mode & 07777) != 0700) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(info.st_mode & 07777));
    return folder + " has mode " + mode + "; it must be 700, private to its owner";
  }
  return std::nullopt;
}

std::shared_ptr<Connection> connectToControlSocket(const std::string& path,
                                                   Connection::Handlers handlers) {
  if (controlFolderProblem(path, /*create=*/false)) return nullptr;
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) || info.st_uid != ::getuid()) {
    return nullptr;
  }
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return nullptr;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid() ||
      ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return nullptr;
  }
  // The socket may have been replaced between the check and the connect.
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
      peer.uid != ::getuid()) {
    return nullptr;
  }
  return Connection::start(fd.release(), std::move(handlers));
}

}  // namespace qv::ipc
