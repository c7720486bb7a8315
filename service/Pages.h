#pragma once

#include <string>

namespace qv::service {

// The HTML the service shows people. Every argument is escaped.
namespace pages {

// The sign-in form; submitting it posts to /signin/complete with the challenge.
std::string signIn(const std::string& clientId, const std::string& challenge,
                   const std::string& usePostMessage);
// A page that explains why the request could not be served.
std::string problem(const std::string& title, const std::string& detail);
// Shown in the login tab once the extension has finished signing in.
std::string signInSucceeded();
// What GET / shows: the roles this origin plays.
std::string index();

}  // namespace pages

std::string htmlEscape(const std::string& text);

}  // namespace qv::service
