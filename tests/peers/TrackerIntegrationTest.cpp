// The tracker announce against a real opentracker, over HTTP and over UDP,
// next to peers the test announces itself from other loopback addresses.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "peers/SourceAddress.h"
#include "peers/TTrackerPeer.h"
#include "peers/TrackerProtocol.h"
#include "tests/peers/FakeTrackerJob.h"
#include "tests/peers/LoopbackHelpers.h"
#include "tests/support/OpentrackerServer.h"

namespace veldmoor::test {
namespace {

InfoHash TestInfoHash() {
    InfoHash hash{};
    for (size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<uint8_t>(0x5A ^ (i * 37));
    return hash;
}

PeerIdentity PeerIdOf(char letter) {
    PeerIdentity identity{};
    identity.fill(static_cast<uint8_t>(letter));
    return identity;
}

// An announce the test makes itself from `from`, for a peer listening on `peerPort`.
AnnounceAnswer RawAnnounce(const IpAddress& from, int32_t trackerPort, const InfoHash& hash, int32_t peerPort) {
    AnnounceQuery query;
    query.path = "/announce";
    query.infoHash = hash;
    query.peerId = PeerIdOf(static_cast<char>('a' + peerPort % 26));
    query.listenPort = peerPort;
    query.left = 1000;
    const std::string request = BuildAnnounceRequest(BuildAnnouncePath(query), "127.0.0.1", trackerPort);
    QSocket socket;
    if (!socket.Connect(Loopback(), trackerPort, false, nullptr, from) || !WaitConnected(socket) ||
        !SendAll(socket, request))
        return {};
    std::string received;
    WaitUntil([&] {
        const int result = socket.Receive(0);
        received += Input(socket);
        socket.ConsumeInput(-1, true);
        return result < 0;
    });
    return ParseAnnounceAnswer(FrameTrackerAnswer(received, true).body);
}

bool Lists(const AnnounceAnswer& answer, const IpAddress& ip, int32_t port) {
    return std::any_of(answer.peers.begin(), answer.peers.end(),
                       [&](const TrackerPeer& peer) { return peer.endpoint.address == ip && peer.endpoint.port == port; });
}

class TrackerIntegrationTest : public ::testing::TestWithParam<bool> {};

TEST_P(TrackerIntegrationTest, TheJobAndAnotherPeerLearnEachOther) {
    ASSERT_TRUE(ProgramExists("opentracker")) << "opentracker is not installed (scripts/setup.sh installs it)";
    const InfoHash hash = TestInfoHash();
    TempDir dir;
    OpentrackerServer tracker;
    const int port = tracker.Start({hash}, dir.Path());
    ASSERT_GT(port, 0);

    // Announced from 127.0.0.5: the job refuses candidates at 127.0.0.1.
    const IpAddress other = Ipv4Address::FromOctets(127, 0, 0, 5);
    ASSERT_TRUE(WaitUntil([&] {
        const AnnounceAnswer answer = RawAnnounce(other, port, hash, 7001);
        return answer.parsed && answer.failureReason.empty();
    })) << "the tracker does not serve the torrent";

    FakeTrackerJob job;
    job.infoHash = hash;
    job.peerId = PeerIdOf('J');
    job.port = 7002;
    job.totals = {0, 0, 1000};
    std::unique_ptr<TPeerId, CandidateRelease> candidate(new TPeerId("tracker://" + tracker.AnnounceUrl(GetParam())));
    ASSERT_TRUE(ParseSourceUrl(*candidate));
    std::unique_ptr<TTrackerPeer, PeerRelease> peer(new TTrackerPeer(&job, kEventStarted));
    ASSERT_TRUE(peer->Open(candidate.get()));
    ASSERT_TRUE(WaitUntil([&] { return !peer->Tick(); }));
    EXPECT_TRUE(peer->EndedCleanly());
    EXPECT_TRUE(job.Learnt(other, 7001));
    EXPECT_GE(job.interval, kMinAnnounceInterval);

    // The tracker now lists the job, under the address its announce came from.
    const AnnounceAnswer later = RawAnnounce(Ipv4Address::FromOctets(127, 0, 0, 6), port, hash, 7003);
    EXPECT_TRUE(Lists(later, Loopback(), 7002));
    EXPECT_TRUE(Lists(later, other, 7001));
}

INSTANTIATE_TEST_SUITE_P(Transports, TrackerIntegrationTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& row) { return row.param ? "Udp" : "Http"; });

}  // namespace
}  // namespace veldmoor::test
