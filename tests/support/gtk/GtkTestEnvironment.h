#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/TempDir.h"

namespace qv::test {

// GTK on the test's main thread, with WebKit's persistent data kept in a throw-away
// home so tests never touch the developer's own. Register once per test program; SetUp
// fails the program when there is no display.
class GtkTestEnvironment : public testing::Environment {
 public:
  void SetUp() override;

 private:
  std::unique_ptr<TempDir> home_;
  std::unique_ptr<ScopedEnv> dataHome_;
  std::unique_ptr<ScopedEnv> cacheHome_;
  std::unique_ptr<ScopedEnv> configHome_;
};

}  // namespace qv::test
