#include "platform/linux/webkit/WebKitWebView.h"

#include <gio/gio.h>
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>
#include <utility>
#include <vector>

#include "platform/linux/system/GObjectRef.h"

namespace qv {
namespace {

constexpr const char* hiddenPageTimerThrottling = "HiddenPageDOMTimerThrottling";
constexpr guint probeTimeoutSeconds = 5;
constexpr guint16 defaultHttpsPort = 443;
// Larger than any screen; keeps a page's size request from asking for absurd surfaces.
constexpr double maxPopoverSide = 8192;

struct FeatureListDeleter {
  void operator()(WebKitFeatureList* list) const { webkit_feature_list_unref(list); }
};

// WebKit slows the timers of pages it believes hidden to about one tick a second; a
// background page that is never shown must keep its timers at full rate.
void disableHiddenPageTimerThrottling(WebKitSettings* settings) {
  std::unique_ptr<WebKitFeatureList, FeatureListDeleter> features(
      webkit_settings_get_all_features());
  bool found = false;
  for (gsize i = 0; features && i < webkit_feature_list_get_length(features.get()); ++i) {
    WebKitFeature* feature = webkit_feature_list_get(features.get(), i);
    const char* identifier = webkit_feature_get_identifier(feature);
    if (identifier != nullptr && g_strcmp0(identifier, hiddenPageTimerThrottling) == 0) {
      webkit_settings_set_feature_enabled(settings, feature, FALSE);
      found = true;
    }
  }
  if (!found)
    g_warning("WebKit has no feature %s; hidden timers stay throttled", hiddenPageTimerThrottling);
}

// A script-message body as JSON; null when it has none (undefined, functions, cycles).
Json jsonFromScriptValue(JSCValue* value) {
  GCharPtr text(jsc_value_to_json(value, 0));
  if (!text) return Json();
  Json parsed = Json::parse(text.get(), nullptr, /*allow_exceptions=*/false);
  return parsed.is_discarded() ? Json() : parsed;
}

}  // namespace

// The development authorities' verdict on the service's hosts, shared by every view
// of one factory. Main thread only.
class WebKitDevelopmentTrust : public std::enable_shared_from_this<WebKitDevelopmentTrust> {
 public:
  using Config = WebKitWebViewFactory::DevelopmentTrust;

  explicit WebKitDevelopmentTrust(std::optional<Config> config) : config_(std::move(config)) {}

  // Starts the probes (once). Runs `work` at once when they have settled, else later.
  void whenSettled(std::function<void()> work) {
    start();
    if (settled_) return work();
    waiters_.push_back(std::move(work));
  }
  bool isSettled() const { return settled_; }

  void start() {
    if (started_) return;
    started_ = true;
    if (!config_ || config_->hosts.empty()) return settle();

    GError* rawError = nullptr;
    database_ =
        GObjectRef<GTlsDatabase>(g_tls_file_database_new(config_->caPemPath.c_str(), &rawError));
    if (!database_) {
      GErrorPtr error(rawError);
      g_warning("Cannot read the development authorities %s: %s", config_->caPemPath.c_str(),
                error ? error->message : "unknown error");
      return settle();
    }

    std::set<std::string> hosts(config_->hosts.begin(), config_->hosts.end());
    for (const std::string& host : hosts) {
      rawError = nullptr;
      GObjectRef<GSocketConnectable> address(
          g_network_address_parse(host.c_str(), defaultHttpsPort, &rawError));
      GErrorPtr error(rawError);
      if (!address) continue;
      auto probe = std::make_unique<Probe>();
      probe->trust = shared_from_this();
      probe->address = std::move(address);
      probe->client = GObjectRef<GSocketClient>(g_socket_client_new());
      g_socket_client_set_timeout(probe->client.get(), probeTimeoutSeconds);
      ++remaining_;
      GSocketClient* client = probe->client.get();
      GSocketConnectable* target = probe->address.get();
      g_socket_client_connect_async(client, target, nullptr, &onConnected, probe.release());
    }
    if (remaining_ == 0) settle();
  }

 private:
  std::optional<Config> config_;
  bool started_ = false;
  bool settled_ = false;
  std::size_t remaining_ = 0;
  std::vector<std::function<void()>> waiters_;
  GObjectRef<GTlsDatabase> database_;

  struct Probe {
    std::shared_ptr<WebKitDevelopmentTrust> trust;
    GObjectRef<GSocketConnectable> address;
    GObjectRef<GSocketClient> client;
    GObjectRef<GIOStream> tls;
  };

