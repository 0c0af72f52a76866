#pragma once
// Source addresses: turning a source text ("http://", "ftp://", "tracker://",
// "btnode://") into a candidate, and the IPv4 helpers the connections share.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "peers/TPeerId.h"

namespace veldmoor {

class HostResolver;

// The guest password of an FTP source that names no user.
inline constexpr const char* kFtpGuestPassword = "veldmoor@example.com";
inline constexpr int32_t kDefaultHttpPort = 80;
inline constexpr int32_t kDefaultFtpPort = 21;

// Not 0 and not 255.255.255.255 ("-1").
bool IsValidAddress(uint32_t ip);
bool IsValidPort(int32_t port);

uint32_t AddressFromBytes(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
std::array<uint8_t, 4> AddressBytes(uint32_t ip);
// "a.b.c.d", and "a.b.c.d : port".
std::string AddressText(uint32_t ip);
std::string AddressPortText(uint32_t ip, int32_t port);

// Up to four dotted decimal fields, the first being the top byte ("1.2.3" is
// 1.2.3.0). kNoAddress for anything else and for 0.0.0.0.
uint32_t ParseNumericAddress(std::string_view text);
bool IsDigitsAndDots(std::string_view text);

// CR, LF or NUL: bytes that would split or cut a protocol line.
bool HasLineBreakOrNul(std::string_view text);

// Fills the candidate's kind, address, port and server details from its URL,
// resolving the host for every kind but a BitTorrent peer.
bool ParseSourceUrl(TPeerId& candidate);
bool ParseSourceUrl(TPeerId& candidate, HostResolver& resolver);

bool SameSource(const TPeerId& a, const TPeerId& b);

}  // namespace veldmoor
