#include "safari-host/AddressText.h"

#include <glib.h>

#include <algorithm>
#include <array>
#include <cctype>

namespace qv::host {
namespace {

std::string trimmed(const std::string& text) {
  auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
  auto begin = std::find_if_not(text.begin(), text.end(), isSpace);
  auto end = std::find_if_not(text.rbegin(), std::string::const_reverse_iterator(begin), isSpace);
  return std::string(begin, end.base());
}

bool hasExplicitScheme(const std::string& text) {
  if (text.find("://") != std::string::npos) return true;
  // Schemes without an authority part.
  static constexpr std::array<std::string_view, 4> kOpaque = {
      "about:", "data:", "mailto:", "blob:"};
  return std::any_of(kOpaque.begin(), kOpaque.end(), [&](std::string_view prefix) {
    return g_ascii_strncasecmp(text.c_str(), prefix.data(), prefix.size()) == 0;
  });
}

bool isLocalHost(const std::string& text) {
  std::string host = text.substr(0, text.find_first_of("/?#"));
  if (!host.empty() && host.front() == '[') return true;  // IPv6 literal
  std::size_t colon = host.rfind(':');
  if (colon != std::string::npos) host.resize(colon);
  if (g_ascii_strcasecmp(host.c_str(), "localhost") == 0) return true;
  return g_hostname_is_ip_address(host.c_str());
}

}  // namespace

std::optional<std::string> urlFromAddressText(const std::string& text) {
  std::string address = trimmed(text);
  if (address.empty()) return std::nullopt;
  if (std::any_of(address.begin(), address.end(),
                  [](unsigned char c) { return std::isspace(c) != 0 || c < 0x20; })) {
    return std::nullopt;
  }
  if (!hasExplicitScheme(address)) {
    address = (isLocalHost(address) ? "http://" : "https://") + address;
  }
  if (!g_uri_is_valid(address.c_str(), G_URI_FLAGS_PARSE_RELAXED, nullptr)) return std::nullopt;
  return address;
}

}  // namespace qv::host
