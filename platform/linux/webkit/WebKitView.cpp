#include "platform/linux/webkit/WebKitView.h"

#include <utility>

#include "platform/linux/system/Trace.h"
#include "platform/linux/webkit/WebKitDevelopmentTrust.h"

namespace qv {
namespace {

constexpr const char* hiddenPageTimerThrottling = "HiddenPageDOMTimerThrottling";

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

}  // namespace

Json jsonFromScriptValue(JSCValue* value) {
  GCharPtr text(jsc_value_to_json(value, 0));
  if (!text) return Json();
  Json parsed = Json::parse(text.get(), nullptr, /*allow_exceptions=*/false);
  return parsed.is_discarded() ? Json() : parsed;
}

WebKitView::WebKitView(std::shared_ptr<WebKitDevelopmentTrust> trust, bool hidden,
                       WebKitWebView* sharesProcessWith)
    : trust_(std::move(trust)) {
  GObjectRef<WebKitSettings> settings(webkit_settings_new());
  if (hidden) disableHiddenPageTimerThrottling(settings.get());
  contentManager_ = GObjectRef<WebKitUserContentManager>(webkit_user_content_manager_new());
  state_ = std::make_shared<State>();
  // A related view takes its network session (the default one too) from the other view.
  state_->view = GObjectRef<WebKitWebView>::sink(WEBKIT_WEB_VIEW(
      sharesProcessWith != nullptr
          ? g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", sharesProcessWith,
                         "user-content-manager", contentManager_.get(), "settings", settings.get(),
                         nullptr)
          : g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session",
                         webkit_network_session_get_default(), "user-content-manager",
                         contentManager_.get(), "settings", settings.get(), nullptr)));
  // The state outlives the signals: they are disconnected before it goes.
  viewSignalIds_.push_back(g_signal_connect(state_->view.get(), "decide-policy",
                                            G_CALLBACK(&WebKitView::onDecidePolicy), state_.get()));
  viewSignalIds_.push_back(g_signal_connect(state_->view.get(), "web-process-terminated",
                                            G_CALLBACK(&WebKitView::onProcessTerminated),
                                            state_.get()));
}

WebKitView::~WebKitView() {
  // Out of any window, so that nothing shows a page whose handlers are gone.
  GtkWidget* widget = this->widget();
  if (GtkWidget* parent = gtk_widget_get_parent(widget); GTK_IS_WINDOW(parent)) {
    gtk_window_set_child(GTK_WINDOW(parent), nullptr);
  }
  for (gulong id : viewSignalIds_) g_signal_handler_disconnect(state_->view.get(), id);
  for (gulong id : signalIds_) g_signal_handler_disconnect(contentManager_.get(), id);
  for (const std::string& name : handlerNames_) {
    webkit_user_content_manager_unregister_script_message_handler(contentManager_.get(),
                                                                  name.c_str(), nullptr);
  }
}

bool WebKitView::isDataStorePersistent() const {
  WebKitNetworkSession* session = webkit_web_view_get_network_session(state_->view.get());
  return session != nullptr && !webkit_network_session_is_ephemeral(session);
}

void WebKitView::addScriptMessageHandler(const std::string& name, MessageHandler handler) {
  if (trace::enabled()) {
    handler = [state = std::weak_ptr<State>(state_), stage = "script message " + name,
               handler = std::move(handler)](const Json& body) {
      auto alive = state.lock();
      trace::Key last = alive ? alive->lastTraceKey : 0;
      // A page's own message (its "ready", say) answers no traced call: a mark shows when.
      if (last == 0) trace::mark(stage);
      trace::KeyScope key(last);
      trace::Scope slice(stage);
      if (handler) handler(body);
    };
  }
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

void WebKitView::addUserScript(const std::string& source) {
  WebKitUserScript* script =
      webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END, nullptr, nullptr);
  webkit_user_content_manager_add_script(contentManager_.get(), script);
  webkit_user_script_unref(script);
}

