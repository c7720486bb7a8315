// Linked into every test program (an object library, so that nothing has to refer to
// it): the settings of SanitizerOptions.h as each sanitizer's built-in defaults, so that
// a test run straight from ctest or a debugger gets them too. The *_OPTIONS variables
// still add to or override them; the programs tests start get them through their
// environment (see ChildProcess).
#include "tests/support/SanitizerOptions.h"

extern "C" {
// Declared by no header: each sanitizer runtime looks them up by name.
const char* __tsan_default_options();
const char* __lsan_default_options();
const char* __ubsan_default_options();

const char* __tsan_default_options() {
  return qv::test::tsanOptions.value;
}
const char* __lsan_default_options() {
  return qv::test::lsanOptions.value;
}
const char* __ubsan_default_options() {
  return qv::test::ubsanOptions.value;
}
}
