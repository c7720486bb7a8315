#include "tests/support/gtk/GtkTestEnvironment.h"

#include <gtk/gtk.h>

namespace qv::test {

void GtkTestEnvironment::SetUp() {
  home_ = std::make_unique<TempDir>();
  dataHome_ = std::make_unique<ScopedEnv>("XDG_DATA_HOME", home_->path() + "/data");
  cacheHome_ = std::make_unique<ScopedEnv>("XDG_CACHE_HOME", home_->path() + "/cache");
  configHome_ = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", home_->path() + "/config");
  ASSERT_TRUE(gtk_init_check()) << "no display: run under Xvfb";
}

}  // namespace qv::test