  static void onConnected(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Probe> probe(static_cast<Probe*>(data));
    GError* rawError = nullptr;
    GObjectRef<GSocketConnection> connection(
        g_socket_client_connect_finish(G_SOCKET_CLIENT(source), result, &rawError));
    GErrorPtr connectError(rawError);
    if (!connection) return probe->trust->probeFinished();

    rawError = nullptr;
    probe->tls = GObjectRef<GIOStream>(g_tls_client_connection_new(
        G_IO_STREAM(connection.get()), probe->address.get(), &rawError));
    GErrorPtr tlsError(rawError);
    if (!probe->tls) return probe->trust->probeFinished();
    // Only the development authorities count: a chain they do not sign fails here.
    g_tls_connection_set_database(G_TLS_CONNECTION(probe->tls.get()),
                                  probe->trust->database_.get());
    GIOStream* tls = probe->tls.get();
    g_tls_connection_handshake_async(G_TLS_CONNECTION(tls), G_PRIORITY_DEFAULT, nullptr,
                                     &onHandshake, probe.release());
  }

  static void onHandshake(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Probe> probe(static_cast<Probe*>(data));
    GError* rawError = nullptr;
    gboolean verified =
        g_tls_connection_handshake_finish(G_TLS_CONNECTION(source), result, &rawError);
    GErrorPtr error(rawError);
    GTlsCertificate* certificate = g_tls_connection_get_peer_certificate(G_TLS_CONNECTION(source));
    if (verified && certificate != nullptr) {
      // WebKit matches allowed certificates by host name alone, without the port.
      const char* host = g_network_address_get_hostname(G_NETWORK_ADDRESS(probe->address.get()));
      webkit_network_session_allow_tls_certificate_for_host(webkit_network_session_get_default(),
                                                            certificate, host);
    }
    g_io_stream_close_async(probe->tls.get(), G_PRIORITY_DEFAULT, nullptr, nullptr, nullptr);
    probe->trust->probeFinished();
  }

  void probeFinished() {
    if (remaining_ > 0 && --remaining_ == 0) settle();
  }

  void settle() {
    settled_ = true;
    std::vector<std::function<void()>> ready;
    ready.swap(waiters_);
    for (auto& work : ready) work();
  }
};

// The popover windows one factory made that still exist. Each window adds itself when
// made and removes itself when destroyed. Main thread only.
class WebKitPopoverWindows {
 public:
  void add(GtkWindow* window) { windows_.push_back(window); }
  void remove(GtkWindow* window) { std::erase(windows_, window); }

  // A new reference to the content web view of a shown window; null when none shows one.
  GObjectRef<WebKitWebView> shownContentView() const {
    for (GtkWindow* window : windows_) {
      if (!gtk_widget_get_visible(GTK_WIDGET(window))) continue;
      GtkWidget* child = gtk_window_get_child(window);
      if (child != nullptr && WEBKIT_IS_WEB_VIEW(child)) {
        return GObjectRef<WebKitWebView>::retain(child);
      }
    }
    return {};
  }

 private:
  std::vector<GtkWindow*> windows_;
};

namespace {

// One WebKitWebView with its own user content manager (script messages carry no sender,
// so views must not share one). A hidden view keeps its timers at full rate; a shown one
// lives in a popover window, which holds a reference to its widget while it is the
// window's child.
class WebKitView final : public WebView {
 public:
  WebKitView(std::shared_ptr<WebKitDevelopmentTrust> trust, bool hidden)
      : trust_(std::move(trust)) {
    GObjectRef<WebKitSettings> settings(webkit_settings_new());
    if (hidden) disableHiddenPageTimerThrottling(settings.get());
    contentManager_ = GObjectRef<WebKitUserContentManager>(webkit_user_content_manager_new());
    state_ = std::make_shared<State>();
    state_->view = GObjectRef<WebKitWebView>::sink(WEBKIT_WEB_VIEW(g_object_new(
        WEBKIT_TYPE_WEB_VIEW, "network-session", webkit_network_session_get_default(),
        "user-content-manager", contentManager_.get(), "settings", settings.get(), nullptr)));
  }

  ~WebKitView() override {
    // Out of any window, so that nothing shows a page whose handlers are gone.
    GtkWidget* widget = this->widget();
    if (GtkWidget* parent = gtk_widget_get_parent(widget); GTK_IS_WINDOW(parent)) {
      gtk_window_set_child(GTK_WINDOW(parent), nullptr);
    }
    for (gulong id : signalIds_) g_signal_handler_disconnect(contentManager_.get(), id);
    for (const std::string& name : handlerNames_) {
      webkit_user_content_manager_unregister_script_message_handler(contentManager_.get(),
                                                                    name.c_str(), nullptr);
    }
  }

  bool isDataStorePersistent() const override {
    WebKitNetworkSession* session = webkit_web_view_get_network_session(state_->view.get());
    return session != nullptr && !webkit_network_session_is_ephemeral(session);
  }

