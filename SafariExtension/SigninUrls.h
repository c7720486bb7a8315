#pragma once

#include <optional>
#include <string>

#include "Common/Deployment.h"

namespace qv {

// The service's pages the sign-in flow opens. Pure; any thread.
namespace SigninUrls {

// https + the web origin's host + "/signin", no query; absent when that is no URL.
std::optional<std::string> signinUrl(const Deployment& deployment);
// The web origin + "/extension-success?utm_medium=store&utm_source=safari".
std::string successUrl(const Deployment& deployment);
// The sign-in page for `challenge`, built from components with exactly the query items
// client_id=extension-safari, code_challenge, use_postmessage=true, in that order.
// Absent when the parts do not form a URL.
std::optional<std::string> makeSigninUrl(const Deployment& deployment,
                                         const std::string& challenge);

}  // namespace SigninUrls
}  // namespace qv
