#include <gtest/gtest.h>

#include "Common/Keychain.h"
#include "platform/testing/InMemorySecretStore.h"

namespace qv {
namespace {

using Access = Keychain::Access;

class KeychainTest : public ::testing::Test {
 protected:
  std::shared_ptr<testing::InMemorySecretStore> store =
      std::make_shared<testing::InMemorySecretStore>();
  Keychain keychain{"service", "group", store};
};

TEST_F(KeychainTest, setReplacesTheItemAndGetReturnsDataOrReference) {
  EXPECT_TRUE(keychain.set(toBytes("first"), "k", Access::accessibleAlways));
  EXPECT_TRUE(keychain.set(toBytes("second"), "k", Access::accessibleWhenUnlocked));
  EXPECT_EQ(store->itemCount(), 1u);
  EXPECT_EQ(keychain.getData("k", false), toBytes("second"));

  std::optional<Bytes> reference = keychain.getData("k", true);
  ASSERT_TRUE(reference);
  EXPECT_NE(*reference, toBytes("second"));
  EXPECT_EQ(keychain.getData("missing", false), std::nullopt);
  EXPECT_EQ(keychain.getData("missing", true), std::nullopt);
}

TEST_F(KeychainTest, removeSucceedsWhetherOrNotTheItemExisted) {
  EXPECT_TRUE(keychain.remove("never"));
  keychain.set(toBytes("x"), "k", Access::accessibleAlways);
  EXPECT_TRUE(keychain.remove("k"));
  EXPECT_EQ(keychain.getData("k", false), std::nullopt);
}

TEST_F(KeychainTest, settingAbsentDataRemovesTheItemButReportsFalse) {
  keychain.set(toBytes("x"), "k", Access::accessibleAlways);
  EXPECT_FALSE(keychain.set(std::nullopt, "k", Access::accessibleAlways));
  EXPECT_EQ(store->itemCount(), 0u);
  EXPECT_FALSE(keychain.set(std::nullopt, "k", Access::accessibleAlways));
}

TEST_F(KeychainTest, aFailedDeleteKeepsTheOldItemAndAddsNothing) {
  keychain.set(toBytes("old"), "k", Access::accessibleAlways);
  store->setDeleteStatus(SecStatus::ioError);
  EXPECT_FALSE(keychain.set(toBytes("new"), "k", Access::accessibleAlways));
  EXPECT_FALSE(keychain.remove("k"));
  store->setDeleteStatus(SecStatus::success);
  EXPECT_EQ(keychain.getData("k", false), toBytes("old"));
}

TEST_F(KeychainTest, itemsAreSeparatedByServiceAndAccessGroup) {
  Keychain otherGroup{"service", "other", store};
  keychain.set(toBytes("mine"), "k", Access::accessibleAlways);
  EXPECT_EQ(otherGroup.getData("k", false), std::nullopt);
}

}  // namespace
}  // namespace qv
