#include "tests/support/HttpsTestServer.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/CHandle.h"
#include "service/HttpServing.h"
#include "tests/support/TempDir.h"

namespace qv::test {
namespace {

using PkeyPtr = CHandle<EVP_PKEY, EVP_PKEY_free>;
using X509Ptr = CHandle<X509, X509_free>;
using ExtensionPtr = CHandle<X509_EXTENSION, X509_EXTENSION_free>;
using BioPtr = CHandle<BIO, BIO_free_all>;

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

std::string opensslError(const std::string& step) {
  unsigned long code = ERR_get_error();
  std::string text = step;
  if (code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text += ": ";
    text += buffer;
  }
  ERR_clear_error();
  return text;
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  return extension && X509_add_ext(cert, extension.get(), -1) == 1;
}

// A certificate for `key` named `commonName`, signed by `issuerKey` as `issuer` (itself
// when null), with `extensions` as (nid, value) pairs.
X509Ptr makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                        const std::vector<std::pair<int, const char*>>& extensions) {
  X509Ptr cert(X509_new());
  if (!cert) return nullptr;
  std::uint64_t serial = 0;
  if (RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) != 1) return nullptr;
  serial >>= 1;  // positive
  X509_NAME* name = X509_get_subject_name(cert.get());
  bool ok = X509_set_version(cert.get(), 2) == 1 &&
            ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial) == 1 &&
            X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 24 * 3600) != nullptr &&
            X509_set_pubkey(cert.get(), key) == 1 &&
            X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                                       0) == 1 &&
            X509_set_issuer_name(cert.get(),
                                 issuer != nullptr ? X509_get_subject_name(issuer) : name) == 1;
  if (!ok) return nullptr;
  X509* signer = issuer != nullptr ? issuer : cert.get();
  for (const auto& [nid, value] : extensions) {
    if (!addExtension(cert.get(), signer, nid, value)) return nullptr;
  }
  if (X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256()) == 0) {
    return nullptr;
  }
  return cert;
}

bool writeCertificate(const std::string& path, X509* cert) {
  BioPtr bio(BIO_new_file(path.c_str(), "w"));
  return bio && PEM_write_bio_X509(bio.get(), cert) == 1;
}

