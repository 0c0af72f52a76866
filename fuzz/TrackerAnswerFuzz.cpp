// Feeds arbitrary bytes to the tracker answer readers: the HTTP answer's
// framing and bencoded body, and the UDP tracker's connect and announce
// datagrams (with IPv4 or IPv6 entries). The first byte picks the reader and
// the family. Beyond the sanitizers' checks,
// it traps when:
//  - a framed body or the bytes consumed lie outside what was received, or a
//    complete answer is claimed over more than the body cap;
//  - an answer yields a peer without a usable address or port, or one whose
//    identity is neither the tracker's id nor its address-only identity, or
//    an interval the re-announce rule would not allow;
//  - a UDP answer is accepted for another transaction or action.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "peers/SourceAddress.h"
#include "peers/TrackerProtocol.h"

namespace {

using namespace veldmoor;

[[noreturn]] void Fail(const char* what) { fuzz::Fail("tracker_answer_fuzz", what); }

void CheckInterval(int32_t interval) {
    if (interval != kDefaultAnnounceInterval && interval < kMinAnnounceInterval) Fail("an interval below the floor");
}

void CheckPeers(const std::vector<TrackerPeer>& peers, bool identityFromAddress) {
    for (const TrackerPeer& peer : peers) {
        if (!IsPeerEndpoint(peer.endpoint)) Fail("a peer without a usable address or port");
        if (identityFromAddress && peer.identity != AddressOnlyIdentity(peer.endpoint))
            Fail("a compact peer with another identity than its address");
    }
}

void CheckHttp(std::string_view received, bool closed) {
    const TrackerAnswerFrame frame = FrameTrackerAnswer(received, closed);
    if (frame.status != TrackerAnswerStatus::kComplete) {
        if (!frame.body.empty() && frame.status == TrackerAnswerStatus::kIncomplete) Fail("a body before the end");
        (void)ParseAnnounceAnswer(received);
        return;
    }
    if (frame.consumed > received.size()) Fail("consumed more than was received");
    if (frame.body.size() > kMaxTrackerAnswerBody) Fail("a body over the cap");
    if (!frame.body.empty() &&
        (frame.body.data() < received.data() || frame.body.data() + frame.body.size() > received.data() + received.size()))
        Fail("a body outside the received bytes");
    const AnnounceAnswer answer = ParseAnnounceAnswer(frame.body);
    CheckInterval(answer.interval);
    CheckPeers(answer.peers, false);
    if (!answer.parsed && !answer.peers.empty()) Fail("peers from an unreadable body");
}

void CheckUdp(std::span<const uint8_t> datagram, AddressFamily family) {
    uint32_t action = 0;
    if (UdpAnswerAction(datagram, action) != (datagram.size() >= 4)) Fail("an action from too few bytes");
    // Most inputs answer their own transaction, so the accepted paths are reached.
    UdpTransactionId expected{1, 2, 3, 4};
    if (datagram.size() >= 8 && (datagram[0] & 1) == 0) std::copy_n(datagram.begin() + 4, 4, expected.begin());

    const UdpConnectAnswer connect = ParseUdpConnectAnswer(datagram, expected);
    if (connect.status == UdpAnswerStatus::kAccepted &&
        (datagram.size() < kUdpConnectSize || action != kUdpActionConnect ||
         !std::equal(expected.begin(), expected.end(), datagram.begin() + 4)))
        Fail("a connect answer accepted that does not answer us");

    const UdpAnnounceAnswer announce = ParseUdpAnnounceAnswer(datagram, expected, family);
    if (announce.status != UdpAnswerStatus::kAccepted) {
        if (!announce.peers.empty()) Fail("peers from a refused datagram");
        return;
    }
    if (datagram.size() < kUdpAnnounceResponseHeader || action != kUdpActionAnnounce ||
        !std::equal(expected.begin(), expected.end(), datagram.begin() + 4))
        Fail("an announce answer accepted that does not answer us");
    const size_t entrySize = family == AddressFamily::kIpv6 ? Endpoint::kCompactV6Bytes : Endpoint::kCompactV4Bytes;
    if (announce.peers.size() > (datagram.size() - kUdpAnnounceResponseHeader) / entrySize)
        Fail("more peers than entries");
    for (const TrackerPeer& peer : announce.peers) {
        if (peer.endpoint.address.IsV6() && family != AddressFamily::kIpv6) Fail("an IPv6 peer from IPv4 entries");
    }
    CheckInterval(announce.interval);
    CheckPeers(announce.peers, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    const std::span<const uint8_t> rest(data + 1, size - 1);
    if ((selector & 1) != 0) {
        CheckUdp(rest, (selector & 2) != 0 ? AddressFamily::kIpv6 : AddressFamily::kIpv4);
    } else {
        const std::string_view received(reinterpret_cast<const char*>(rest.data()), rest.size());
        CheckHttp(received, (selector & 2) != 0);
    }
    return 0;
}
