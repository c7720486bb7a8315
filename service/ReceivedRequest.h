#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qv::service {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One request as its client sent it: what the stand-in's request log and the tests'
// HTTPS server record.
struct ReceivedRequest {
  std::string method;
  std::string path;   // without the query, percent-decoded ("%2F" becomes "/")
  std::string query;  // the raw text after '?', empty when there is none
  // Names lower-cased; sorted by name, repeats in arrival order. The parser drops
  // headers with an empty value, so those never appear here.
  HeaderList headers;
  std::string body;
};

}  // namespace qv::service
