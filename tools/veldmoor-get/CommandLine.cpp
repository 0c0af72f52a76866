#include "tools/veldmoor-get/CommandLine.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <set>

#include "engine/SpeedLimit.h"
#include "engine/TaskApi.h"
#include "tools/veldmoor-get/ExitStatus.h"

namespace veldmoor {
namespace {

// Schemes are compared as protocol text: ASCII letters in either case.
bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(),
                                                      [&](char a, char b) { return lower(a) == lower(b); });
}

constexpr int32_t kMaxConnections = 20480;
constexpr int32_t kMaxPort = 65535;
constexpr std::string_view kFileScheme = "file://";
constexpr std::string_view kStateSuffix = ".vminfo";
constexpr const char* kDefaultMirrorHost = "null";

enum class OptionId {
    Output,
    Torrent,
    State,
    Mirror,
    Limit,
    Connections,
    PeerToPeer,
    Port,
    NatServer,
    Proxy,
    Seed,
    StatusJson,
    Quiet,
    Verbose,
    Help
};

struct OptionDefinition {
    OptionId id;
    std::string_view longName;
    char shortName;  // 0: none
    bool takesValue;
};

constexpr std::array<OptionDefinition, 15> kOptions{{
    {OptionId::Output, "output", 'o', true},
    {OptionId::Torrent, "torrent", 'T', true},
    {OptionId::State, "state", 0, true},
    {OptionId::Mirror, "mirror", 0, true},
    {OptionId::Limit, "limit", 0, true},
    {OptionId::Connections, "connections", 0, true},
    {OptionId::PeerToPeer, "p2p", 0, true},
    {OptionId::Port, "port", 0, true},
    {OptionId::NatServer, "nat-server", 0, true},
    {OptionId::Proxy, "proxy", 0, true},
    {OptionId::Seed, "seed", 0, false},
    {OptionId::StatusJson, "status-json", 0, false},
    {OptionId::Quiet, "quiet", 'q', false},
    {OptionId::Verbose, "verbose", 'v', false},
    {OptionId::Help, "help", 'h', false},
}};

const OptionDefinition* FindLong(std::string_view name) {
    const auto found =
        std::find_if(kOptions.begin(), kOptions.end(), [&](const OptionDefinition& o) { return o.longName == name; });
    return found == kOptions.end() ? nullptr : &*found;
}

const OptionDefinition* FindShort(char name) {
    const auto found =
        std::find_if(kOptions.begin(), kOptions.end(), [&](const OptionDefinition& o) { return o.shortName == name; });
    return found == kOptions.end() ? nullptr : &*found;
}

std::string DisplayName(const OptionDefinition& option) { return "--" + std::string(option.longName); }

// Control bytes and blanks would split or be trimmed from a source line.
bool HasBlankOrControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 32 || byte == 127;
    });
}

std::optional<std::string> CheckSourceUrl(std::string_view url) {
    const bool http = StartsWithNoCase(url, "http://");
    const bool ftp = StartsWithNoCase(url, "ftp://");
    if (!http && !ftp) return "'" + std::string(url) + "' is not an http:// or ftp:// URL";
    const size_t schemeLength = http ? 7 : 6;
    if (url.size() == schemeLength) return "'" + std::string(url) + "' names no host";
    if (HasBlankOrControl(url)) return "'" + std::string(url) + "' holds blanks or control characters";
    return std::nullopt;
}

std::optional<int32_t> ParseWholeNumber(std::string_view text, int32_t low, int32_t high) {
    int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (value < low || value > high) return std::nullopt;
    return value;
}

std::optional<std::string> PercentDecode(std::string_view text) {
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded.push_back(text[i]);
            continue;
        }
        unsigned value = 0;
        if (i + 2 >= text.size()) return std::nullopt;
        const auto [end, error] = std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
        if (error != std::errc() || end != text.data() + i + 3) return std::nullopt;
        decoded.push_back(static_cast<char>(value));
        i += 2;
    }
    return decoded;
}

