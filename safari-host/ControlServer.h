#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "ipc/Connection.h"
#include "platform/Json.h"

namespace qv::host {

// The control socket: companions and automation clients connect to a Unix socket in a
// private (0700) directory and send framed-JSON calls. Calls reach the handler on the
// main thread. Main thread only.
class CallGate;

class ControlServer {
 public:
  using Handler =
      std::function<void(const std::string& method, const Json& args, ipc::Responder responder)>;

  ControlServer(Handler handler, std::function<void(std::size_t clients)> onClientsChanged);
  // Stops listening, removes the socket file and disconnects every client.
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Listens at `path`, creating its directory 0700. Refuses a directory that is not this
  // user's with mode 0700 (see ipc/ControlSocket.h), and a socket another safari-host is
  // listening on. The error text when it cannot listen.
  std::optional<std::string> listen(const std::string& path);

 private:
  void accept();
  void clientClosed(std::uint64_t id);

  Handler handler_;
  std::function<void(std::size_t)> onClientsChanged_;
  std::string path_;
  int listenFd_ = -1;
  unsigned acceptSource_ = 0;
  std::uint64_t nextClientId_ = 1;
  // A client's calls reach the main thread at most this many at a time (see CallGate).
  static constexpr std::size_t kCallsInFlightPerClient = 32;
  struct Client {
    std::shared_ptr<ipc::Connection> connection;
    std::shared_ptr<CallGate> gate;
  };
  std::map<std::uint64_t, Client> clients_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace qv::host
