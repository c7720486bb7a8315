#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qv::service {

// The PKCE S256 transformation: base64url(SHA-256(verifier)), unpadded.
std::optional<std::string> s256Challenge(std::string_view verifier);

// `byteCount` bytes from OpenSSL's generator, as base64url; absent when it fails.
std::optional<std::string> randomToken(std::size_t byteCount);

// `byteCount` bytes from OpenSSL's generator, as lower-case hex; absent when it fails.
std::optional<std::string> randomHex(std::size_t byteCount);

}  // namespace qv::service
