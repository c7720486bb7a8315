#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "SafariExtension/PageRegistry.h"
#include "platform/testing/FakeBrowser.h"

namespace qv {
namespace {

using testing::FakeBrowser;

TEST(PageRegistryTest, registersReplacesAndUnregisters) {
  FakeBrowser browser;
  auto tab = browser.addWindow()->addTab("https://a.example/");
  auto first = tab->page();
  auto second = tab->showPage("https://b.example/");
  PageRegistry registry;

  EXPECT_EQ(registry.lookup("p1"), nullptr);
  registry.registerPage("p1", first);
  registry.registerPage("p2", first);
  registry.registerPage("p1", second);  // the later page wins
  EXPECT_EQ(registry.lookup("p1"), second);
  EXPECT_EQ(registry.lookup("p2"), first);
  EXPECT_EQ(registry.allPages().size(), 2u);

  registry.unregisterPage("p1");
  registry.unregisterPage("never-seen");
  EXPECT_EQ(registry.lookup("p1"), nullptr);
  EXPECT_EQ(registry.allPages(), (std::vector<std::shared_ptr<SafariPage>>{first}));

  registry.registerPage("p3", nullptr);
  EXPECT_EQ(registry.lookup("p3"), nullptr);
  EXPECT_EQ(registry.allPages().size(), 1u);
}

TEST(PageRegistryTest, staysConsistentUnderConcurrentWritersAndReaders) {
  FakeBrowser browser;
  auto page = browser.addWindow()->addTab("https://a.example/")->page();
  PageRegistry registry;
  constexpr int kIds = 200;
  auto writer = [&](int offset) {
    for (int i = 0; i < kIds; ++i) {
      std::string id = std::to_string((i + offset) % kIds);
      registry.registerPage(id, page);
      if (i % 3 == 0) registry.unregisterPage(id);
      registry.registerPage(id, page);
    }
  };
  std::thread a(writer, 0), b(writer, 77);
  std::size_t maxSeen = 0;
  for (int i = 0; i < 500; ++i) maxSeen = std::max(maxSeen, registry.allPages().size());
  a.join();
  b.join();
  EXPECT_LE(maxSeen, static_cast<std::size_t>(kIds));
  EXPECT_EQ(registry.allPages().size(), static_cast<std::size_t>(kIds));
  EXPECT_EQ(registry.lookup("199"), page);
}

}  // namespace
}  // namespace qv
