#pragma once

// A core header that breaks the seam rule on purpose: the seam test's own check that
// the rule can fail.
#include <sqlite3.h>
