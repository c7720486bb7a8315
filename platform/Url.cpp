#include "platform/Url.h"

#include <curl/curl.h>

#include <charconv>
#include <memory>

namespace qv {
namespace {

struct CurlUrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

std::optional<std::string> getPart(CURLU* url, CURLUPart part) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, 0) != CURLUE_OK || text == nullptr) return std::nullopt;
  std::string result(text);
  curl_free(text);
  return result;
}

std::string percentDecode(std::string_view text) {
  if (text.empty()) return {};  // curl reads a zero length as "up to the NUL"
  int length = 0;
  char* decoded = curl_easy_unescape(nullptr, text.data(), static_cast<int>(text.size()), &length);
  if (decoded == nullptr) return std::string(text);
  std::string result(decoded, static_cast<std::size_t>(length));
  curl_free(decoded);
  return result;
}

std::string percentEncode(std::string_view text) {
  if (text.empty()) return {};
  char* encoded = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
  if (encoded == nullptr) return {};
  std::string result(encoded);
  curl_free(encoded);
  return result;
}

std::vector<QueryItem> splitQuery(std::string_view query) {
  std::vector<QueryItem> items;
  if (query.empty()) return items;
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    std::string_view item = query.substr(start, end - start);
    std::size_t equals = item.find('=');
    if (equals == std::string_view::npos) {
      items.push_back({percentDecode(item), std::nullopt});
    } else {
      items.push_back(
          {percentDecode(item.substr(0, equals)), percentDecode(item.substr(equals + 1))});
    }
    start = end + 1;
  }
  return items;
}

}  // namespace

std::optional<UrlComponents> UrlComponents::parse(std::string_view text) {
  CurlUrl url(curl_url());
  if (!url) return std::nullopt;
  std::string copy(text);
  if (curl_url_set(url.get(), CURLUPART_URL, copy.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return std::nullopt;
  }
  UrlComponents parts;
  parts.scheme = getPart(url.get(), CURLUPART_SCHEME);
  parts.host = getPart(url.get(), CURLUPART_HOST);
  if (auto port = getPart(url.get(), CURLUPART_PORT)) {
    int number = 0;
    auto [end, error] = std::from_chars(port->data(), port->data() + port->size(), number);
    if (error == std::errc() && end == port->data() + port->size()) parts.port = number;
  }
  parts.path = getPart(url.get(), CURLUPART_PATH).value_or("");
  if (auto query = getPart(url.get(), CURLUPART_QUERY)) parts.queryItems = splitQuery(*query);
  parts.fragment = getPart(url.get(), CURLUPART_FRAGMENT);
  return parts;
}

std::optional<UrlComponents> UrlComponents::https(std::string_view hostAndPort,
                                                  std::string_view path) {
  if (hostAndPort.find_first_of("/?#@") != std::string_view::npos) return std::nullopt;
  auto parts = parse("https://" + std::string(hostAndPort));
  if (!parts || !parts->host || parts->host->empty()) return std::nullopt;
  parts->path = std::string(path);
  return parts;
}

std::optional<std::string> UrlComponents::string() const {
  CurlUrl url(curl_url());
  if (!url || !scheme || !host) return std::nullopt;
  const unsigned flags = CURLU_NON_SUPPORT_SCHEME;
  if (curl_url_set(url.get(), CURLUPART_SCHEME, scheme->c_str(), flags) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_HOST, host->c_str(), 0) != CURLUE_OK) {
    return std::nullopt;
  }
  if (port &&
      curl_url_set(url.get(), CURLUPART_PORT, std::to_string(*port).c_str(), 0) != CURLUE_OK) {
    return std::nullopt;
  }
  if (!path.empty() && curl_url_set(url.get(), CURLUPART_PATH, path.c_str(), 0) != CURLUE_OK) {
    return std::nullopt;
  }
  if (fragment && curl_url_set(url.get(), CURLUPART_FRAGMENT, fragment->c_str(), 0) != CURLUE_OK) {
    return std::nullopt;
  }
  std::optional<std::string> text = getPart(url.get(), CURLUPART_URL);
  if (!text || !queryItems) return text;
  // curl would rewrite the escapes in lower case, so the query goes in by hand, before
  // any fragment.
  std::string query = "?";
  for (const QueryItem& item : *queryItems) {
    if (query.size() > 1) query += '&';
    query += percentEncode(item.name);
    if (item.value) query += '=' + percentEncode(*item.value);
  }
  std::size_t hash = text->find('#');
  text->insert(hash == std::string::npos ? text->size() : hash, query);
  return text;
}

std::string withoutQuery(std::string_view url) {
  return std::string(url.substr(0, url.find_first_of("?#")));
}

}  // namespace qv
