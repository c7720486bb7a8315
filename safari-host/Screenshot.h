#pragma once

#include <optional>
#include <string>

typedef struct _GtkWidget GtkWidget;

namespace qv::host {

// Renders `widget` (a whole window, web content included) as it currently shows and
// writes it to `path` as PNG. The error text when it cannot. Main thread only.
std::optional<std::string> saveScreenshot(GtkWidget* widget, const std::string& path);

}  // namespace qv::host
