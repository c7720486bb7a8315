#include "safari-host/Tab.h"

#include <webkit/webkit.h>

#include <algorithm>
#include <array>
#include <memory>
#include <utility>

#include "ipc/Frame.h"
#include "platform/Url.h"
#include "platform/linux/system/MainContext.h"
#include "platform/linux/system/Trace.h"
#include "safari-host/BrowserDelegate.h"
#include "safari-host/BrowserWindow.h"
#include "safari-host/DevCertificateTrust.h"
#include "safari-host/Log.h"
#include "safari-host/Refs.h"

namespace qv::host {
namespace {

// Schemes the browser shows itself; everything else belongs to another application.
bool isBrowserScheme(const char* uri) {
  GCharPtr scheme(g_uri_parse_scheme(uri));
  if (!scheme) return true;  // not absolute: let WebKit report it
  static constexpr std::array<std::string_view, 5> kSchemes = {"http", "https", "about", "data",
                                                               "blob"};
  std::string lower(scheme.get());
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(g_ascii_tolower(c)); });
  return std::find(kSchemes.begin(), kSchemes.end(), lower) != kSchemes.end();
}

void handToDesktop(const std::string& uri) {
  // As Safari hands custom schemes to the operating system.
  g_app_info_launch_default_for_uri_async(
      uri.c_str(), nullptr, nullptr,
      +[](GObject*, GAsyncResult* result, gpointer data) {
        GCharPtr uri(static_cast<char*>(data));
        GError* error = nullptr;
        if (!g_app_info_launch_default_for_uri_finish(result, &error)) {
          logError("no application opens " + withoutQuery(uri.get()) + ": " + error->message);
          g_error_free(error);
        }
      },
      g_strdup(uri.c_str()));
}

}  // namespace

Tab::Tab(BrowserWindow& window, BrowserDelegate& delegate)
    : window_(&window), delegate_(delegate), ref_(makeRef("tab")) {
  GObjectRef<WebKitUserContentManager> manager(webkit_user_content_manager_new());
  GObjectRef<WebKitSettings> settings(webkit_settings_new());
  webkit_settings_set_enable_developer_extras(settings.get(), TRUE);
  auto* view = WEBKIT_WEB_VIEW(
      g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", manager.get(), "network-session",
                   webkit_network_session_get_default(), "settings", settings.get(), nullptr));
  view_ = GObjectRef<WebKitWebView>::sink(view);
  gtk_widget_set_hexpand(GTK_WIDGET(view), TRUE);
  gtk_widget_set_vexpand(GTK_WIDGET(view), TRUE);

  injector_ = std::make_unique<ContentScriptInjector>(
      manager.get(), [this](const std::string& extensionIdentifier, const PostedMessage& message) {
        // Scripts only run in a committed document, which always has a page.
        if (pageRef_)
          delegate_.scriptMessageReceived(*this, *pageRef_, extensionIdentifier, message);
      });
  updateExtensions();
  connectSignals();
}

Tab::~Tab() {
  *alive_ = false;
  g_signal_handlers_disconnect_by_data(view_.get(), this);
  injector_.reset();
  webkit_web_view_stop_loading(view_.get());
  auto waiters = std::move(loadWaiters_);
  for (auto& [id, waiter] : waiters) waiter("", "tab closed");
}

void Tab::connectSignals() {
  g_signal_connect(view_.get(), "load-changed",
                   G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, Tab* self) {
                     self->onLoadChanged(event);
                   }),
                   this);
  g_signal_connect(view_.get(), "load-failed",
                   G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent, const char* uri, GError* error,
                                  Tab* self) -> gboolean {
                     self->onLoadFailed(uri, error);
                     return FALSE;  // WebKit shows its error page
                   }),
                   this);
  g_signal_connect(view_.get(), "load-failed-with-tls-errors",
                   G_CALLBACK(+[](WebKitWebView*, const char* uri, GTlsCertificate* certificate,
                                  GTlsCertificateFlags, Tab* self) -> gboolean {
                     return self->onTlsError(uri, certificate);
                   }),
                   this);
  g_signal_connect(
      view_.get(), "decide-policy",
      G_CALLBACK(+[](WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                     Tab* self) -> gboolean { return self->onDecidePolicy(decision, type); }),
      this);
  for (const char* property :
       {"notify::title", "notify::uri", "notify::is-loading", "notify::estimated-load-progress"}) {
    g_signal_connect_swapped(view_.get(), property,
                             G_CALLBACK(+[](Tab* self) { self->onStateChanged(); }), this);
  }
}

