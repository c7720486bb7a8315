#pragma once

#include <functional>
#include <optional>
#include <string>

typedef struct _GtkWidget GtkWidget;
typedef struct _WebKitWebView WebKitWebView;

namespace qv::host {

// Calls `ready` exactly once, on the main thread, when what `window` shows has been
// drawn: the page in `page` (may be null) has rendered two animation frames, and the
// window has finished painting twice since; `ready` then runs at the end of that frame,
// when layout is done. A page or window that draws nothing (hidden, busy, not on
// screen) is waited for a second at most, each. Holds its own references to both.
void whenDrawn(GtkWidget* window, WebKitWebView* page, std::function<void()> ready);

// Renders `widget` (a whole window, web content included) as it currently shows and
// writes it to `path` as PNG. The error text when it cannot. Main thread only.
std::optional<std::string> saveScreenshot(GtkWidget* widget, const std::string& path);

}  // namespace qv::host
