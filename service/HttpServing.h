#pragma once

#include <httplib.h>

#include "service/ReceivedRequest.h"

// What the service stand-in and the tests' HTTPS server share about serving with
// cpp-httplib.
namespace qv::service {

// The request as its client sent it, without the connection details (remote_addr,
// local_port, ...) that the library files among the headers.
ReceivedRequest receivedRequest(const httplib::Request& request);

// Hands requests of every method, on every path, to `handler`, which then answers
// unknown paths and methods itself.
void routeEveryRequest(httplib::Server& server, const httplib::Server::Handler& handler);

}  // namespace qv::service
