#include "tests/support/SilentServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace qv::test {

SilentServer::SilentServer() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::listen(fd_.get(), 16), 0);  // the kernel completes handshakes; nobody reads
  EXPECT_EQ(::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
  port_ = ntohs(address.sin_port);
}

std::string SilentServer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

}  // namespace qv::test
