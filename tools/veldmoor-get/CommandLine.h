#pragma once
// The command line of veldmoor-get, read into a plain record. Reading only
// checks the text: nothing here touches a file, the network or the engine.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace veldmoor {

struct MirrorOption {
    std::string url;
    std::string hostName;  // sent as the requested host; "null" when none is given
};

struct ProxyOption {
    int32_t kind = 0;  // a ProxySettingsKind
    std::string host;  // a name or a dotted IPv4 address
    int32_t port = 0;
    std::string userName;
    std::string password;
    bool remoteResolve = false;  // the proxy resolves the remote host name
};

struct GetOptions {
    std::string output;
    std::string torrent;    // empty: a plain HTTP/FTP task
    std::string stateFile;  // the output + ".vminfo" unless given
    std::vector<std::string> urls;
    std::vector<MirrorOption> mirrors;
    std::optional<int32_t> downloadLimitKiB;  // 0 = none
    std::optional<int32_t> connections;
    std::optional<bool> peerToPeer;  // unset: on with a torrent, off without
    std::optional<int32_t> listenPort;
    std::string natServer;  // empty: the built-in one
    int32_t natServerPort = 0;
    std::optional<ProxyOption> proxy;
    bool seed = false;
    bool statusJson = false;
    bool quiet = false;
    bool verbose = false;

    bool PeerToPeerWanted() const { return peerToPeer.value_or(!torrent.empty()); }
};

struct HelpRequest {};

struct UsageError {
    std::string message;
};

using CommandLine = std::variant<GetOptions, HelpRequest, UsageError>;

// `arguments` excludes the program name.
CommandLine ParseCommandLine(const std::vector<std::string_view>& arguments);

// "scheme://[user[:password]@]host:port" with the schemes http, socks4,
// socks4a, socks5 and socks5h; user and password may be percent-encoded.
std::variant<ProxyOption, UsageError> ParseProxyUrl(std::string_view text);

// The text of --help, exit statuses included.
std::string UsageText();

// The shortest hint printed after a usage error.
inline constexpr const char* kUsageHint = "Try 'veldmoor-get --help' for more information.";

}  // namespace veldmoor
