#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

struct QueryItem {
  std::string name;
  std::optional<std::string> value;  // absent for an item without "="

  bool operator==(const QueryItem&) const = default;
};

// The parts of a URL, parsed and assembled with curl's URL API (any scheme, including
// custom ones such as quorvane.extension). A pure value; no I/O.
struct UrlComponents {
  std::optional<std::string> scheme;
  std::optional<std::string> host;
  std::optional<int> port;
  std::string path;  // "/" when the URL has a host and no path
  // Absent when the URL has no query; names and values are percent-decoded, "+" is
  // kept as is. The raw query is split before decoding, so "%26" stays inside a value.
  std::optional<std::vector<QueryItem>> queryItems;
  std::optional<std::string> fragment;

  // Absent when `text` is not an absolute URL.
  static std::optional<UrlComponents> parse(std::string_view text);
  // "https://" + hostAndPort + path, where hostAndPort is "host" or "host:port".
  static std::optional<UrlComponents> https(std::string_view hostAndPort, std::string_view path);

  // The URL text; query names and values are percent-encoded except RFC 3986's
  // unreserved characters. Absent when the parts do not form a URL.
  std::optional<std::string> string() const;
};

// `url` without its query and fragment, for log lines: a query may carry a sign-in code,
// a token or what a person searched for.
std::string withoutQuery(std::string_view url);

}  // namespace qv
