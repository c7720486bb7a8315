#pragma once

#include <functional>
#include <optional>
#include <string>

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;

namespace qv::host {

// Calls `ready` once, on the main thread, when what `window` shows has been drawn: the
// page in `page` (may be null) has rendered two animation frames and the window has
// painted twice since. A page that renders nothing (hidden, busy) is waited for one
// second at most. Both must stay alive until `ready` runs or `window` is destroyed; when
// `window` is destroyed first, `ready` still runs.
void whenDrawn(GtkWidget* window, WebKitWebView* page, std::function<void()> ready);

// Renders `widget` (a whole window, web content included) as it currently shows and
// writes it to `path` as PNG. The error text when it cannot. Main thread only.
std::optional<std::string> saveScreenshot(GtkWidget* widget, const std::string& path);

}  // namespace qv::host
