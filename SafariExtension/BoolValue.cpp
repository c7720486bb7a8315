#include "SafariExtension/BoolValue.h"

namespace qv {

bool boolValue(std::string_view text) {
  std::size_t i = 0;
  auto at = [&](std::size_t index) { return index < text.size() ? text[index] : '\0'; };
  while (at(i) == ' ' || at(i) == '\t' || at(i) == '\n' || at(i) == '\r' || at(i) == '\v' ||
         at(i) == '\f') {
    ++i;
  }
  if (at(i) == '+' || at(i) == '-') ++i;
  while (at(i) == '0') ++i;
  char first = at(i);
  return first == 'Y' || first == 'y' || first == 'T' || first == 't' ||
         (first >= '1' && first <= '9');
}

}  // namespace qv