GtkWidget* Tab::widget() const {
  return GTK_WIDGET(view_.get());
}

std::string Tab::url() const {
  const char* uri = webkit_web_view_get_uri(view_.get());
  return uri != nullptr ? uri : "";
}

std::string Tab::title() const {
  const char* title = webkit_web_view_get_title(view_.get());
  return title != nullptr ? title : "";
}

bool Tab::isLoading() const {
  return navigationPending_ || retryPending_ || webkit_web_view_is_loading(view_.get());
}

bool Tab::isLoaded() const {
  return finishedOnce_ && !isLoading();
}

bool Tab::canGoBack() const {
  return webkit_web_view_can_go_back(view_.get());
}
bool Tab::canGoForward() const {
  return webkit_web_view_can_go_forward(view_.get());
}

void Tab::load(const std::string& url) {
  navigationPending_ = true;
  loadRequested_ = true;
  webkit_web_view_load_uri(view_.get(), url.empty() ? "about:blank" : url.c_str());
  onStateChanged();
}

void Tab::goBack() {
  webkit_web_view_go_back(view_.get());
}
void Tab::goForward() {
  webkit_web_view_go_forward(view_.get());
}
void Tab::reload() {
  webkit_web_view_reload(view_.get());
}
void Tab::stop() {
  webkit_web_view_stop_loading(view_.get());
}

void Tab::onLoadChanged(int event) {
  switch (event) {
    case WEBKIT_LOAD_STARTED:
      navigationPending_ = false;
      provisional_ = true;
      break;
    case WEBKIT_LOAD_COMMITTED:
      navigationPending_ = false;
      provisional_ = false;
      lastTlsRetryUrl_.clear();
      pageRef_ = makeRef("page");
      pageUrl_ = url();
      window_->tabPageChanged(*this);
      break;
    case WEBKIT_LOAD_FINISHED:
      finishedOnce_ = true;
      break;
    default:
      break;
  }
  onStateChanged();
}

void Tab::onLoadFailed(const char* uri, const GError* error) {
  navigationPending_ = false;
  provisional_ = false;
  // A load that another navigation replaced is no failure worth a line.
  if (error != nullptr &&
      g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)) {
    return;
  }
  logError("cannot load " + withoutQuery(uri != nullptr ? uri : "") + ": " +
           (error != nullptr ? error->message : "?"));
}

bool Tab::onTlsError(const char* uri, GTlsCertificate* certificate) {
  navigationPending_ = false;
  provisional_ = false;
  if (uri == nullptr || lastTlsRetryUrl_ == uri) return false;  // trusted once already
  GUri* parsed = g_uri_parse(uri, G_URI_FLAGS_NONE, nullptr);
  if (parsed == nullptr) return false;
  std::string host = g_uri_get_host(parsed) != nullptr ? g_uri_get_host(parsed) : "";
  g_uri_unref(parsed);
  if (!chainsToDevelopmentAuthority(certificate, host, delegate_.developmentAuthoritiesFor(host))) {
    return false;
  }
  webkit_network_session_allow_tls_certificate_for_host(
      webkit_web_view_get_network_session(view_.get()), certificate, host.c_str());
  lastTlsRetryUrl_ = uri;
  retryPending_ = true;
  // Not from inside WebKit's own failure report.
  postToMain([alive = alive_, this, url = std::string(uri)] {
    if (!*alive) return;
    retryPending_ = false;
    load(url);
  });
  return true;
}

bool Tab::onDecidePolicy(WebKitPolicyDecision* decision, int type) {
  if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
      type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    return false;
  }
  WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
      WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
  if (uri == nullptr) return false;
  // Scripts evaluated by automation run as a user gesture, as a person's click would.
  bool trusted = webkit_navigation_action_is_user_gesture(action) ||
                 std::exchange(loadRequested_, false) ||
                 (webkit_navigation_action_is_redirect(action) && navigationTrusted_);
  navigationTrusted_ = trusted;
  if (!isBrowserScheme(uri)) {
    webkit_policy_decision_ignore(decision);
    // A page must not open other applications, or forge their callbacks, on its own.
    if (trusted) {
      handToDesktop(uri);
    } else {
      logError("refused to hand " + withoutQuery(uri) +
               " to the desktop: no click or key press started it");
    }
    navigationPending_ = false;
    onStateChanged();
    return true;
  }
  if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    // target=_blank and window.open() become a new tab beside this one.
    webkit_policy_decision_ignore(decision);
    postToMain([alive = alive_, this, url = std::string(uri)] {
      if (*alive) window_->openTab(url, true);
    });
    return true;
  }
  return false;
}

