// Linked into every test program (an object library, so that nothing has to refer to
// it). GLib, GTK, WebKit and the other toolkit libraries are not built with
// ThreadSanitizer: tsan.supp ignores what it cannot see into. TSAN_OPTIONS still adds
// to or overrides this; the programs tests start get the same file (see ChildProcess).
#if defined(__SANITIZE_THREAD__) && defined(QV_TSAN_SUPPRESSIONS)
extern "C" const char* __tsan_default_options() {
  return "suppressions=" QV_TSAN_SUPPRESSIONS;
}
#endif
