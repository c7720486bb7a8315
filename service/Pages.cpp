#include "service/Pages.h"

namespace qv::service {
namespace {

constexpr const char* style = R"CSS(
  :root { color-scheme: light; font-family: system-ui, sans-serif; }
  body { margin: 0; min-height: 100vh; display: grid; place-items: center;
         background: #f3f5f9; color: #1d2433; }
  main { width: min(360px, 90vw); padding: 32px; border-radius: 14px; background: #fff;
         box-shadow: 0 8px 30px rgba(29, 36, 51, 0.12); }
  h1 { margin: 0 0 8px; font-size: 22px; }
  p { margin: 0 0 20px; color: #4a5468; line-height: 1.45; }
  label { display: block; margin-bottom: 6px; font-size: 13px; color: #4a5468; }
  input[type=text] { box-sizing: border-box; width: 100%; padding: 10px 12px; margin-bottom: 20px;
         border: 1px solid #c9d1e0; border-radius: 8px; font-size: 15px; }
  button { width: 100%; padding: 11px; border: 0; border-radius: 8px; background: #3157d5;
           color: #fff; font-size: 15px; font-weight: 600; cursor: pointer; }
  button:hover { background: #2546b3; }
  .mark { font-size: 40px; line-height: 1; margin-bottom: 12px; }
  code { font-size: 13px; }
)CSS";

std::string page(const std::string& title, const std::string& body) {
  return "<!doctype html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
         htmlEscape(title) + "</title>\n<style>" + style + "</style>\n</head>\n<body>\n<main>\n" +
         body + "</main>\n</body>\n</html>\n";
}

std::string hidden(const std::string& name, const std::string& value) {
  return "<input type=\"hidden\" name=\"" + name + "\" value=\"" + htmlEscape(value) + "\">\n";
}

}  // namespace

std::string htmlEscape(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

namespace pages {

std::string signIn(const std::string& clientId, const std::string& challenge,
                   const std::string& usePostMessage) {
  return page("Sign in to Quorvane",
              "<h1>Sign in to Quorvane</h1>\n"
              "<p>Sign in to use the Quorvane assistant in Safari.</p>\n"
              "<form id=\"signin-form\" method=\"post\" action=\"/signin/complete\">\n" +
                  hidden("client_id", clientId) + hidden("code_challenge", challenge) +
                  hidden("use_postmessage", usePostMessage) +
                  "<label for=\"name\">Your name</label>\n"
                  "<input type=\"text\" id=\"name\" name=\"name\" value=\"Demo User\" "
                  "autocomplete=\"name\" maxlength=\"80\">\n"
                  "<button type=\"submit\" id=\"signin\">Sign in</button>\n</form>\n");
}

std::string problem(const std::string& title, const std::string& detail) {
  return page(title, "<h1>" + htmlEscape(title) + "</h1>\n<p>" + htmlEscape(detail) + "</p>\n");
}

std::string signInSucceeded() {
  return page("Signed in - Quorvane",
              "<div class=\"mark\">&#10003;</div>\n<h1 id=\"success\">You're signed in</h1>\n"
              "<p>Sign-in succeeded. The Quorvane assistant is ready in Safari; you can close "
              "this tab.</p>\n");
}

std::string index() {
  return page("Quorvane service",
              "<h1>Quorvane service</h1>\n<p>A local stand-in of the service: sign-in at "
              "<code>/signin</code>, user records, analytics, logs and the assistant's site "
              "configuration.</p>\n");
}

}  // namespace pages
}  // namespace qv::service
