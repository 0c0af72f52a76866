// Feeds arbitrary bytes to the readers of an HTTP, SOCKS4 and SOCKS5 proxy's
// reply. Beyond the sanitizers' checks, it traps when:
//  - a reader answers other than need-more, failed or a byte count, takes
//    more than was received or more than the reply cap;
//  - a reply taken whole reads differently once the bytes after it are gone,
//    or a reader asks for more past the cap.
#include <cstdint>

#include "fuzz/FuzzSupport.h"
#include "peers/QProxyInfo.h"

namespace {

using namespace veldmoor;

[[noreturn]] void Fail(const char* what) { fuzz::Fail("proxy_reply_fuzz", what); }

void Check(int32_t kind, const uint8_t* data, size_t size) {
    const long taken = ParseProxyReply(kind, data, size);
    if (taken < kProxyReplyFailed) Fail("an answer below failed");
    if (taken == kProxyReplyNeedMore && size >= kMaxProxyReplyBytes) Fail("need more past the cap");
    if (taken <= 0) return;
    if (static_cast<size_t>(taken) > size) Fail("a reply took more than was received");
    if (static_cast<size_t>(taken) > kMaxProxyReplyBytes) Fail("a reply over the cap");
    if (ParseProxyReply(kind, data, static_cast<size_t>(taken)) != taken) Fail("a reply depends on what follows it");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (const int32_t kind : {kProxyHttp, kProxySocks4, kProxySocks5, kProxySocks4a}) Check(kind, data, size);
    return 0;
}
