#include "service/CodeStore.h"

#include <cctype>

#include "service/Tokens.h"

namespace qv::service {
namespace {

// Long enough to type a name and click; short enough that a leaked code soon dies.
constexpr std::chrono::minutes codeLifetime{10};

std::string emailFor(const std::string& name) {
  std::string local;
  for (unsigned char c : name) {
    if (std::isalnum(c))
      local += static_cast<char>(std::tolower(c));
    else if (!local.empty() && local.back() != '.')
      local += '.';
  }
  while (!local.empty() && local.back() == '.') local.pop_back();
  return (local.empty() ? "user" : local) + "@quorvane.example";
}

}  // namespace

std::optional<std::string> CodeStore::issueCode(const std::string& challenge,
                                                const std::string& name) {
  auto code = randomToken(16);
  if (!code) return std::nullopt;
  std::lock_guard lock(mutex_);
  Clock::time_point now = Clock::now();
  std::erase_if(codes_, [now](const auto& entry) { return entry.second.expires <= now; });
  codes_[*code] = PendingCode{challenge, name, now + codeLifetime};
  return code;
}

std::optional<ServiceUser> CodeStore::redeem(const std::string& code, const std::string& verifier) {
  std::lock_guard lock(mutex_);
  auto found = codes_.find(code);
  if (found == codes_.end()) return std::nullopt;
  PendingCode pending = std::move(found->second);
  codes_.erase(found);
  if (pending.expires <= Clock::now()) return std::nullopt;
  auto challenge = s256Challenge(verifier);
  if (!challenge || *challenge != pending.challenge) return std::nullopt;

  auto user = userNamed(pending.name);
  auto auth = randomToken(32);
  auto csrf = randomToken(24);
  if (!user || !auth || !csrf) return std::nullopt;
  sessionsByAuth_[*auth] = Session{*csrf, pending.name};
  user->tokens = SessionTokens{*auth, *csrf};
  return user;
}

std::optional<ServiceUser> CodeStore::userForTokens(const std::string& auth,
                                                    const std::string& csrf) const {
  std::lock_guard lock(mutex_);
  auto session = sessionsByAuth_.find(auth);
  if (session == sessionsByAuth_.end() || session->second.csrf != csrf) return std::nullopt;
  auto user = usersByName_.find(session->second.userName);
  if (user == usersByName_.end()) return std::nullopt;
  ServiceUser result = user->second;
  result.tokens = SessionTokens{auth, csrf};
  return result;
}

std::optional<ServiceUser> CodeStore::anonymousUser(const std::optional<std::string>& containerId) {
  std::string container;
  if (containerId) {
    container = *containerId;
  } else {
    auto fresh = randomHex(16);
    if (!fresh) return std::nullopt;
    container = "ctr-" + *fresh;
  }
  std::lock_guard lock(mutex_);
  // The same container keeps the same anonymous identity, as analytics expect.
  std::string& id = anonymousIdsByContainer_[container];
  if (id.empty()) {
    auto suffix = randomHex(8);
    if (!suffix) {
      anonymousIdsByContainer_.erase(container);
      return std::nullopt;
    }
    id = "anon-" + *suffix;
  }
  ServiceUser user;
  user.id = id;
  user.anonymous = true;
  user.containerId = container;
  return user;
}

std::optional<ServiceUser> CodeStore::userNamed(const std::string& name) {
  auto found = usersByName_.find(name);
  if (found != usersByName_.end()) return found->second;
  auto id = randomHex(8);
  auto container = randomHex(16);
  if (!id || !container) return std::nullopt;
  ServiceUser user;
  user.id = "user-" + *id;
  user.email = emailFor(name);
  user.groups = {"users"};
  user.name = name;
  user.anonymous = false;
  user.containerId = "ctr-" + *container;
  usersByName_[name] = user;
  return user;
}

}  // namespace qv::service
