#include "platform/linux/store/SqliteSecretStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "tests/support/TempDir.h"

namespace qv {
namespace {

SecretQuery item(std::string account,
                 SecretQuery::Return returnType = SecretQuery::Return::nothing) {
  return SecretQuery{"com.quorvane.safari", "group.quorvane", std::move(account), true, returnType};
}

// Whether the store finds `account` and answers exactly `expected` for `returnType`.
::testing::AssertionResult answers(SqliteSecretStore& store, const std::string& account,
                                   const Bytes& expected,
                                   SecretQuery::Return returnType = SecretQuery::Return::data) {
  std::optional<Bytes> result;
  int status = store.copyMatching(item(account, returnType), result);
  if (status != SecStatus::success) {
    return ::testing::AssertionFailure() << account << ": status " << status;
  }
  if (result != expected) {
    return ::testing::AssertionFailure() << account << ": " << ::testing::PrintToString(result);
  }
  return ::testing::AssertionSuccess();
}

unsigned modeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST(SqliteSecretStoreTest, AddLookUpAndDelete) {
  test::TempDir dir;
  SqliteSecretStore store(dir.path() + "/secrets.sqlite3");
  std::optional<Bytes> result;

  EXPECT_EQ(store.copyMatching(item("token", SecretQuery::Return::data), result),
            SecStatus::itemNotFound);
  EXPECT_FALSE(result.has_value());
  EXPECT_EQ(store.add(item("token"), toBytes("secret-1")), SecStatus::success);
  EXPECT_EQ(store.add(item("token"), toBytes("secret-2")), SecStatus::duplicateItem);

  EXPECT_TRUE(answers(store, "token", toBytes("secret-1")));
  result = toBytes("stale");
  EXPECT_EQ(store.copyMatching(item("token"), result), SecStatus::success);
  EXPECT_FALSE(result.has_value());

  EXPECT_EQ(store.deleteItems(item("token")), SecStatus::success);
  EXPECT_EQ(store.deleteItems(item("token")), SecStatus::itemNotFound);
  EXPECT_EQ(store.copyMatching(item("token", SecretQuery::Return::data), result),
            SecStatus::itemNotFound);
  EXPECT_EQ(store.add(item("token"), toBytes("secret-3")), SecStatus::success);
}

TEST(SqliteSecretStoreTest, EveryKeyAttributeSeparatesItems) {
  test::TempDir dir;
  SqliteSecretStore store(dir.path() + "/secrets.sqlite3");
  SecretQuery base = item("user");
  SecretQuery otherService = base;
  otherService.service = "other";
  SecretQuery otherGroup = base;
  otherGroup.accessGroup = "group.other";
  SecretQuery otherAccount = base;
  otherAccount.account = "user2";
  SecretQuery local = base;
  local.synchronizable = false;

  ASSERT_EQ(store.add(base, toBytes("base")), SecStatus::success);
  std::optional<Bytes> result;
  for (SecretQuery query : {otherService, otherGroup, otherAccount, local}) {
    query.returnType = SecretQuery::Return::data;
    EXPECT_EQ(store.copyMatching(query, result), SecStatus::itemNotFound)
        << query.service << query.accessGroup << query.account;
    EXPECT_EQ(store.deleteItems(query), SecStatus::itemNotFound);
    EXPECT_EQ(store.add(query, toBytes("own")), SecStatus::success);
  }
  EXPECT_TRUE(answers(store, "user", toBytes("base")));
}

TEST(SqliteSecretStoreTest, DataIsKeptByteForByte) {
  test::TempDir dir;
  SqliteSecretStore store(dir.path() + "/secrets.sqlite3");
  Bytes binary{0x00, 0xff, 0x10, 0x00, 0x7f};
  ASSERT_EQ(store.add(item("binary"), binary), SecStatus::success);
  ASSERT_EQ(store.add(item("empty"), Bytes()), SecStatus::success);
  EXPECT_TRUE(answers(store, "binary", binary));
  EXPECT_TRUE(answers(store, "empty", Bytes()));
}

TEST(SqliteSecretStoreTest, PersistentReferenceIsAnOpaqueStableId) {
  test::TempDir dir;
  std::string path = dir.path() + "/secrets.sqlite3";
  std::optional<Bytes> first;
  {
    SqliteSecretStore store(path);
    ASSERT_EQ(store.add(item("token"), toBytes("the-data")), SecStatus::success);
    ASSERT_EQ(store.add(item("other"), toBytes("the-data")), SecStatus::success);
    ASSERT_EQ(store.copyMatching(item("token", SecretQuery::Return::persistentRef), first),
              SecStatus::success);
    ASSERT_TRUE(first.has_value());
    EXPECT_NE(*first, toBytes("the-data"));
    std::string ref = toString(*first);
    EXPECT_EQ(ref.size(), 38u);
    EXPECT_EQ(ref.rfind("qvref-", 0), 0u) << ref;
    EXPECT_EQ(ref.find_first_not_of("0123456789abcdef", 6), std::string::npos) << ref;

    ASSERT_TRUE(answers(store, "token", *first, SecretQuery::Return::persistentRef));
    std::optional<Bytes> other;
    ASSERT_EQ(store.copyMatching(item("other", SecretQuery::Return::persistentRef), other),
              SecStatus::success);
    EXPECT_NE(other, first);  // same data, different item
  }
  // Items, data and references survive into a new instance.
  SqliteSecretStore reopened(path);
  EXPECT_TRUE(answers(reopened, "token", *first, SecretQuery::Return::persistentRef));
  EXPECT_TRUE(answers(reopened, "token", toBytes("the-data")));
  EXPECT_EQ(reopened.add(item("token"), toBytes("again")), SecStatus::duplicateItem);
}

TEST(SqliteSecretStoreTest, FileIsPrivateToTheUser) {
  test::TempDir dir;
  test::ScopedEnv dataHome("XDG_DATA_HOME", dir.path() + "/data");
  SqliteSecretStore store;
  EXPECT_EQ(store.path(), dir.path() + "/data/quorvane/secrets.sqlite3");
  ASSERT_EQ(store.add(item("token"), toBytes("x")), SecStatus::success);
  EXPECT_EQ(modeOf(store.path()), 0600u);
  EXPECT_EQ(modeOf(dir.path() + "/data/quorvane"), 0700u);
  EXPECT_EQ(modeOf(dir.path() + "/data"), 0700u);

  // A file left readable by others is narrowed on open.
  std::string loose = dir.write("loose/secrets.sqlite3", "");
  ASSERT_EQ(chmod(loose.c_str(), 0644), 0);
  SqliteSecretStore narrowed(loose);
  EXPECT_EQ(narrowed.add(item("token"), toBytes("x")), SecStatus::success);
  EXPECT_EQ(modeOf(loose), 0600u);
}

TEST(SqliteSecretStoreTest, UnusableFileGivesIoError) {
  test::TempDir dir;
  std::filesystem::create_directories(dir.path() + "/is-a-directory");
  SqliteSecretStore store(dir.path() + "/is-a-directory");
  std::optional<Bytes> result;
  EXPECT_EQ(store.add(item("token"), toBytes("x")), SecStatus::ioError);
  EXPECT_EQ(store.copyMatching(item("token", SecretQuery::Return::data), result),
            SecStatus::ioError);
  EXPECT_EQ(store.deleteItems(item("token")), SecStatus::ioError);

  std::string garbage = dir.write("garbage.sqlite3", std::string(4096, 'x'));
  SqliteSecretStore notADatabase(garbage);
  EXPECT_EQ(notADatabase.add(item("token"), toBytes("x")), SecStatus::ioError);
}

TEST(SqliteSecretStoreTest, ConcurrentCallersAllSucceed) {
  test::TempDir dir;
  std::string path = dir.path() + "/secrets.sqlite3";
  SqliteSecretStore shared(path);
  SqliteSecretStore secondConnection(path);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      SqliteSecretStore& store = t % 2 == 0 ? shared : secondConnection;
      for (int i = 0; i < 25; ++i) {
        std::string account = std::to_string(t) + "-" + std::to_string(i);
        std::optional<Bytes> result;
        if (store.add(item(account), toBytes(account)) != SecStatus::success ||
            store.copyMatching(item(account, SecretQuery::Return::data), result) !=
                SecStatus::success ||
            result != toBytes(account)) {
          ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace qv
