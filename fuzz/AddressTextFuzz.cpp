// Feeds arbitrary bytes to the address type's parsers: the text forms peers,
// trackers and proxies' clients hand us (an address, "[v6]:port") and the
// compact wire forms. Beyond the sanitizers' checks, it traps when:
//  - a parsed address or endpoint does not parse back from its own text to the
//    same value;
//  - an IPv6 address prints without a colon, or an endpoint's IPv6 text lacks
//    its brackets;
//  - a compact form that parses does not write back to the same bytes (an
//    IPv4-mapped IPv6 entry writes back as the 6-byte IPv4 form).
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "platform/IpAddress.h"

namespace {

using namespace veldmoor;

[[noreturn]] void Fail(const char* what) { fuzz::Fail("address_text_fuzz", what); }

void CheckAddressText(std::string_view text) {
    const auto address = IpAddress::Parse(text);
    if (!address) return;
    const std::string printed = address->Text();
    if (IpAddress::Parse(printed) != address) Fail("an address does not parse back from its text");
    if (address->IsV6() && printed.find(':') == std::string::npos) Fail("an IPv6 address printed without a colon");
}

void CheckEndpointText(std::string_view text) {
    const auto endpoint = Endpoint::Parse(text, true);
    if (!endpoint) return;
    const std::string printed = endpoint->Text();
    if (Endpoint::Parse(printed, true) != endpoint) Fail("an endpoint does not parse back from its text");
    if (endpoint->address.IsV6() && printed.front() != '[') Fail("an IPv6 endpoint printed without brackets");
}

void CheckCompact(std::span<const uint8_t> bytes) {
    const auto endpoint = Endpoint::FromCompact(bytes);
    if (bytes.size() != Endpoint::kCompactV4Bytes && bytes.size() != Endpoint::kCompactV6Bytes) {
        if (endpoint) Fail("a compact form of the wrong size parsed");
        return;
    }
    if (!endpoint) Fail("a compact form of the right size did not parse");
    std::string written;
    endpoint->AppendCompact(written);
    const std::string_view original(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const bool mapped = bytes.size() == Endpoint::kCompactV6Bytes && endpoint->address.IsV4();
    if (!mapped && written != original) Fail("a compact form does not write back to its bytes");
    if (mapped && written.size() != Endpoint::kCompactV4Bytes) Fail("a mapped compact form did not write as IPv4");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckAddressText(text);
    CheckEndpointText(text);
    CheckCompact(std::span(data, size));
    return 0;
}
