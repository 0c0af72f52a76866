#pragma once
// Source addresses: turning a source text ("http://", "ftp://", "tracker://",
// "btnode://") into a candidate, and the address checks the connections share.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "peers/TPeerId.h"

namespace veldmoor {

class HostResolver;

// The guest password of an FTP source that names no user.
inline constexpr const char* kFtpGuestPassword = "veldmoor@example.com";
inline constexpr int32_t kDefaultHttpPort = 80;
inline constexpr int32_t kDefaultFtpPort = 21;

// An address to connect to: known, not unspecified (0.0.0.0, ::) and not the
// IPv4 broadcast 255.255.255.255 (the old "no address" mark).
bool IsValidAddress(const std::optional<IpAddress>& ip);
bool IsValidPort(int32_t port);

// "a.b.c.d : port", "[v6] : port": how logs and the front end show a peer.
std::string AddressPortText(const IpAddress& ip, int32_t port);

// A numeric host: strict dotted IPv4 or IPv6 text (no brackets), never 0.0.0.0
// or ::. Nothing for a name or a malformed number.
std::optional<IpAddress> ParseNumericAddress(std::string_view text);
// The address a URL's host names by number: dotted IPv4, or IPv6 in
// brackets ("[2001:db8::1]") or without. Nothing for a name.
std::optional<IpAddress> UrlHostAddress(std::string_view host);
// Only digits and dots: meant as an IPv4 address, whether or not it is one.
bool IsDigitsAndDots(std::string_view text);

// CR, LF or NUL: bytes that would split or cut a protocol line.
bool HasLineBreakOrNul(std::string_view text);

// Fills the candidate's kind, address, port and server details from its URL,
// resolving the host for every kind but a BitTorrent peer.
bool ParseSourceUrl(TPeerId& candidate);
bool ParseSourceUrl(TPeerId& candidate, HostResolver& resolver);

bool SameSource(const TPeerId& a, const TPeerId& b);

// The host's first address of the other family than the candidate's own, which
// a connection to the candidate races against it; nothing for a candidate that
// kept no further addresses.
std::optional<IpAddress> RacePartner(const TPeerId& candidate);
// The candidate's address, then its race partner.
std::vector<IpAddress> ConnectAddresses(const TPeerId& candidate);

}  // namespace veldmoor
