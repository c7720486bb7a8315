#include "service/HttpServing.h"

#include <algorithm>
#include <cctype>

namespace qv::service {
namespace {

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

}  // namespace

ReceivedRequest receivedRequest(const httplib::Request& request) {
  ReceivedRequest received;
  received.method = request.method;
  received.path = request.path;
  std::size_t question = request.target.find('?');
  if (question != std::string::npos) received.query = request.target.substr(question + 1);
  for (const auto& [name, value] : request.headers) {
    std::string lower = lowerCase(name);
    // No client sent these: they are the library's record of the connection.
    if (lower == "remote_addr" || lower == "remote_port" || lower == "local_addr" ||
        lower == "local_port") {
      continue;
    }
    received.headers.emplace_back(std::move(lower), value);
  }
  received.body = request.body;
  return received;
}

void routeEveryRequest(httplib::Server& server, const httplib::Server::Handler& handler) {
  server.Get(".*", handler);
  server.Post(".*", handler);
  server.Put(".*", handler);
  server.Patch(".*", handler);
  server.Delete(".*", handler);
  server.Options(".*", handler);
}

}  // namespace qv::service
