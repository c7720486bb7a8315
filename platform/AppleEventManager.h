#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace qv {

// A four-character code as the system's events use them ('GURL' is 0x4755524C).
using FourCharCode = std::uint32_t;

constexpr FourCharCode fourCharCode(const char (&code)[5]) {
  return (FourCharCode(static_cast<unsigned char>(code[0])) << 24) |
         (FourCharCode(static_cast<unsigned char>(code[1])) << 16) |
         (FourCharCode(static_cast<unsigned char>(code[2])) << 8) |
         FourCharCode(static_cast<unsigned char>(code[3]));
}

inline constexpr FourCharCode kInternetEventClass = fourCharCode("GURL");
inline constexpr FourCharCode kAEGetURL = fourCharCode("GURL");
inline constexpr FourCharCode keyDirectObject = fourCharCode("----");

// An event (or a reply) with its parameters as text.
struct AppleEventDescriptor {
  std::map<FourCharCode, std::string> parameters;

  // The parameter under `keyword` as a string; absent when there is none.
  std::optional<std::string> paramString(FourCharCode keyword) const {
    auto it = parameters.find(keyword);
    if (it == parameters.end()) return std::nullopt;
    return it->second;
  }
};

// Routes the system's events to their handlers, one handler per (class, id). Main
// thread only; handlers run on the main thread.
class AppleEventManager {
 public:
  using Handler =
      std::function<void(const AppleEventDescriptor& event, AppleEventDescriptor& replyEvent)>;

  virtual ~AppleEventManager() = default;
  // Replaces any handler registered for the same class and id.
  virtual void setEventHandler(Handler handler, FourCharCode eventClass, FourCharCode eventID) = 0;
};

}  // namespace qv