void WebKitView::loadHtmlString(const std::string& html,
                                const std::optional<std::string>& baseUrl) {
  state_->pendingLoad = PendingLoad{html, baseUrl};
  if (state_->waitingForTrust) return;  // the latest load wins once the probes settle
  state_->waitingForTrust = true;
  trust_->whenSettled([weak = std::weak_ptr<State>(state_)] {
    if (auto state = weak.lock()) state->loadPending();
  });
}

namespace {

// What an evaluation's callback needs: the view's state, if it still exists, and which
// evaluation finished.
struct EvaluationTicket {
  std::weak_ptr<void> state;
  std::uint64_t id;
  trace::Key traceKey = 0;
  trace::Clock::time_point begin;
};

}  // namespace

void WebKitView::evaluateJavaScript(const std::string& script) {
  std::uint64_t id = state_->nextEvaluation++;
  state_->inFlight.emplace(id, State::Evaluation{script});
  auto* ticket = new EvaluationTicket{state_, id, 0, {}};
  if (trace::enabled() && trace::currentKey() != 0) {
    ticket->traceKey = state_->lastTraceKey = trace::currentKey();
    ticket->begin = trace::Clock::now();
  }
  webkit_web_view_evaluate_javascript(state_->view.get(), script.data(),
                                      static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
                                      &WebKitView::onEvaluated, ticket);
}

void WebKitView::onEvaluated(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<EvaluationTicket> ticket(static_cast<EvaluationTicket*>(data));
  if (ticket->traceKey != 0) trace::asyncSlice("evaluate", ticket->begin, ticket->traceKey);
  GError* rawError = nullptr;
  JSCValue* value =
      webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &rawError);
  if (value != nullptr) g_object_unref(value);
  // A script that threw still ran; any other error may mean it never reached the page.
  bool ran = rawError == nullptr || (rawError->domain == WEBKIT_JAVASCRIPT_ERROR &&
                                     rawError->code == WEBKIT_JAVASCRIPT_ERROR_SCRIPT_FAILED);
  if (rawError != nullptr) g_error_free(rawError);
  auto state = std::static_pointer_cast<State>(ticket->state.lock());
  if (!state) return;
  auto it = state->inFlight.find(ticket->id);
  if (it == state->inFlight.end()) return;
  if (!ran) {
    it->second.failed = true;
    return;
  }
  // The process lives on: earlier failures were not its end (a page being replaced).
  for (auto earlier = state->inFlight.begin(); earlier != it;) {
    earlier = earlier->second.failed ? state->inFlight.erase(earlier) : std::next(earlier);
  }
  state->inFlight.erase(it);
}

void WebKitView::setWebProcessEndedHandler(WebProcessEndedHandler handler) {
  state_->onProcessEnded = std::move(handler);
}

gboolean WebKitView::onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision,
                                    WebKitPolicyDecisionType type, gpointer data) {
  auto* state = static_cast<State*>(data);
  if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
  if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION &&
      std::exchange(state->ownLoadStarting, false)) {
    return FALSE;  // the page we loaded
  }
  // A link, a script or a redirect that would take the view, and its native bridge,
  // to another page.
  webkit_policy_decision_ignore(decision);
  return TRUE;
}

void WebKitView::onProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason,
                                     gpointer data) {
  auto* state = static_cast<State*>(data);
  std::vector<std::string> unfinished;
  for (auto& [id, evaluation] : state->inFlight) unfinished.push_back(std::move(evaluation.script));
  state->inFlight.clear();
  if (state->onProcessEnded) state->onProcessEnded(std::move(unfinished));
}

void WebKitView::State::loadPending() {
  waitingForTrust = false;
  if (!pendingLoad) return;
  PendingLoad load = std::move(*pendingLoad);
  pendingLoad.reset();
  ownLoadStarting = true;
  trace::mark("page load");
  webkit_web_view_load_html(view.get(), load.html.c_str(),
                            load.baseUrl ? load.baseUrl->c_str() : nullptr);
}

void WebKitView::onScriptMessage(WebKitUserContentManager*, JSCValue* value, gpointer data) {
  const MessageHandler& handler = *static_cast<MessageHandler*>(data);
  if (handler) handler(jsonFromScriptValue(value));
}

}  // namespace qv
