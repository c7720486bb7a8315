#include "platform/linux/webkit/WebKitWebView.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/linux/system/GObjectRef.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/support/MainLoop.h"
#include "tests/support/TempDir.h"
#include "tests/support/gtk/GtkTestEnvironment.h"

namespace qv {
namespace {

using namespace std::chrono_literals;

const auto* const gtkEnvironment = testing::AddGlobalTestEnvironment(new test::GtkTestEnvironment);

// A hidden view with one handler, "out", whose bodies the test reads.
struct ViewUnderTest {
  explicit ViewUnderTest(WebKitWebViewFactory& factory) : view(factory.makeHiddenWebView()) {
    view->addScriptMessageHandler("out", [this](const Json& body) { bodies.push_back(body); });
  }
  bool waitForBodies(std::size_t count) {
    return test::runUntil([&] { return bodies.size() >= count; });
  }

  std::unique_ptr<WebView> view;
  std::vector<Json> bodies;
};

// Key order is not significant to any receiver.
testing::AssertionResult sameJson(const Json& actual, const Json& expected) {
  if (nlohmann::json::parse(actual.dump()) == nlohmann::json::parse(expected.dump())) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << actual.dump() << " is not " << expected.dump();
}

std::string pageWithScript(const std::string& script) {
  return "<!DOCTYPE html><html><head><title>t</title></head><body><script>" + script +
         "</script></body></html>";
}

TEST(WebKitWebViewTest, ScriptMessagesArriveAsJsonUnderTheirOwnName) {
  WebKitWebViewFactory factory;
  ViewUnderTest page(factory);
  std::vector<Json> other;
  page.view->addScriptMessageHandler("other", [&](const Json& body) { other.push_back(body); });
  EXPECT_TRUE(page.view->isDataStorePersistent());

  page.view->loadHtmlString(pageWithScript(R"(
    const out = window.webkit.messageHandlers.out;
    out.postMessage({name: "x", pageId: "p\"1\\", data: {k: 1, nested: [true, null, 2.5]}});
    out.postMessage("é ✓");
    out.postMessage(42);
    out.postMessage(null);
    out.postMessage(undefined);
    out.postMessage(10n);
    window.webkit.messageHandlers.other.postMessage({only: "other"});
    out.postMessage("last");
  )"),
                            "https://quorvane.example");

  ASSERT_TRUE(page.waitForBodies(7));
  std::vector<Json> expected = {
      Json::parse(R"({"name":"x","pageId":"p\"1\\","data":{"k":1,"nested":[true,null,2.5]}})"),
      Json("é ✓"),
      Json(42),
      Json(),
      Json(),  // undefined has no JSON form
      Json(),  // nor has a BigInt
      Json("last")};
  ASSERT_EQ(page.bodies.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i)
    EXPECT_TRUE(sameJson(page.bodies[i], expected[i]));
  ASSERT_EQ(other.size(), 1u);
  EXPECT_TRUE(sameJson(other[0], Json::parse(R"({"only":"other"})")));
}

TEST(WebKitWebViewTest, UserScriptsRunAtDocumentEndInOrderInTheMainFrameOnly) {
  WebKitWebViewFactory factory;
  ViewUnderTest page(factory);
  // Frames report into the top window's list, so a script run in the iframe shows up.
  page.view->addUserScript(R"(
    (window.top.seen = window.top.seen || []).push({
      script: "first", top: window === window.top, state: document.readyState,
      lastElementParsed: document.getElementById("last") !== null});)");
  page.view->addUserScript(R"(
    (window.top.seen = window.top.seen || []).push({script: "second", top: window === window.top});
    if (window === window.top) {
      setTimeout(() => window.webkit.messageHandlers.out.postMessage(window.seen), 300);
    })");

  // The inline script runs while the document is parsed, so before any user script.
  page.view->loadHtmlString(R"(<!DOCTYPE html><html><body>
      <script>(window.seen = window.seen || []).push({script: "page"});</script>
      <iframe srcdoc="<p>inner</p>"></iframe>
      <p id="last">end</p></body></html>)",
                            "https://quorvane.example");

