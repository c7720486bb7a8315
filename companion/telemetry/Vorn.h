#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Common/AppInfo.h"
#include "companion/telemetry/MulticastDelegate.h"
#include "companion/telemetry/VornClient.h"
#include "platform/Json.h"

namespace qv {

// The dictionary keys under which the standard event values are reported.
struct Props {
  std::string component = "component";
  std::string pageId = "pageId";
  std::string objectId = "objectId";
  std::string object = "object";
  std::string action = "action";
};

// An in-process observer of tracked events. Called on the thread that tracks (the main
// thread), after the event went to the client.
class VornListener {
 public:
  virtual ~VornListener() = default;
  virtual void didTrackEvent(const std::string& name, const Json& props) = 0;
};

// The facade through which the application reports what happened: it names the event,
// builds its properties, hands both to the client and tells the listeners. A value:
// copies share the same client and listener set. Main-queue confined, like its client.
class Vorn {
 public:
  using Completion = VornClient::Completion;

  // Creates the client (which may queue a due ping).
  Vorn(std::string clientType, std::string clientVersion, Component component, std::string origin,
       std::string url, bool forceIsTest, bool isPingDisabled, VornServices services);

  // `props` (extra properties) is a JSON object or absent; a standard value that is
  // given always wins over an extra property of the same key.
  void track(const std::optional<std::string>& pageId, const std::optional<std::string>& objectId,
             const std::optional<std::string>& object, const std::optional<std::string>& action,
             const std::optional<Json>& props = std::nullopt, Completion completion = nullptr);
  // Reports "app" "start".
  void trackAppStart();

  // The property dictionary of an event: the extra properties, overwritten by the
  // component and by each standard value that is present.
  Json makeProps(const std::optional<std::string>& pageId,
                 const std::optional<std::string>& objectId,
                 const std::optional<std::string>& object, const std::optional<std::string>& action,
                 const std::optional<Json>& extra) const;
  // The component, "/", and the string values of object id, object and action joined
  // with "-".
  std::string makeEventName(const Json& props) const;

  std::shared_ptr<VornClient> client;
  std::shared_ptr<MulticastDelegate<VornListener>> listeners;
  Props props;
  Component component;
};

}  // namespace qv
