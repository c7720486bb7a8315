#pragma once

namespace qv::test {

// The sanitizer settings of every test program and every program a test starts, by the
// variable each sanitizer reads; builds without that sanitizer ignore them. The
// suppression files name only reports inside the uninstrumented toolkit libraries.
struct SanitizerOption {
  const char* variable;
  const char* value;
};

inline constexpr SanitizerOption tsanOptions{"TSAN_OPTIONS", "suppressions=" QV_TSAN_SUPPRESSIONS};
inline constexpr SanitizerOption lsanOptions{
    "LSAN_OPTIONS", "suppressions=" QV_LSAN_SUPPRESSIONS ":print_suppressions=0"};
// Undefined behaviour fails the test instead of scrolling past in its output.
inline constexpr SanitizerOption ubsanOptions{
    "UBSAN_OPTIONS", "halt_on_error=1:print_stacktrace=1:suppressions=" QV_UBSAN_SUPPRESSIONS};

inline constexpr SanitizerOption sanitizerOptions[] = {tsanOptions, lsanOptions, ubsanOptions};

}  // namespace qv::test
