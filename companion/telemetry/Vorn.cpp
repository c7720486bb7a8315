#include "companion/telemetry/Vorn.h"

#include <utility>
#include <vector>

namespace qv {
namespace {

// The vocabulary of the events this application reports.
namespace MyObjects {
constexpr const char* app = "app";
}  // namespace MyObjects

namespace MyActions {
constexpr const char* start = "start";
}  // namespace MyActions

}  // namespace

Vorn::Vorn(std::string clientType, std::string clientVersion, Component component,
           std::string origin, std::string url, bool forceIsTest, bool isPingDisabled,
           VornServices services)
    : client(std::make_shared<VornClient>(std::move(origin), std::move(url), std::move(clientType),
                                          std::move(clientVersion), forceIsTest, isPingDisabled,
                                          std::move(services))),
      listeners(std::make_shared<MulticastDelegate<VornListener>>()),
      component(component) {}

void Vorn::track(const std::optional<std::string>& pageId,
                 const std::optional<std::string>& objectId,
                 const std::optional<std::string>& object, const std::optional<std::string>& action,
                 const std::optional<Json>& props, Completion completion) {
  Json dictionary = makeProps(pageId, objectId, object, action, props);
  std::string name = makeEventName(dictionary);
  client->track(name, dictionary, std::move(completion));
  listeners->invoke([&](VornListener& listener) { listener.didTrackEvent(name, dictionary); });
}

void Vorn::trackAppStart() {
  track(std::nullopt, std::nullopt, MyObjects::app, MyActions::start);
}

Json Vorn::makeProps(const std::optional<std::string>& pageId,
                     const std::optional<std::string>& objectId,
                     const std::optional<std::string>& object,
                     const std::optional<std::string>& action,
                     const std::optional<Json>& extra) const {
  Json dictionary = extra && extra->is_object() ? *extra : Json::object();
  dictionary[props.component] = std::string(toString(component));
  const std::pair<const std::string*, const std::optional<std::string>*> standard[] = {
      {&props.pageId, &pageId},
      {&props.objectId, &objectId},
      {&props.object, &object},
      {&props.action, &action}};
  for (const auto& [key, value] : standard) {
    if (*value) dictionary[*key] = **value;
  }
  return dictionary;
}

std::string Vorn::makeEventName(const Json& props) const {
  std::string joined;
  bool first = true;
  for (const std::string* key : {&this->props.objectId, &this->props.object, &this->props.action}) {
    auto it = props.find(*key);
    if (it == props.end() || !it->is_string()) continue;
    if (!first) joined += "-";
    joined += it->get<std::string>();
    first = false;
  }
  return std::string(toString(component)) + "/" + joined;
}

}  // namespace qv
