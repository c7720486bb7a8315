#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace qv::service {

struct SessionTokens {
  std::string auth;
  std::string csrf;
};

// A user record as the service answers it.
struct ServiceUser {
  std::string id;
  std::string email;
  std::vector<std::string> groups;
  std::string name;
  bool anonymous = true;
  bool isTest = false;
  std::string containerId;
  std::optional<SessionTokens> tokens;

  nlohmann::json toJson() const {
    nlohmann::json record = {{"id", id},
                             {"email", email},
                             {"groups", groups},
                             {"name", name},
                             {"anonymous", anonymous},
                             {"isTest", isTest},
                             {"containerId", containerId}};
    if (tokens) record["tokens"] = {{"auth", tokens->auth}, {"csrf", tokens->csrf}};
    return record;
  }
};

}  // namespace qv::service