void Tab::onStateChanged() {
  // pushState and fragment changes move the URL within the same document (page); a load
  // in progress does not until it commits.
  if (pageRef_ && !provisional_ && !navigationPending_ &&
      !webkit_web_view_is_loading(view_.get())) {
    pageUrl_ = url();
  }
  window_->tabStateChanged(*this);
  notifyWaitersIfLoaded();
}

void Tab::notifyWaitersIfLoaded() {
  if (!isLoaded() || loadWaiters_.empty()) return;
  auto waiters = std::move(loadWaiters_);
  loadWaiters_.clear();
  std::string current = url();
  for (auto& [id, waiter] : waiters) waiter(current, "");
}

std::uint64_t Tab::whenLoaded(LoadWaiter waiter) {
  std::uint64_t id = nextWaiterId_++;
  loadWaiters_.emplace(id, std::move(waiter));
  notifyWaitersIfLoaded();
  return id;
}

void Tab::cancelLoadWaiter(std::uint64_t id) {
  loadWaiters_.erase(id);
}

void Tab::dispatchMessageToScript(const std::string& pageRef,
                                  const std::string& extensionIdentifier, const std::string& name,
                                  const Json& userInfo) {
  if (!pageRef_ || *pageRef_ != pageRef) return;  // that document is gone
  std::optional<std::string> script = deliverMessageScript(name, userInfo);
  if (!script) return;
  std::string world = scriptWorldName(extensionIdentifier);
  if (trace::enabled() && trace::currentKey() != 0) {
    // Traced, the delivery ends the message's path once the page has run it.
    struct Delivery {
      trace::Key key = trace::currentKey();
      trace::Clock::time_point begin = trace::Clock::now();
    };
    webkit_web_view_evaluate_javascript(
        view_.get(), script->c_str(), -1, world.c_str(), nullptr, nullptr,
        +[](GObject* source, GAsyncResult* result, gpointer data) {
          std::unique_ptr<Delivery> delivery(static_cast<Delivery*>(data));
          GObjectRef<JSCValue> value(
              webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, nullptr));
          trace::asyncSlice("deliver to page", delivery->begin, delivery->key);
          trace::slice("delivered", trace::Clock::now(), delivery->key, trace::Flow::End);
        },
        new Delivery);
    return;
  }
  webkit_web_view_evaluate_javascript(view_.get(), script->c_str(), -1, world.c_str(), nullptr,
                                      nullptr, nullptr, nullptr);
}

void Tab::evaluate(const std::string& script, const std::string& worldName,
                   EvaluateCallback callback) {
  webkit_web_view_evaluate_javascript(
      view_.get(), script.c_str(), static_cast<gssize>(script.size()),
      worldName.empty() ? nullptr : worldName.c_str(), nullptr, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<EvaluateCallback> callback(static_cast<EvaluateCallback*>(data));
        GError* error = nullptr;
        JSCValue* value =
            webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
        if (value == nullptr) {
          std::string message = error != nullptr ? error->message : "evaluation failed";
          g_clear_error(&error);
          (*callback)(std::nullopt, message);
          return;
        }
        GObjectRef<JSCValue> owned(value);
        Json json = nullptr;
        if (!jsc_value_is_undefined(value)) {
          GCharPtr text(jsc_value_to_json(value, 0));
          if (text) json = Json::parse(text.get(), nullptr, /*allow_exceptions=*/false);
          if (json.is_discarded()) json = nullptr;
        }
        if (!ipc::jsonDepthWithin(json)) {
          (*callback)(std::nullopt, "the value is nested too deeply");
          return;
        }
        (*callback)(std::move(json), "");
      },
      new EvaluateCallback(std::move(callback)));
}

void Tab::updateExtensions() {
  injector_->install(delegate_.enabledExtensions());
}

}  // namespace qv::host
