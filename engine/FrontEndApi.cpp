// The task interface's calls for front ends: process-wide settings and the
// questions asked before a task exists.
#include <memory>
#include <string>

#include "engine/TaskApi.h"
#include "foundation/CVeldmoorLog.h"
#include "peers/HostResolver.h"
#include "peers/LocalEndpoint.h"
#include "peers/QProxyInfo.h"
#include "peers/SourceAddress.h"
#include "platform/Files.h"
#include "torrent/Bencode.h"
#include "torrent/TorrentLimits.h"

namespace veldmoor {
namespace {

constexpr bool SameKind(ProxySettingsKind outside, ProxyKind inside) {
    return static_cast<int32_t>(outside) == static_cast<int32_t>(inside);
}
static_assert(SameKind(kProxyKindNone, kProxyNone) && SameKind(kProxyKindHttp, kProxyHttp) &&
              SameKind(kProxyKindSocks4, kProxySocks4) && SameKind(kProxyKindSocks5, kProxySocks5) &&
              SameKind(kProxyKindSocks4a, kProxySocks4a));
static_assert(kMaxSocks5CredentialBytes == kMaxSocksFieldBytes);

constexpr int32_t kHighestPort = 65535;

std::string TextOrEmpty(const char* text) { return text ? text : ""; }

// A dotted address is taken as it is, never looked up: "1.2.3.999" is an error, not a name.
// An IPv6 address may come in the brackets of a URL.
std::optional<IpAddress> ProxyAddress(std::string_view host) {
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (const auto numeric = ParseNumericAddress(host)) return numeric;
    if (IsDigitsAndDots(host) || host.find(':') != std::string_view::npos) return std::nullopt;
    return LookupHost(std::string(host));
}

}  // namespace

int EngineSetDefaultProxy(const ProxySettings* proxy) {
    if (!proxy || proxy->kind < kProxyKindNone || proxy->kind > kProxyKindSocks4a) return kResultBadArgument;
    if (proxy->kind == kProxyKindNone) {
        SetDefaultProxy(QProxyInfo{});
        return kResultOk;
    }
    if (proxy->port < 1 || proxy->port > kHighestPort) return kResultBadArgument;
    const std::string userName = TextOrEmpty(proxy->userName);
    const std::string password = TextOrEmpty(proxy->password);
    if (proxy->kind == kProxyKindSocks5 && (userName.size() > kMaxSocksFieldBytes || password.size() > kMaxSocksFieldBytes))
        return kResultBadArgument;
    const std::optional<IpAddress> ip = ProxyAddress(TextOrEmpty(proxy->host));
    if (!IsValidAddress(ip)) return kResultFailed;
    QProxyInfo info;
    info.kind = proxy->kind;
    info.ip = ip;
    info.port = proxy->port;
    info.remoteResolve = proxy->remoteResolve;
    info.userName = userName;
    info.password = password;
    SetDefaultProxy(info);
    return kResultOk;
}

int EngineSetDiagnostics(int enable) {
    if (enable)
        VeldmoorLog().SetLevels(CVeldmoorLogApi::kStandardFileThreshold, CVeldmoorLogApi::kStandardDebuggerThreshold);
    else
        VeldmoorLog().SetLevels(CVeldmoorLogApi::kSilent, CVeldmoorLogApi::kSilent);
    return kResultOk;
}

int TorrentFileCount(const char* path) {
    if (!path) return kResultBadArgument;
    const platform::BoundedRead read = platform::ReadFileUpTo(path, kMaxTorrentFileBytes);
    if (read.result != platform::BoundedReadResult::kRead || read.bytes.empty()) return kResultFailed;
    const std::unique_ptr<QElement> root = ParseElement(read.bytes.data(), static_cast<int>(read.bytes.size()));
    if (!root || root->GetKind() != kElementDictionary) return kResultFailed;
    const QElement* info = root->GetValue("info");
    if (!info || info->GetKind() != kElementDictionary) return kResultFailed;
    const QElement* files = info->GetValue("files");
    if (!files || info->GetValue("length")) return 1;
    return files->GetKind() == kElementList ? files->GetCount() : 1;
}

}  // namespace veldmoor
