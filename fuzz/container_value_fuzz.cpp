// Stored bytes of any shape must read as a value or as absent, never crash; a value
// that reads back must survive a write and another read unchanged.
#include <cstdint>
#include <cstdlib>

#include "Common/ContainerValue.h"
#include "Common/SharedData.h"

namespace {

class BytesContainer final : public qv::DataContainer {
 public:
  std::optional<qv::Bytes> get(const std::string&) override { return bytes; }
  void set(const std::optional<qv::Bytes>& value, const std::string&) override { bytes = value; }
  std::unique_ptr<qv::Unsubscriber> subscribe(const std::string&, std::function<void()>) override {
    return std::make_unique<qv::Unsubscriber>();
  }
  std::optional<qv::Bytes> bytes;
};

template <typename T>
void check(const std::shared_ptr<BytesContainer>& container, const qv::Bytes& input) {
  container->bytes = input;
  qv::ContainerValue<T> value{container, "key", T{}};
  std::optional<T> decoded = value.optionalValue();
  if (!decoded) return;
  value.setValue(*decoded);
  if (value.optionalValue() != decoded) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qv::Bytes input(data, data + size);
  auto container = std::make_shared<BytesContainer>();
  check<std::optional<qv::UserInfo>>(container, input);
  check<std::optional<std::string>>(container, input);
  check<std::optional<qv::OAuthExchangeMessage>>(container, input);
  check<std::optional<bool>>(container, input);
  return 0;
}
