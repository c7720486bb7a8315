#pragma once

#include <string>
#include <vector>

typedef struct _GTlsCertificate GTlsCertificate;

namespace qv::host {

// Development only: true when `certificate` (as a server presented it, with any
// intermediates linked as issuers) is valid now for `host` and chains to one of the
// certificate authorities in the PEM files `caPemPaths`. Nothing else is ever trusted
// this way: no authorities, or an unreadable file, trust nothing. Any thread.
bool chainsToDevelopmentAuthority(GTlsCertificate* certificate, const std::string& host,
                                  const std::vector<std::string>& caPemPaths);

}  // namespace qv::host