bool IsHostNameByte(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_'; }

struct ProxyScheme {
    std::string_view name;
    int32_t kind;
    bool remoteResolve;
};

constexpr std::array<ProxyScheme, 5> kProxySchemes{{
    {"http", kProxyKindHttp, false},
    {"socks4", kProxyKindSocks4, false},
    {"socks4a", kProxyKindSocks4a, true},
    {"socks5", kProxyKindSocks5, false},
    {"socks5h", kProxyKindSocks5, true},
}};

UsageError ProxyError(std::string_view text, std::string_view why) {
    return {"--proxy: '" + std::string(text) + "': " + std::string(why)};
}

// Gathers option values, then checks the whole.
class Parser {
public:
    CommandLine Parse(const std::vector<std::string_view>& arguments);

private:
    // Empty when the value was taken.
    std::optional<std::string> Take(const OptionDefinition& option, std::string_view value);
    std::optional<std::string> CheckWhole();

    GetOptions options_;
    std::set<OptionId> seen_;
    bool help_ = false;
};

CommandLine Parser::Parse(const std::vector<std::string_view>& arguments) {
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            options_.urls.emplace_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }

        const OptionDefinition* option = nullptr;
        std::optional<std::string_view> inlineValue;
        if (argument[1] == '-') {
            const std::string_view body = argument.substr(2);
            const size_t equals = body.find('=');
            const std::string_view name = body.substr(0, equals);
            option = FindLong(name);
            if (!option) return UsageError{"unknown option '--" + std::string(name) + "'"};
            if (equals != std::string_view::npos) inlineValue = body.substr(equals + 1);
            if (inlineValue && !option->takesValue)
                return UsageError{"option " + DisplayName(*option) + " takes no value"};
        } else {
            option = FindShort(argument[1]);
            if (!option) return UsageError{"unknown option '" + std::string(argument.substr(0, 2)) + "'"};
            if (argument.size() > 2) {
                if (!option->takesValue) return UsageError{"unknown option '" + std::string(argument) + "'"};
                inlineValue = argument.substr(2);
            }
        }

        std::string_view value;
        if (option->takesValue) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < arguments.size()) {
                value = arguments[++i];
            } else {
                return UsageError{"option " + DisplayName(*option) + " needs a value"};
            }
        }
        if (auto error = Take(*option, value)) return UsageError{std::move(*error)};
    }
    if (help_) return HelpRequest{};
    if (auto error = CheckWhole()) return UsageError{std::move(*error)};
    return options_;
}

