// Feeds arbitrary text to the source-line parser as a URL, with a resolver
// that knows no names, so only numeric hosts ("a.b.c.d", "[v6]") resolve.
// Beyond the sanitizers' checks, it traps when:
//  - a parsed source has a port outside 1..65535 (0 only for a peer without one);
//  - a server or tracker source resolved to an address but its host is not
//    that address's URL form (IPv6 in brackets), or a bracketed host was asked
//    of the name servers;
//  - a peer source has no address.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "peers/HostResolver.h"
#include "peers/SourceAddress.h"

namespace {

using namespace veldmoor;

[[noreturn]] void Fail(const char* what) { fuzz::Fail("source_url_fuzz", what); }

std::string lastQuery;

HostResolver& NoNames() {
    static HostResolver resolver(
        [](const std::string& name) {
            lastQuery = name;
            return platform::HostQueryAnswer{platform::HostQueryStatus::kHostNotFound, {}};
        },
        [] { return std::vector<std::string>{}; });
    return resolver;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TPeerId candidate(std::string(reinterpret_cast<const char*>(data), size));
    lastQuery.clear();
    const bool parsed = ParseSourceUrl(candidate, NoNames());
    if (lastQuery.find_first_of("[]:") != std::string::npos) Fail("a bracketed or numeric host asked of the name servers");
    if (!parsed) return 0;
    if (candidate.kind == kPeerBitTorrent) {
        if (!candidate.ip) Fail("a peer without an address");
        if (candidate.port < 0 || candidate.port > 65535) Fail("a peer port outside 0..65535");
        return 0;
    }
    if (!IsValidPort(candidate.port)) Fail("a port outside 1..65535");
    const std::string& host = candidate.details->host;
    if (candidate.ip && UrlHostText(*candidate.ip) != host && UrlHostAddress(host) != candidate.ip)
        Fail("an address that is not the host's");
    return 0;
}
