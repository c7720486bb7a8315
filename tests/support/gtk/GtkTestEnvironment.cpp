#include "tests/integration/extension/WebKitTestSupport.h"

#include <gtk/gtk.h>

#if defined(__SANITIZE_THREAD__) && defined(QV_TSAN_SUPPRESSIONS)
// WebKit, GLib and GTK are not built with ThreadSanitizer: ignore what it cannot see
// into (TSAN_OPTIONS still adds to or overrides this).
extern "C" const char* __tsan_default_options() {
  return "suppressions=" QV_TSAN_SUPPRESSIONS;
}
#endif

namespace qv::test {

void GtkTestEnvironment::SetUp() {
  home_ = std::make_unique<TempDir>();
  dataHome_ = std::make_unique<ScopedEnv>("XDG_DATA_HOME", home_->path() + "/data");
  cacheHome_ = std::make_unique<ScopedEnv>("XDG_CACHE_HOME", home_->path() + "/cache");
  configHome_ = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", home_->path() + "/config");
  ASSERT_TRUE(gtk_init_check()) << "no display: run under Xvfb";
}

}  // namespace qv::test
