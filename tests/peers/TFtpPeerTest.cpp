// The FTP source against a server scripted by the test over loopback, with
// no piece map behind it: a whole-resource fetch into the candidate's memory.
#include "peers/TFtpPeer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "peers/IPeerJob.h"
#include "peers/SourceAddress.h"
#include "tests/peers/LoopbackHelpers.h"
#include "tests/support/PeerJobStub.h"
#include "tests/support/TorrentFixture.h"

namespace veldmoor::test {
namespace {

class TFtpPeerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(control_.Listen(0, Loopback()));
        ASSERT_TRUE(data_.Listen(0, Loopback()));
        candidate_.reset(new TPeerId("ftp://127.0.0.1:" + std::to_string(control_.LocalPort()) + "/pub/t.torrent"));
        ASSERT_TRUE(ParseSourceUrl(*candidate_));
    }

    // Steps the peer until the server has a whole command line, and takes it.
    std::string NextCommand() {
        std::string line;
        WaitUntil([&] {
            stepped_ = peer_->Tick();
            if (server_->Receive(0) < 0 || !stepped_) return true;
            const std::string input = Input(*server_);
            const size_t end = input.find("\r\n");
            if (end == std::string::npos) return false;
            line = input.substr(0, end + 2);
            server_->ConsumeInput(static_cast<long>(line.size()), false);
            return true;
        });
        return line;
    }
    void Answer(const std::string& command, const std::string& reply) {
        ASSERT_EQ(NextCommand(), command);
        ASSERT_TRUE(SendAll(*server_, reply));
    }

    QSocket control_;
    QSocket data_;
    SourceJobStub job_;
    std::unique_ptr<TPeerId, CandidateRelease> candidate_;
    std::unique_ptr<TFtpPeer, PeerRelease> peer_{new TFtpPeer(&job_)};
    std::unique_ptr<QSocket> server_;
    bool stepped_ = true;
};

TEST_F(TFtpPeerTest, AWholeResourceFetchLogsInAndFillsTheMemoryBuffer) {
    const std::string resource = PatternBytes(100000, 5);
    candidate_->Details().torrentFetch = true;
    ASSERT_TRUE(peer_->Open(candidate_.get()));
    server_ = AcceptOne(control_);
    ASSERT_NE(server_, nullptr);

    // A multi-line greeting, its last line in a later write.
    ASSERT_TRUE(SendAll(*server_, "220-Welcome\r\n220-to the mirror\r\n"));
    ASSERT_TRUE(SendAll(*server_, "220 Ready\r\n"));
    Answer("user anonymous\r\n", "331 Password please\r\n");
    EXPECT_EQ(peer_->Phase(), kPhaseEstablished);
    Answer("pass " + std::string(kFtpGuestPassword) + "\r\n", "230 Logged in\r\n");
    Answer("cwd /pub\r\n", "250 Done\r\n");
    Answer("type i\r\n", "200 Binary\r\n");
    Answer("size t.torrent\r\n", "213 " + std::to_string(resource.size()) + "\r\n");
    // Nothing listens on 127.0.0.9: the data connection must go to the server's own address.
    const int32_t port = data_.LocalPort();
    Answer("pasv\r\n", "227 Entering Passive Mode (127,0,0,9," + std::to_string(port / 256) + "," +
                           std::to_string(port % 256) + ")\r\n");
    Answer("rest 0\r\n", "350 Restarting at 0\r\n");
    ASSERT_EQ(NextCommand(), "retr /pub/t.torrent\r\n");
    const std::unique_ptr<QSocket> transfer = AcceptOne(data_);
    ASSERT_NE(transfer, nullptr);
    ASSERT_TRUE(SendAll(*transfer, resource));
    transfer->Close();
    ASSERT_TRUE(SendAll(*server_, "150 Opening\r\n226 Done\r\n"));

    ASSERT_TRUE(WaitUntil([&] { return !peer_->Tick(); }));
    const TPeerDetails& details = candidate_->Details();
    EXPECT_EQ(details.fileSize, static_cast<int64_t>(resource.size()));
    EXPECT_TRUE(details.done);
    EXPECT_TRUE(details.memoryBuffer == resource);
    EXPECT_TRUE(peer_->EndedCleanly()) << "a finished fetch is no failure of the source";
    EXPECT_TRUE(job_.failures.empty());
}

TEST_F(TFtpPeerTest, RepliesThatEndTheSessionPostponeOrDropTheCandidate) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> exchange;  // command, reply
        std::vector<SourceJobStub::Failure> failures;
        int32_t parallelLimit;  // afterwards, from 4
    };
    const Case cases[] = {
        {"busy greeting", {{"", "421 Too many users\r\n"}}, {}, 3},
        {"password refused", {{"", "220 Ready\r\n"}, {"user anonymous\r\n", "331 Password please\r\n"},
                              {"pass " + std::string(kFtpGuestPassword) + "\r\n", "530 Login incorrect\r\n"}},
         {{true, 60}, {false, 60}}, 4},
        {"file missing", {{"", "220 Ready\r\n"}, {"user anonymous\r\n", "230 Logged in\r\n"},
                          {"cwd /pub\r\n", "550 No such directory\r\n"}},
         {{true, 60}}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        job_.failures.clear();
        candidate_->parallelLimit = 4;
        ASSERT_TRUE(peer_->Open(candidate_.get()));
        server_ = AcceptOne(control_);
        ASSERT_NE(server_, nullptr);
        stepped_ = true;
        for (const auto& [command, reply] : c.exchange) {
            if (!command.empty()) {
                ASSERT_EQ(NextCommand(), command);
            }
            ASSERT_TRUE(SendAll(*server_, reply));
        }
        ASSERT_TRUE(WaitUntil([&] { return !peer_->Tick(); }));
        EXPECT_FALSE(peer_->EndedCleanly());
        ASSERT_EQ(job_.failures.size(), c.failures.size());
        for (size_t i = 0; i < c.failures.size(); ++i) {
            EXPECT_EQ(job_.failures[i].retry, c.failures[i].retry) << i;
            EXPECT_EQ(job_.failures[i].delay, c.failures[i].delay) << i;
        }
        EXPECT_EQ(candidate_->parallelLimit, c.parallelLimit);
        peer_->Reset();
    }
}

}  // namespace
}  // namespace veldmoor::test