  void addScriptMessageHandler(const std::string& name, MessageHandler handler) override {
    std::string signal = "script-message-received::" + name;
    gulong id = g_signal_connect_data(
        contentManager_.get(), signal.c_str(), G_CALLBACK(&WebKitView::onScriptMessage),
        new MessageHandler(std::move(handler)),
        [](gpointer data, GClosure*) { delete static_cast<MessageHandler*>(data); },
        GConnectFlags(0));
    if (!webkit_user_content_manager_register_script_message_handler(contentManager_.get(),
                                                                     name.c_str(), nullptr)) {
      // The name is taken already: the first handler keeps it.
      g_signal_handler_disconnect(contentManager_.get(), id);
      g_warning("Script message handler %s is already registered", name.c_str());
      return;
    }
    signalIds_.push_back(id);
    handlerNames_.push_back(name);
  }

  void addUserScript(const std::string& source) override {
    WebKitUserScript* script =
        webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                               WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END, nullptr, nullptr);
    webkit_user_content_manager_add_script(contentManager_.get(), script);
    webkit_user_script_unref(script);
  }

  void loadHtmlString(const std::string& html, const std::optional<std::string>& baseUrl) override {
    state_->pendingLoad = PendingLoad{html, baseUrl};
    if (state_->waitingForTrust) return;  // the latest load wins once the probes settle
    state_->waitingForTrust = true;
    trust_->whenSettled([weak = std::weak_ptr<State>(state_)] {
      if (auto state = weak.lock()) state->loadPending();
    });
  }

  void evaluateJavaScript(const std::string& script) override {
    webkit_web_view_evaluate_javascript(state_->view.get(), script.data(),
                                        static_cast<gssize>(script.size()), nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
  }

  GtkWidget* widget() const { return GTK_WIDGET(state_->view.get()); }

 private:
  struct PendingLoad {
    std::string html;
    std::optional<std::string> baseUrl;
  };
  // What a deferred load needs; outlives the view only inside a settled-trust waiter.
  struct State {
    GObjectRef<WebKitWebView> view;
    std::optional<PendingLoad> pendingLoad;
    bool waitingForTrust = false;

    void loadPending() {
      waitingForTrust = false;
      if (!pendingLoad) return;
      PendingLoad load = std::move(*pendingLoad);
      pendingLoad.reset();
      webkit_web_view_load_html(view.get(), load.html.c_str(),
                                load.baseUrl ? load.baseUrl->c_str() : nullptr);
    }
  };

  static void onScriptMessage(WebKitUserContentManager*, JSCValue* value, gpointer data) {
    const MessageHandler& handler = *static_cast<MessageHandler*>(data);
    if (handler) handler(jsonFromScriptValue(value));
  }

  std::shared_ptr<WebKitDevelopmentTrust> trust_;
  GObjectRef<WebKitUserContentManager> contentManager_;
  std::shared_ptr<State> state_;
  std::vector<gulong> signalIds_;
  std::vector<std::string> handlerNames_;
};

int pixels(double points) {
  return static_cast<int>(std::lround(std::clamp(points, 0.0, maxPopoverSide)));
}

// An undecorated, fixed-size top-level window that plays the browser's popover. Closing
// it (from the window manager) only hides it, as the popover would.
class GtkPopoverWindow final : public PopoverWindow {
 public:
  GtkPopoverWindow(std::shared_ptr<WebKitDevelopmentTrust> trust,
                   std::shared_ptr<WebKitPopoverWindows> registry, ContentSize size)
      : trust_(std::move(trust)), registry_(std::move(registry)), size_(size) {
    // GTK keeps top-level windows alive until destroyed; our reference outlives that.
    window_ = GObjectRef<GtkWindow>::retain(GTK_WINDOW(gtk_window_new()));
    gtk_window_set_decorated(window_.get(), FALSE);
    gtk_window_set_resizable(window_.get(), FALSE);
    gtk_window_set_hide_on_close(window_.get(), TRUE);
    gtk_window_set_title(window_.get(), "Quorvane");
    applySize();
    registry_->add(window_.get());
  }

  ~GtkPopoverWindow() override {
    registry_->remove(window_.get());
    gtk_window_destroy(window_.get());
  }
  GtkPopoverWindow(const GtkPopoverWindow&) = delete;
  GtkPopoverWindow& operator=(const GtkPopoverWindow&) = delete;

  void show() override { gtk_window_present(window_.get()); }
  void hide() override { gtk_widget_set_visible(GTK_WIDGET(window_.get()), FALSE); }
  bool isVisible() const override { return gtk_widget_get_visible(GTK_WIDGET(window_.get())); }

  void setContentSize(ContentSize size) override {
    size_ = size;
    applySize();
  }