std::optional<std::string> Parser::Take(const OptionDefinition& option, std::string_view value) {
    const bool repeatable = option.id == OptionId::Mirror || !option.takesValue;
    if (!seen_.insert(option.id).second && !repeatable) return "option " + DisplayName(option) + " given twice";
    const std::string name = DisplayName(option);
    const auto numberError = [&](int32_t low, int32_t high) {
        return name + ": '" + std::string(value) + "' is not a whole number from " + std::to_string(low) + " to " +
               std::to_string(high);
    };

    switch (option.id) {
        case OptionId::Output:
            if (value.empty()) return name + " needs a file name";
            options_.output = value;
            break;
        case OptionId::Torrent:
            if (value.empty()) return name + " needs a file name";
            options_.torrent = value;
            break;
        case OptionId::State:
            if (value.empty()) return name + " needs a file name";
            options_.stateFile = value;
            break;
        case OptionId::Mirror: {
            // The last "=" separates the host name; a URL holding "=" itself
            // therefore needs an explicit "=HOST".
            const size_t equals = value.rfind('=');
            MirrorOption mirror{std::string(value.substr(0, equals)), kDefaultMirrorHost};
            if (equals != std::string_view::npos) mirror.hostName = value.substr(equals + 1);
            if (auto error = CheckSourceUrl(mirror.url)) return name + ": " + *error;
            if (mirror.hostName.empty() || HasBlankOrControl(mirror.hostName))
                return name + ": '" + std::string(value) + "' has an empty or malformed host name";
            options_.mirrors.push_back(std::move(mirror));
            break;
        }
        case OptionId::Limit:
            options_.downloadLimitKiB = ParseWholeNumber(value, 0, kMaxSpeedLimitKiB);
            if (!options_.downloadLimitKiB) return numberError(0, kMaxSpeedLimitKiB);
            break;
        case OptionId::Connections:
            options_.connections = ParseWholeNumber(value, 1, kMaxConnections);
            if (!options_.connections) return numberError(1, kMaxConnections);
            break;
        case OptionId::Port:
            options_.listenPort = ParseWholeNumber(value, 1, kMaxPort);
            if (!options_.listenPort) return numberError(1, kMaxPort);
            break;
        case OptionId::NatServer: {
            const size_t colon = value.rfind(':');
            const std::string_view host = value.substr(0, colon);
            std::optional<int32_t> port = 0;
            if (colon != std::string_view::npos) port = ParseWholeNumber(value.substr(colon + 1), 1, kMaxPort);
            if (host.empty() || !port || !std::all_of(host.begin(), host.end(), IsHostNameByte))
                return name + ": '" + std::string(value) + "' is not HOST or HOST:PORT";
            options_.natServer = host;
            options_.natServerPort = *port;
            break;
        }
        case OptionId::PeerToPeer:
            if (value == "on")
                options_.peerToPeer = true;
            else if (value == "off")
                options_.peerToPeer = false;
            else
                return name + ": '" + std::string(value) + "' is neither 'on' nor 'off'";
            break;
        case OptionId::Proxy: {
            auto proxy = ParseProxyUrl(value);
            if (auto* error = std::get_if<UsageError>(&proxy)) return error->message;
            options_.proxy = std::get<ProxyOption>(proxy);
            break;
        }
        case OptionId::Seed: options_.seed = true; break;
        case OptionId::StatusJson: options_.statusJson = true; break;
        case OptionId::Quiet: options_.quiet = true; break;
        case OptionId::Verbose: options_.verbose = true; break;
        case OptionId::Help: help_ = true; break;
    }
    return std::nullopt;
}

std::optional<std::string> Parser::CheckWhole() {
    if (options_.output.empty()) return "missing -o/--output FILE";
    if (options_.torrent.empty() && options_.urls.empty()) return "nothing to download: give -T TORRENT or a URL";
    if (options_.seed && options_.torrent.empty()) return "--seed needs a torrent (-T)";
    for (const std::string& url : options_.urls) {
        if (auto error = CheckSourceUrl(url)) return *error;
    }
    if (options_.stateFile.empty()) options_.stateFile = options_.output + std::string(kStateSuffix);

    // The task descriptor holds each path in a fixed, NUL-terminated field.
    const auto fits = [](size_t length) { return length < static_cast<size_t>(kPathCapacity); };
    if (!fits(options_.output.size())) return "the output path is too long";
    if (!fits(options_.stateFile.size())) return "the state file path is too long";
    if (!fits(kFileScheme.size() + options_.torrent.size())) return "the torrent path is too long";
    return std::nullopt;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string_view>& arguments) { return Parser().Parse(arguments); }

