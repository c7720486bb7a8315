#include "safari-host/DevCertificateTrust.h"

#include <gio/gio.h>

#include "platform/linux/system/GObjectRef.h"

namespace qv::host {

bool chainsToDevelopmentAuthority(GTlsCertificate* certificate, const std::string& host,
                                  const std::vector<std::string>& caPemPaths) {
  if (certificate == nullptr || host.empty()) return false;
  // The port plays no part in certificate identity.
  GObjectRef<GSocketConnectable> identity(g_network_address_new(host.c_str(), 443));
  for (const std::string& path : caPemPaths) {
    GError* error = nullptr;
    GObjectRef<GTlsDatabase> authorities(g_tls_file_database_new(path.c_str(), &error));
    g_clear_error(&error);
    if (!authorities) continue;
    GTlsCertificateFlags flags = g_tls_database_verify_chain(
        authorities.get(), certificate, G_TLS_DATABASE_PURPOSE_AUTHENTICATE_SERVER, identity.get(),
        nullptr, G_TLS_DATABASE_VERIFY_NONE, nullptr, &error);
    bool failed = error != nullptr;
    g_clear_error(&error);
    if (!failed && flags == 0) return true;
  }
  return false;
}

}  // namespace qv::host