  ASSERT_TRUE(page.waitForBodies(1));
  Json expected = Json::parse(R"([
      {"script": "page"},
      {"script": "first", "top": true, "state": "interactive", "lastElementParsed": true},
      {"script": "second", "top": true}])");
  EXPECT_TRUE(sameJson(page.bodies[0], expected));
}

TEST(WebKitWebViewTest, TheBaseUrlIsThePagesOriginAndEvaluationReachesIt) {
  WebKitWebViewFactory factory;
  ViewUnderTest page(factory);
  page.view->addScriptMessageHandler("ready", [&](const Json&) { page.bodies.push_back("ready"); });
  page.view->loadHtmlString(pageWithScript("window.webkit.messageHandlers.ready.postMessage({});"),
                            "https://quorvane.example:8443");
  ASSERT_TRUE(page.waitForBodies(1));

  // Script errors are ignored; the next evaluation still runs.
  page.view->evaluateJavaScript("throw new Error('ignored')");
  page.view->evaluateJavaScript("syntax error here (");
  page.view->evaluateJavaScript(
      "window.webkit.messageHandlers.out.postMessage({origin: location.origin, "
      "secure: window.isSecureContext})");
  ASSERT_TRUE(page.waitForBodies(2));
  EXPECT_TRUE(sameJson(page.bodies[1],
                       Json::parse(R"({"origin":"https://quorvane.example:8443","secure":true})")));

  // A second load replaces the page, with its own base URL.
  page.view->loadHtmlString(
      pageWithScript("window.webkit.messageHandlers.out.postMessage(location.origin)"),
      "https://other.example");
  ASSERT_TRUE(page.waitForBodies(3));
  EXPECT_EQ(page.bodies[2], Json("https://other.example"));
}

// A page WebKit believes hidden gets about one timer tick a second unless the view
// turns that off; the background page relies on its timers.
// The Web Inspector windows WebKit has on screen.
std::size_t inspectorWindows() {
  std::size_t count = 0;
  GListModel* toplevels = gtk_window_get_toplevels();
  for (guint i = 0; i < g_list_model_get_n_items(toplevels); ++i) {
    GObjectRef<GtkWindow> window(static_cast<GtkWindow*>(g_list_model_get_item(toplevels, i)));
    if (std::string_view(G_OBJECT_TYPE_NAME(window.get())) == "WebKitInspectorWindow" &&
        gtk_widget_get_visible(GTK_WIDGET(window.get()))) {
      ++count;
    }
  }
  return count;
}

TEST(WebKitWebViewTest, TheInspectorOpensInAWindowOfItsOwnForTheHiddenViewOnly) {
  WebKitWebViewFactory factory;
  using View = WebViewFactory::InspectedView;
  EXPECT_FALSE(factory.showInspector(View::hidden)) << "no hidden view made yet";
  EXPECT_FALSE(factory.showInspector(View::popover)) << "no popover window made yet";
  {
    ViewUnderTest page(factory);
    page.view->loadHtmlString(pageWithScript("window.webkit.messageHandlers.out.postMessage(1)"),
                              "https://quorvane.example");
    ASSERT_TRUE(page.waitForBodies(1));
    ASSERT_TRUE(factory.showInspector(View::hidden));
    EXPECT_TRUE(test::runUntil([] { return inspectorWindows() == 1; }, 20s))
        << "no Web Inspector window for the background page";
  }
  EXPECT_TRUE(test::runUntil([] { return inspectorWindows() == 0; }, 10s))
      << "the inspector outlived its page";
  EXPECT_FALSE(factory.showInspector(View::hidden)) << "the view is gone";
}

TEST(WebKitWebViewTest, TimersOfTheHiddenViewRunAtFullRate) {
  WebKitWebViewFactory factory;
  ViewUnderTest page(factory);
  page.view->loadHtmlString(pageWithScript(R"(
    window.ticks = 0;
    window.started = performance.now();
    setInterval(() => { window.ticks += 1; }, 20);
    window.webkit.messageHandlers.out.postMessage("started");
  )"),
                            "https://quorvane.example");
  ASSERT_TRUE(page.waitForBodies(1));
  test::runFor(1200ms);
  page.view->evaluateJavaScript(
      "window.webkit.messageHandlers.out.postMessage({ticks: window.ticks, "
      "elapsed: performance.now() - window.started})");
  ASSERT_TRUE(page.waitForBodies(2));

  double elapsed = page.bodies[1]["elapsed"].get<double>();
  int ticks = page.bodies[1]["ticks"].get<int>();
  ASSERT_GE(elapsed, 1000.0);
  // Full rate is elapsed / 20 ticks; throttled it would be about one a second.
  EXPECT_GE(ticks, static_cast<int>(0.6 * elapsed / 20.0)) << "elapsed " << elapsed << " ms";
}

TEST(WebKitWebViewTest, ViewsDestroyedWithPendingMessagesStaySilent) {
  WebKitWebViewFactory factory;
  std::vector<Json> late;
  {
    ViewUnderTest page(factory);
    page.view->addScriptMessageHandler("late", [&](const Json& body) { late.push_back(body); });
    page.view->loadHtmlString(pageWithScript(R"(
      window.webkit.messageHandlers.out.postMessage("up");
      setInterval(() => window.webkit.messageHandlers.late.postMessage("tick"), 5);
    )"),
                              "https://quorvane.example");
    ASSERT_TRUE(page.waitForBodies(1));
    ASSERT_TRUE(test::runUntil([&] { return !late.empty(); }));
  }
  std::size_t before = late.size();
  test::runFor(300ms);
  EXPECT_EQ(late.size(), before);
}

// Fetches `url` from a page whose base URL is the server's origin; the outcome the
// page reports ("ok <body>" or "failed").
std::string fetchFromPage(WebKitWebViewFactory& factory, const test::HttpsTestServer& server,
                          const std::string& path) {
  ViewUnderTest page(factory);
  page.view->loadHtmlString(pageWithScript("fetch('" + path + R"(')
        .then(r => r.text()).then(t => 'ok ' + t, () => 'failed')
        .then(v => window.webkit.messageHandlers.out.postMessage(v));)"),
                            server.url(""));
  if (!page.waitForBodies(1)) return "no answer";
  return page.bodies[0].is_string() ? page.bodies[0].get<std::string>() : page.bodies[0].dump();
}

TEST(WebKitWebViewTest, DevelopmentAuthoritiesAreTrustedForTheServiceHostsOnly) {
  test::HttpsTestServer server;
  ASSERT_TRUE(server.ok());
  server.handle("GET", "/config", test::TestResponse{200, {}, "{\"from\":\"service\"}"});
  test::TempDir otherCa;
  auto strangers = test::makeTestCertificates(otherCa.path());
  ASSERT_TRUE(strangers);

  // The same session serves every view, so the unverified cases go first.
  {
    WebKitWebViewFactory plain;
    EXPECT_EQ(fetchFromPage(plain, server, "/config"), "failed");
  }
  {
    WebKitWebViewFactory wrongAuthority(
        WebKitWebViewFactory::DevelopmentTrust{strangers->caPemPath, {server.hostAndPort()}});
    EXPECT_EQ(fetchFromPage(wrongAuthority, server, "/config"), "failed");
    EXPECT_TRUE(wrongAuthority.isTrustSettled());
  }
  {
    // An unreachable host does not hold the load up for ever.
    WebKitWebViewFactory trusted(WebKitWebViewFactory::DevelopmentTrust{
        server.caPemPath(), {server.hostAndPort(), "127.0.0.1:1"}});
    EXPECT_EQ(fetchFromPage(trusted, server, "/config"), "ok {\"from\":\"service\"}");
  }
  bool fetched = false;
  for (const auto& request : server.requests()) fetched |= request.path == "/config";
  EXPECT_TRUE(fetched);
}

}  // namespace
}  // namespace qv
