#pragma once

#include <memory>
#include <optional>
#include <string>

namespace qv {

class SharedData;

// Who the current user is, as far as log records are concerned. Thread-safe.
class PartialUserInfoProvider {
 public:
  virtual ~PartialUserInfoProvider() = default;
  virtual std::optional<std::string> containerId() const = 0;
  virtual std::optional<std::string> userId() const = 0;
};

// Reads the shared user afresh on every access; without one, the container id falls
// back to the companion's container id.
class SharedUserInfoProvider final : public PartialUserInfoProvider {
 public:
  explicit SharedUserInfoProvider(std::shared_ptr<SharedData> sharedData);

  std::optional<std::string> containerId() const override;
  std::optional<std::string> userId() const override;

 private:
  std::shared_ptr<SharedData> sharedData_;
};

}  // namespace qv