bool writeKey(const std::string& path, EVP_PKEY* key) {
  BioPtr bio(BIO_new_file(path.c_str(), "w"));
  return bio &&
         PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

std::optional<std::string> headerIn(const TestHeaders& headers, std::string_view name) {
  std::string wanted = lowerCase(name);
  for (const auto& [key, value] : headers) {
    if (key == wanted) return value;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  return headerIn(headers, name);
}

std::size_t RecordedRequest::headerCount(std::string_view name) const {
  std::string wanted = lowerCase(name);
  return static_cast<std::size_t>(std::count_if(
      headers.begin(), headers.end(), [&](const auto& header) { return header.first == wanted; }));
}

std::optional<TestCertificates> makeTestCertificates(const std::string& directory,
                                                     std::string* error) {
  auto fail = [&](const std::string& step) -> std::optional<TestCertificates> {
    if (error != nullptr) *error = opensslError(step);
    return std::nullopt;
  };
  PkeyPtr caKey(EVP_EC_gen("P-256"));
  PkeyPtr serverKey(EVP_EC_gen("P-256"));
  if (!caKey || !serverKey) return fail("EC key generation");

  X509Ptr ca = makeCertificate(caKey.get(), "Quorvane Test CA", nullptr, nullptr,
                               {{NID_basic_constraints, "critical,CA:TRUE"},
                                {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                {NID_subject_key_identifier, "hash"},
                                {NID_authority_key_identifier, "keyid:always"}});
  if (!ca) return fail("CA certificate");
  X509Ptr server = makeCertificate(serverKey.get(), "127.0.0.1", ca.get(), caKey.get(),
                                   {{NID_basic_constraints, "critical,CA:FALSE"},
                                    {NID_key_usage, "critical,digitalSignature"},
                                    {NID_ext_key_usage, "serverAuth"},
                                    {NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
                                    {NID_subject_key_identifier, "hash"},
                                    {NID_authority_key_identifier, "keyid:always"}});
  if (!server) return fail("server certificate");

  TestCertificates files{directory + "/ca.pem", directory + "/server.pem",
                         directory + "/server-key.pem"};
  if (!writeCertificate(files.caPemPath, ca.get()) ||
      !writeCertificate(files.certPemPath, server.get()) ||
      !writeKey(files.keyPemPath, serverKey.get())) {
    return fail("writing PEM files");
  }
  return files;
}

struct HttpsTestServer::Impl {
  TempDir directory;
  TestCertificates certificates;
  std::unique_ptr<httplib::SSLServer> server;
  std::thread thread;
  std::atomic<bool> listenReturned{false};
  int port = 0;

  mutable std::mutex mutex;
  mutable std::condition_variable arrived;
  std::vector<RecordedRequest> requests;                                // guarded by mutex
  std::map<std::pair<std::string, std::string>, TestHandler> handlers;  // guarded by mutex

  void serve(const httplib::Request& request, httplib::Response& response) {
    RecordedRequest record{service::receivedRequest(request)};

    TestHandler handler;
    {
      std::lock_guard lock(mutex);
      requests.push_back(record);
      std::string method = request.method == "HEAD" ? "GET" : request.method;
      auto found = handlers.find({method, request.path});
      if (found == handlers.end()) found = handlers.find({"*", request.path});
      if (found != handlers.end()) handler = found->second;
    }
    arrived.notify_all();

    TestResponse answer{404, {}, "not found", "text/plain"};
    if (handler) answer = handler(record);
    response.status = answer.status;
    for (const auto& [name, value] : answer.headers) response.headers.emplace(name, value);
    response.set_content(answer.body, answer.contentType.c_str());
  }

  bool start(std::string& error) {
    std::string certificateError;
    auto files = makeTestCertificates(directory.path(), &certificateError);
    if (!files) {
      error = certificateError;
      return false;
    }
    certificates = *files;
    server = std::make_unique<httplib::SSLServer>(certificates.certPemPath.c_str(),
                                                  certificates.keyPemPath.c_str());
    if (!server->is_valid()) {
      error = "httplib::SSLServer rejected the certificate";
      return false;
    }
    // Enough threads for many simultaneous connections, and idle keep-alive connections
    // released quickly, so concurrent tests do not queue behind idle ones.
    server->new_task_queue = [] { return new httplib::ThreadPool(32); };
    server->set_keep_alive_timeout(1);
    service::routeEveryRequest(
        *server, [this](const httplib::Request& request, httplib::Response& response) {
          serve(request, response);
        });

    port = server->bind_to_any_port("127.0.0.1");
    if (port <= 0) {
      port = 0;
      error = "cannot bind 127.0.0.1";
      return false;
    }
    thread = std::thread([this] {
      server->listen_after_bind();
      listenReturned = true;
    });
    // stop() has no effect until the accept loop runs, so wait for it here.
    waitUntilListening();
    if (!server->is_running()) {
      error = "the server did not start listening";
      return false;
    }
    return true;
  }

  void waitUntilListening() const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!server->is_running() && !listenReturned &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  ~Impl() {
    if (thread.joinable()) {
      waitUntilListening();
      server->stop();
      thread.join();
    }
  }
};

HttpsTestServer::HttpsTestServer() : impl_(std::make_unique<Impl>()) {
  std::string error;
  if (!impl_->start(error)) {
    impl_->port = 0;
    ADD_FAILURE() << "HttpsTestServer could not start: " << error;
  }
}

HttpsTestServer::~HttpsTestServer() = default;

bool HttpsTestServer::ok() const {
  return impl_->port != 0;
}
int HttpsTestServer::port() const {
  return impl_->port;
}
std::string HttpsTestServer::hostAndPort() const {
  return "127.0.0.1:" + std::to_string(impl_->port);
}
std::string HttpsTestServer::url(std::string_view target) const {
  return "https://" + hostAndPort() + std::string(target);
}
const std::string& HttpsTestServer::caPemPath() const {
  return impl_->certificates.caPemPath;
}
const TestCertificates& HttpsTestServer::certificates() const {
  return impl_->certificates;
}

void HttpsTestServer::handle(std::string method, std::string path, TestHandler handler) {
  std::lock_guard lock(impl_->mutex);
  impl_->handlers[{std::move(method), std::move(path)}] = std::move(handler);
}

void HttpsTestServer::handle(std::string method, std::string path, TestResponse response) {
  handle(std::move(method), std::move(path),
         [response = std::move(response)](const RecordedRequest&) { return response; });
}

std::vector<RecordedRequest> HttpsTestServer::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

bool HttpsTestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->arrived.wait_for(lock, timeout, [&] { return impl_->requests.size() >= count; });
}

void HttpsTestServer::clearRequests() {
  std::lock_guard lock(impl_->mutex);
  impl_->requests.clear();
}

}  // namespace qv::test

// Debian's cpp-httplib is a prebuilt library that ThreadSanitizer cannot see into: its
// own synchronisation (function-local statics, atomics) is invisible, so the memcpy and
// memcmp it calls look like races. Stop checking those calls; the handlers it runs are
// project code and stay checked.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libcpp-httplib.so\n";
}