  ContentSize contentSize() const override {
    GtkWidget* child = gtk_window_get_child(window_.get());
    if (!isVisible() || child == nullptr || !gtk_widget_get_mapped(child)) return size_;
    return ContentSize{static_cast<double>(gtk_widget_get_width(child)),
                       static_cast<double>(gtk_widget_get_height(child))};
  }

  std::unique_ptr<WebView> makeContentWebView() override {
    auto view = std::make_unique<WebKitView>(trust_, /*hidden=*/false);
    gtk_window_set_child(window_.get(), view->widget());
    applySize();
    return view;
  }

 private:
  // A window that cannot be resized takes the size of its content's request.
  void applySize() {
    int width = pixels(size_.width);
    int height = pixels(size_.height);
    if (GtkWidget* child = gtk_window_get_child(window_.get())) {
      gtk_widget_set_size_request(child, width, height);
    }
    gtk_window_set_default_size(window_.get(), std::max(width, 1), std::max(height, 1));
  }

  std::shared_ptr<WebKitDevelopmentTrust> trust_;
  std::shared_ptr<WebKitPopoverWindows> registry_;
  ContentSize size_;
  GObjectRef<GtkWindow> window_;
};

// Automation requests in flight. Each holds the view, so that WebKit answers it (with an
// error if the page has gone) however the popover changes meanwhile.
struct PendingEvaluation {
  GObjectRef<WebKitWebView> view;
  WebKitWebViewFactory::EvaluateDone done;
};
struct PendingSnapshot {
  GObjectRef<WebKitWebView> view;
  WebKitWebViewFactory::SnapshotDone done;
  std::string pngPath;
};

constexpr const char* popoverNotShown = "the popover is not shown";

void onPopoverEvaluated(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<PendingEvaluation> pending(static_cast<PendingEvaluation*>(data));
  GError* rawError = nullptr;
  GObjectRef<JSCValue> value(
      webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &rawError));
  GErrorPtr error(rawError);
  if (!value) {
    // A script that throws fails here, with the exception's message.
    return pending->done(std::nullopt, error ? error->message : "the script did not run");
  }
  pending->done(jsonFromScriptValue(value.get()), "");
}

void onPopoverSnapshot(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<PendingSnapshot> pending(static_cast<PendingSnapshot*>(data));
  GError* rawError = nullptr;
  GObjectRef<GdkTexture> texture(
      webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &rawError));
  GErrorPtr error(rawError);
  if (!texture) {
    return pending->done(std::string("no snapshot of the popover: ") +
                         (error ? error->message : "unknown error"));
  }
  if (!gdk_texture_save_to_png(texture.get(), pending->pngPath.c_str())) {
    return pending->done("cannot write " + pending->pngPath);
  }
  pending->done(std::nullopt);
}

}  // namespace

WebKitWebViewFactory::WebKitWebViewFactory(std::optional<DevelopmentTrust> trust)
    : trust_(std::make_shared<WebKitDevelopmentTrust>(std::move(trust))),
      popovers_(std::make_shared<WebKitPopoverWindows>()) {}

WebKitWebViewFactory::~WebKitWebViewFactory() = default;

std::unique_ptr<WebView> WebKitWebViewFactory::makeHiddenWebView() {
  trust_->start();
  return std::make_unique<WebKitView>(trust_, /*hidden=*/true);
}

std::unique_ptr<PopoverWindow> WebKitWebViewFactory::makePopoverWindow(ContentSize size) {
  trust_->start();
  return std::make_unique<GtkPopoverWindow>(trust_, popovers_, size);
}

bool WebKitWebViewFactory::isTrustSettled() const {
  return trust_->isSettled();
}

void WebKitWebViewFactory::evaluateInShownPopover(const std::string& script, EvaluateDone done) {
  GObjectRef<WebKitWebView> view = popovers_->shownContentView();
  if (!view) return done(std::nullopt, popoverNotShown);
  WebKitWebView* target = view.get();
  webkit_web_view_evaluate_javascript(target, script.data(), static_cast<gssize>(script.size()),
                                      nullptr, nullptr, nullptr, &onPopoverEvaluated,
                                      new PendingEvaluation{std::move(view), std::move(done)});
}

void WebKitWebViewFactory::snapshotShownPopover(const std::string& pngPath, SnapshotDone done) {
  GObjectRef<WebKitWebView> view = popovers_->shownContentView();
  if (!view) return done(popoverNotShown);
  WebKitWebView* target = view.get();
  webkit_web_view_get_snapshot(target, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE,
                               nullptr, &onPopoverSnapshot,
                               new PendingSnapshot{std::move(view), std::move(done), pngPath});
}

}  // namespace qv