std::variant<ProxyOption, UsageError> ParseProxyUrl(std::string_view text) {
    const size_t schemeEnd = text.find("://");
    if (schemeEnd == std::string_view::npos) return ProxyError(text, "expected scheme://host:port");
    const std::string_view schemeName = text.substr(0, schemeEnd);
    const auto scheme = std::find_if(kProxySchemes.begin(), kProxySchemes.end(), [&](const ProxyScheme& s) {
        return schemeName.size() == s.name.size() && StartsWithNoCase(schemeName, s.name);
    });
    if (scheme == kProxySchemes.end())
        return ProxyError(text, "the scheme is not http, socks4, socks4a, socks5 or socks5h");

    ProxyOption proxy;
    proxy.kind = scheme->kind;
    proxy.remoteResolve = scheme->remoteResolve;

    std::string_view rest = text.substr(schemeEnd + 3);
    if (rest.ends_with('/')) rest.remove_suffix(1);
    const size_t at = rest.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view credentials = rest.substr(0, at);
        const size_t colon = credentials.find(':');
        const auto user = PercentDecode(credentials.substr(0, colon));
        const auto password = colon == std::string_view::npos ? std::optional<std::string>("")
                                                              : PercentDecode(credentials.substr(colon + 1));
        if (!user || !password) return ProxyError(text, "a bad %-escape in the user name or password");
        if (user->empty()) return ProxyError(text, "the user name is empty");
        if (proxy.kind == kProxyKindSocks4 || proxy.kind == kProxyKindSocks4a)
            return ProxyError(text, "SOCKS4 proxies take no user name or password");
        if (proxy.kind == kProxyKindSocks5 &&
            (user->size() > kMaxSocks5CredentialBytes || password->size() > kMaxSocks5CredentialBytes))
            return ProxyError(text, "SOCKS5 user names and passwords hold at most 255 bytes");
        proxy.userName = *user;
        proxy.password = *password;
        rest = rest.substr(at + 1);
    }

    const size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) return ProxyError(text, "the port is missing");
    const std::string_view host = rest.substr(0, colon);
    if (host.empty() || !std::all_of(host.begin(), host.end(), IsHostNameByte))
        return ProxyError(text, "the host must be a host name or an IPv4 address");
    const auto port = ParseWholeNumber(rest.substr(colon + 1), 1, kMaxPort);
    if (!port) return ProxyError(text, "the port is not a number from 1 to 65535");
    proxy.host = host;
    proxy.port = *port;
    return proxy;
}

std::string UsageText() {
    std::string text =
        "Usage: veldmoor-get -o OUTPUT [-T TORRENT] [options] [URL...]\n"
        "\n"
        "Downloads one file through the Veldmoor engine: from the http:// and ftp://\n"
        "URLs, from the peers of the torrent, or both. An unfinished download is\n"
        "resumed when its state file from an earlier run exists.\n"
        "\n"
        "Options:\n"
        "  -o, --output FILE      the file to write (required)\n"
        "  -T, --torrent FILE     a single-file torrent; with URLs a P2SP task, without\n"
        "                         them a BitTorrent task\n"
        "      --state BASE       the state file (default: OUTPUT.vminfo)\n"
        "      --mirror URL[=HOST]  an extra mirror, HOST sent as its host name (default\n"
        "                         'null'); repeatable; a URL holding '=' needs =HOST\n"
        "      --limit KIB        download limit in KiB/s, 0 to " +
        std::to_string(kMaxSpeedLimitKiB) +
        " (0: none)\n"
        "      --connections N    at most N source and N peer connections\n"
        "      --p2p on|off       peer-to-peer transfer (default: on with -T, else off)\n"
        "      --port N           the peer listening port (default 8080)\n"
        "      --nat-server HOST[:PORT]  the NAT rendezvous server for peers behind routers\n"
        "      --proxy URL        http://, socks4://, socks4a://, socks5:// or socks5h://\n"
        "                         [user[:password]@]host:port (socks4a and socks5h let\n"
        "                         the proxy resolve host names)\n"
        "      --seed             keep serving after completion until interrupted\n"
        "      --status-json      one JSON status line per second on standard output\n"
        "  -q, --quiet            no progress bar and no notes; failures are still told\n"
        "  -v, --verbose          the engine's diagnostics on standard error\n"
        "  -h, --help             this text\n"
        "\n"
        "SIGINT or SIGTERM stops the download cleanly and keeps its state for a later\n"
        "run; a second signal ends the process at once.\n"
        "\n"
        "Exit status:\n";
    for (const ExitStatusEntry& entry : ExitStatusTable()) {
        std::string number = std::to_string(entry.status);
        number.insert(0, 5 - std::min<size_t>(number.size(), 5), ' ');
        text += number + "  " + entry.meaning + "\n";
    }
    return text;
}

}  // namespace veldmoor
