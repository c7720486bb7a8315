#include "safari-host/ControlServer.h"

#include <glib-unix.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ipc/ControlSocket.h"
#include "platform/linux/system/MainContext.h"
#include "safari-host/CallGate.h"
#include "safari-host/Log.h"

namespace qv::host {

ControlServer::ControlServer(Handler handler,
                             std::function<void(std::size_t clients)> onClientsChanged)
    : handler_(std::move(handler)), onClientsChanged_(std::move(onClientsChanged)) {}

ControlServer::~ControlServer() {
  *alive_ = false;
  if (acceptSource_ != 0) g_source_remove(acceptSource_);
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    ::unlink(path_.c_str());
  }
  for (auto& [id, client] : clients_) {
    client.gate->close();
    client.connection->close();
  }
}

std::optional<std::string> ControlServer::listen(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return "socket path too long: " + path;
  // Anyone who can reach the socket can drive the browser.
  if (std::optional<std::string> problem = ipc::controlFolderProblem(path, /*create=*/true)) {
    return problem;
  }

  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe >= 0) {
    bool inUse = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    if (inUse) return "another safari-host is listening on " + path;
  }
  ::unlink(path.c_str());  // a socket left behind by a run that crashed

  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return std::string("socket: ") + std::strerror(errno);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 16) != 0) {
    std::string error = std::string("cannot listen on ") + path + ": " + std::strerror(errno);
    ::close(fd);
    return error;
  }
  listenFd_ = fd;
  path_ = path;
  acceptSource_ = g_unix_fd_add(
      fd, G_IO_IN,
      +[](int, GIOCondition, gpointer data) -> gboolean {
        static_cast<ControlServer*>(data)->accept();
        return G_SOURCE_CONTINUE;
      },
      this);
  return std::nullopt;
}

void ControlServer::accept() {
  int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != getuid()) {
    ::close(fd);
    return;
  }
  std::uint64_t id = nextClientId_++;
  std::weak_ptr<bool> alive = alive_;
  auto gate = std::make_shared<CallGate>(kCallsInFlightPerClient);
  ipc::Connection::Handlers handlers;
  handlers.onCall = [this, alive, gate](const std::string& method, const Json& args,
                                        ipc::Responder responder) {
    if (!gate->enter()) return;
    postToMain([this, alive, gate, method, args, responder] {
      std::shared_ptr<bool> running = alive.lock();
      if (running && *running) handler_(method, args, responder);
      gate->leave();
    });
  };
  handlers.onProtocolError = [gate](const std::string& description) {
    logError("control client broke the protocol: " + description);
    gate->close();  // its reader may be waiting for room
  };
  handlers.onNotice = [](const std::string& description) {
    logError("control client sent a message that was refused: " + description);
  };
  handlers.onClose = [this, alive, id] {
    postToMain([this, alive, id] {
      std::shared_ptr<bool> running = alive.lock();
      if (running && *running) clientClosed(id);
    });
  };
  clients_.emplace(id, Client{ipc::Connection::start(fd, std::move(handlers)), gate});
  if (onClientsChanged_) onClientsChanged_(clients_.size());
}

void ControlServer::clientClosed(std::uint64_t id) {
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  it->second.gate->close();
  clients_.erase(it);
  if (onClientsChanged_) onClientsChanged_(clients_.size());
}

}  // namespace qv::host
