#pragma once

#include <string>
#include <vector>

#include "platform/Widget.h"

namespace qv {

enum class FontWeight { regular, medium, semibold, bold };
enum class TextAlignment { left, center, right };

// A stretch of text in one font.
struct TextRun {
  std::string text;
  double fontSize = 13;  // points
  FontWeight weight = FontWeight::regular;

  bool operator==(const TextRun&) const = default;
};

// Read-only text made of runs; line breaks come only from the text itself.
class TextLabel : public Widget {
 public:
  virtual void setText(const std::vector<TextRun>& runs) = 0;
  virtual void setTextColor(const Color& color) = 0;
  virtual void setAlignment(TextAlignment alignment) = 0;
};

}  // namespace qv
