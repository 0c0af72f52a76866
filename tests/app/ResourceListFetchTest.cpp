// The resource list over HTTPS from nginx, with a CA the test makes: its
// mirrors reach the engine, its switch turns peer transfer off, a closed cdn
// is ignored, and a server the CA does not vouch for is refused.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/Files.h"
#include "tests/app/ControllerWorld.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Infrastructure.h"
#include "tests/support/TorrentFixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace veldmoor {
namespace {

using namespace test;

const std::string kContent = PatternBytes(6 * 512 * 1024 + 777, 11);
// The built-in mirror is slow, so the download is still running when the
// list arrives; the listed mirrors are not.
const std::string kSlowBuiltIn = "location /builtin/ { limit_rate 150k; }";

// A second server for the listed mirrors: the engine knows a source by its
// address, so mirrors on the built-in server's port would be that source.
struct MirrorServer {
    explicit MirrorServer(const std::string& content) {
        for (const char* folder : {"/mirror", "/closed"}) {
            platform::CreateDirectories(dir.Path() + "/www" + folder);
            std::ofstream(dir.Path() + "/www" + folder + "/Game_setup_1.0.bin", std::ios::binary) << content;
        }
        port = nginx.Start(dir.Path() + "/www", dir.File("nginx"));
    }
    std::string AccessLog() const { return nginx.AccessLog(); }
    TempDir dir;
    NginxServer nginx;
    int port = 0;
};

std::string ListFor(const ControllerWorld& world, int mirrorPort, bool peerToPeer) {
    const std::string ip = "127.0.0.1:" + std::to_string(mirrorPort);
    return "<?xml version=\"1.0\"?>\n<ResourceList>\n"
           "  <project ID=\"1\" Task=\"P2PSwitch\" Open=\"" + std::string(peerToPeer ? "true" : "false") + "\"/>\n"
           "  <project ID=\"2\" Task=\"" + world.InstallerUrl() + "\">\n"
           "    <cdn ID=\"1\" Name=\"open\" MiddleDir=\"/mirror/\" FileName=\"Game_setup_1.0.bin\" HostName=\"127.0.0.1\" Open=\"true\"><IP>" + ip + "</IP></cdn>\n"
           "    <cdn ID=\"2\" Name=\"closed\" MiddleDir=\"/closed/\" FileName=\"Game_setup_1.0.bin\" Open=\"false\"><IP>" + ip + "</IP></cdn>\n"
           "  </project>\n</ResourceList>\n";
}

bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

TEST(ResourceListFetch, MirrorsReachTheEngineAndTheSwitchTurnsListeningOff) {
    // The engine brings listed mirrors in at its next mirror rotation (half a
    // minute of its clock): the clock runs five times as fast here.
    platform::ScopedDrivenClock clock;
    // Made before the world: the controller removes its mapping when the world stops it.
    const int listenPort = FreeLoopbackPort();
    FixedPortMapping ports(listenPort);
    ControllerWorld world(kContent, kSlowBuiltIn, true);
    world.clock = &*clock;
    world.clockMsPerPoll = 100;
    VELDMOOR_REQUIRE_STARTED(world.Ready(), "nginx with a certificate from openssl");
    MirrorServer mirrors(kContent);
    ASSERT_NE(mirrors.port, 0);
    world.Serve("/downloader/list.xml", ListFor(world, mirrors.port, false));
    world.ports = &ports;
    ASSERT_EQ(world.StartController(), 0);
    DownloadController& controller = world.Controller();
    controller.OnMainButton();
    ASSERT_TRUE(world.DriveUntil([&] { return Accepts(listenPort); })) << "peer transfer starts on";

    ASSERT_TRUE(world.DriveUntil([&] { return ServedRequests(mirrors.AccessLog(), "/mirror/") > 0; }))
        << "the listed mirror is asked for the file";
    ASSERT_TRUE(world.DriveUntilState(DownloadState::finished));
    EXPECT_EQ(Md5OfFile(world.Target()), world.Profile().expectedMd5);
    EXPECT_EQ(ServedRequests(world.AccessLog(), "/downloader/list.xml"), 1);
    EXPECT_GT(ServedBytes(mirrors.AccessLog(), "/mirror/"), 0) << "the listed mirror served part of the file";
    EXPECT_EQ(ServedRequests(mirrors.AccessLog(), "/closed/"), 0) << "a closed cdn is never asked";
    EXPECT_NE(ControllerLogText().find("禁用P2P功能"), std::string::npos);
    EXPECT_TRUE(world.DriveUntil([&] { return !Accepts(listenPort); }, std::chrono::seconds(10)))
        << "the switch off closes the listener";
    EXPECT_GT(ports.deliveries, 0) << "the poll hands the router its turn";
}

TEST(ResourceListFetch, ServerOutsideTheTrustedCaIsRefusedAndTheBuiltInUrlCarriesOn) {
    ControllerWorld world(kContent, "location /builtin/ { limit_rate 1m; }", true);
    VELDMOOR_REQUIRE_STARTED(world.Ready(), "nginx with a certificate from openssl");
    MirrorServer mirrors(kContent);
    ASSERT_NE(mirrors.port, 0);
    world.Serve("/downloader/list.xml", ListFor(world, mirrors.port, true));
    // The program trusts another authority than the one that signed the server.
    TempDir other;
    const TestCertificates stranger = MakeCertificates(other.Path(), "stranger");
    ASSERT_FALSE(stranger.caFile.empty());
    world.Profile().resourceListCaFile = stranger.caFile;
    ASSERT_EQ(world.StartController(), 0);
    world.Controller().OnMainButton();
    ASSERT_TRUE(world.DriveUntilState(DownloadState::finished));
    EXPECT_EQ(Md5OfFile(world.Target()), world.Profile().expectedMd5);
    EXPECT_EQ(ServedRequests(world.AccessLog(), "/downloader/list.xml"), 0) << "no request after a refused handshake";
    EXPECT_EQ(ServedRequests(mirrors.AccessLog(), "/mirror/"), 0);
    EXPECT_EQ(ServedBytes(world.AccessLog(), "/builtin/"), static_cast<int64_t>(kContent.size()));
    EXPECT_TRUE(WaitUntil([] {
        return ControllerLogText(38).find("Seek res FAILED with XML postcontent failed") != std::string::npos;
    }));
}

}  // namespace
}  // namespace veldmoor
