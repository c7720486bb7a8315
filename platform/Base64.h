#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qv {

// Base64 (RFC 4648), by OpenSSL. Pure; any thread.

// Standard alphabet ("+", "/"), "=" padding, no line breaks.
std::string base64Encode(std::span<const std::uint8_t> bytes);
std::string base64Encode(std::string_view bytes);

// The URL- and file-safe alphabet ("-", "_") without padding (section 5).
std::string base64UrlEncode(std::span<const std::uint8_t> bytes);
std::string base64UrlEncode(std::string_view bytes);

// The bytes standard base64 `text` encodes (line breaks allowed); absent when it is not
// base64 or is longer than `maxTextSize`.
std::optional<std::string> base64Decode(std::string_view text, std::size_t maxTextSize);

}  // namespace qv
