#include "platform/linux/webkit/WebKitDevelopmentTrust.h"

#include <webkit/webkit.h>

#include <set>
#include <string>
#include <utility>

namespace qv {
namespace {

constexpr guint probeTimeoutSeconds = 5;
constexpr guint16 defaultHttpsPort = 443;

}  // namespace

// One host's probe, handed through GIO's callbacks; owned by whichever step runs.
struct WebKitDevelopmentTrust::Probe {
  std::shared_ptr<WebKitDevelopmentTrust> trust;
  GObjectRef<GSocketConnectable> address;
  GObjectRef<GSocketClient> client;
  GObjectRef<GIOStream> tls;
};

void WebKitDevelopmentTrust::whenSettled(std::function<void()> work) {
  start();
  if (settled_) return work();
  waiters_.push_back(std::move(work));
}

void WebKitDevelopmentTrust::start() {
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

void WebKitDevelopmentTrust::onConnected(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<Probe> probe(static_cast<Probe*>(data));
  GError* rawError = nullptr;
  GObjectRef<GSocketConnection> connection(
      g_socket_client_connect_finish(G_SOCKET_CLIENT(source), result, &rawError));
  GErrorPtr connectError(rawError);
  if (!connection) return probe->trust->probeFinished();

  rawError = nullptr;
  probe->tls = GObjectRef<GIOStream>(
      g_tls_client_connection_new(G_IO_STREAM(connection.get()), probe->address.get(), &rawError));
  GErrorPtr tlsError(rawError);
  if (!probe->tls) return probe->trust->probeFinished();
  // Only the development authorities count: a chain they do not sign fails here.
  g_tls_connection_set_database(G_TLS_CONNECTION(probe->tls.get()), probe->trust->database_.get());
  GIOStream* tls = probe->tls.get();
  g_tls_connection_handshake_async(G_TLS_CONNECTION(tls), G_PRIORITY_DEFAULT, nullptr, &onHandshake,
                                   probe.release());
}

void WebKitDevelopmentTrust::onHandshake(GObject* source, GAsyncResult* result, gpointer data) {
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

void WebKitDevelopmentTrust::probeFinished() {
  if (remaining_ > 0 && --remaining_ == 0) settle();
}

void WebKitDevelopmentTrust::settle() {
  settled_ = true;
  std::vector<std::function<void()>> ready;
  ready.swap(waiters_);
  for (auto& work : ready) work();
}

}  // namespace qv
