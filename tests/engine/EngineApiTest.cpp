#include <gtest/gtest.h>

#include <fstream>

#include "engine/FileQueries.h"
#include "engine/TaskInterface.h"
#include "peers/HostResolver.h"
#include "peers/LocalEndpoint.h"
#include "peers/SourceAddress.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TorrentFixture.h"

namespace veldmoor::test {
namespace {

using EngineApiTest = EngineTest;

TEST_F(EngineApiTest, ASecondTaskForTheSameTargetIsRefusedUnlessRecoveredWithDuplicates) {
    TaskDescriptor first = HttpTask("http://127.0.0.1:1/a.exe", dir_.File("a.exe"));
    ASSERT_EQ(TaskCreate(&first), kResultOk);
    ASSERT_NE(first.handle, nullptr);

    TaskDescriptor second = HttpTask("http://127.0.0.1:2/other.exe", dir_.File("a.exe"));
    EXPECT_EQ(TaskCreate(&second), kResultDuplicateTask);
    EXPECT_EQ(second.handle, nullptr);
    EXPECT_EQ(TheEngine().jobs.size(), 1u);

    const TaskSpec again = TaskSpecFromDescriptor(second);
    TaskHandle recovered = nullptr;
    EXPECT_EQ(RecoverTask(again, false, recovered), kResultDuplicateTask);
    EXPECT_EQ(RecoverTask(again, true, recovered), kResultOk);
    EXPECT_NE(recovered, nullptr);
    EXPECT_EQ(TheEngine().jobs.size(), 2u);
}

TEST_F(EngineApiTest, SourceListsAreTheSameTaskWhenAtLeastHalfTheNewLinesAreShared) {
    struct Case {
        const char* existing;
        const char* added;
        int expected;
    };
    const Case cases[] = {
        // 5 lines, 2 shared: 5 / 2 = 2, the same task.
        {"http://a/1\nhttp://b/1\nhttp://x/1", "http://a/1\nhttp://b/1\nhttp://c/1\nhttp://d/1\nhttp://e/1",
         kResultDuplicateTask},
        // 3 lines, 1 shared: 3 / 1 = 3, different tasks.
        {"http://a/1\nhttp://x/1", "http://a/1\nhttp://c/1\nhttp://d/1", kResultOk},
        // Comparison is by exact text.
        {"http://a/1", "HTTP://A/1", kResultOk},
        {"http://a/1", "http://z/1", kResultOk},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.added);
        // Folder targets: only the source lists can make two tasks equal.
        TaskDescriptor existing = HttpTask(c.existing, dir_.File("folder" + std::to_string(n)));
        existing.flags = 0;
        ASSERT_EQ(TaskCreate(&existing), kResultOk);
        TaskDescriptor added = HttpTask(c.added, dir_.File("other" + std::to_string(n)));
        added.flags = 0;
        EXPECT_EQ(TaskCreate(&added), c.expected);
        EngineUninit();
        ASSERT_EQ(EngineInit(nullptr), kResultOk);
        ++n;
    }
}

TEST_F(EngineApiTest, AnUnknownHandleIsRefusedAndTouchesNothing) {
    TaskStatus status;
    std::memset(&status, 0x5A, sizeof status);
    TaskStatus untouched = status;
    auto* bogus = reinterpret_cast<TaskHandle>(&status);

    EXPECT_EQ(TaskGetStatus(bogus, &status), kResultUnknownTask);
    EXPECT_EQ(std::memcmp(&status, &untouched, sizeof status), 0);
    EXPECT_EQ(TaskGetStatus(nullptr, &status), kResultUnknownTask);
    EXPECT_EQ(TaskStop(bogus, false), kResultUnknownTask);
    EXPECT_EQ(TaskStart(bogus), kResultUnknownTask);
    uint8_t bits[4];
    EXPECT_EQ(TaskGetBitfield(bogus, bits, 4), kResultBitfieldFailure);
    EXPECT_EQ(TaskGetBitfieldSize(bogus), kResultBitfieldFailure);
    char notes[8];
    EXPECT_EQ(TaskTakeSourceNotes(bogus, notes, sizeof notes), kResultUnknownTask);
    EXPECT_EQ(TaskTakeSourceNotes(bogus, nullptr, 8), kResultBadArgument);
    EXPECT_EQ(TaskCreate(nullptr), kResultBadArgument);
}

TEST_F(EngineApiTest, EachDirectionKeepsItsOwnLimit) {
    TaskDescriptor task = HttpTask("http://127.0.0.1:1/a.exe", dir_.File("a.exe"));
    ASSERT_EQ(TaskCreate(&task), kResultOk);
    TWorkThread& job = JobOf(task.handle);

    EXPECT_EQ(SetTaskSpeedLimit(task.handle, LimitDirection::kDownload, 300), kResultOk);
    EXPECT_EQ(SetTaskSpeedLimit(task.handle, LimitDirection::kUpload, 50), kResultOk);
    EXPECT_EQ(job.Meter().Limit(LimitDirection::kDownload), 300);
    EXPECT_EQ(job.Meter().Limit(LimitDirection::kUpload), 50);
    EXPECT_EQ(SetTaskSpeedLimit(task.handle, LimitDirection::kDownload, std::nullopt), kResultOk);
    EXPECT_EQ(job.Meter().Limit(LimitDirection::kDownload), std::nullopt);
    EXPECT_EQ(job.Meter().Limit(LimitDirection::kUpload), 50);
}

TEST_F(EngineApiTest, EngineInitTwiceStartsTheSocketLayerOnceAndUninitIsSafeTwice) {
    const int starts = TheEngine().socketLayerStarts;
    EXPECT_EQ(EngineInit(nullptr), kResultOk);
    EXPECT_EQ(TheEngine().socketLayerStarts, starts);

    TaskDescriptor task = HttpTask("http://127.0.0.1:1/a.exe", dir_.File("a.exe"));
    ASSERT_EQ(TaskCreateAndStart(&task), kResultOk);
    TWorkThread& job = JobOf(task.handle);
    ASSERT_TRUE(job.IsRunning());

    EXPECT_EQ(EngineUninit(), kResultOk);
    EXPECT_TRUE(TheEngine().jobs.empty());
    EXPECT_EQ(TaskGetStatus(task.handle, nullptr), kResultBadArgument);
    TaskStatus status{};
    EXPECT_EQ(TaskGetStatus(task.handle, &status), kResultUnknownTask);
    EXPECT_EQ(EngineUninit(), kResultOk);
    EXPECT_FALSE(TheEngine().initialised);
}

TEST_F(EngineApiTest, AllocatedSizeCountsOnlyWrittenBlocksAndFallsBackToTheWorkingFile) {
    EXPECT_EQ(GetFileAllocatedSize(dir_.File("missing.exe").c_str()), 0);

    const std::string sparse = dir_.File("sparse.exe");
    {
        std::ofstream out(sparse, std::ios::binary);
        const std::string block(4096, 'x');
        out.write(block.data(), 4096);
        out.seekp(64 << 20);
        out.write(block.data(), 4096);
    }
    const int64_t allocated = GetFileAllocatedSize(sparse.c_str());
    EXPECT_GE(allocated, 8192);
    EXPECT_LT(allocated, 1 << 20) << "holes must not count";

    const std::string working = dir_.File("b.exe");
    std::ofstream(working + ".vmtmp", std::ios::binary) << std::string(10000, 'y');
    EXPECT_GE(GetFileAllocatedSize(working.c_str()), 10000);
}

TEST_F(EngineApiTest, DiskFreeBytesOfAPathNotYetCreatedIsThatOfItsFolder) {
    EXPECT_GT(GetDiskFreeBytes(dir_.File("not/yet/here.exe").c_str()), 0u);
    EXPECT_EQ(GetDiskFreeBytes(nullptr), 0u);
}

TEST_F(EngineApiTest, MirrorsAreReplacedAsAWhole) {
    TaskDescriptor task = HttpTask("http://127.0.0.1:1/a.exe", dir_.File("a.exe"));
    ASSERT_EQ(TaskCreate(&task), kResultOk);
    TWorkThread& job = JobOf(task.handle);
    EXPECT_EQ(AddTaskMirrors(task.handle, {{"http://10.0.0.1/a.exe", "cdn.example"}}), kResultOk);
    EXPECT_EQ(AddTaskMirrors(task.handle, {{"http://10.0.0.2/a.exe", "null"}}), kResultOk);
    EXPECT_EQ(job.Record().Mirrors().size(), 2u);
    EXPECT_TRUE(job.Record().MirrorListPresent());
    EXPECT_EQ(ClearTaskMirrors(task.handle), kResultOk);
    EXPECT_TRUE(job.Record().Mirrors().empty());
    EXPECT_FALSE(job.Record().MirrorListPresent());
}

TEST_F(EngineApiTest, TheTypedInterfaceTakesATaskByValueAndRefusesLimitsOutOfRange) {
    TaskSpec spec;
    spec.sources = {"http://127.0.0.1:1/a.exe", " http://127.0.0.1:2/a.exe\r\n"};
    spec.target = dir_.File("a.exe");
    spec.stateFile = spec.target + ".vminfo";
    TaskHandle handle = nullptr;
    ASSERT_EQ(CreateTask(spec, handle), kResultOk);
    TWorkThread& job = JobOf(handle);
    ASSERT_EQ(job.Record().SourceLines().size(), 2u);
    EXPECT_EQ(job.Record().SourceLines()[1].text, "http://127.0.0.1:2/a.exe");
    EXPECT_EQ(job.Record().TargetFile(), spec.target);

    TaskHandle duplicate = nullptr;
    EXPECT_EQ(CreateTask(spec, duplicate), kResultDuplicateTask);
    EXPECT_EQ(duplicate, nullptr);

    EXPECT_EQ(SetTaskSpeedLimit(handle, LimitDirection::kDownload, 0), kResultBadArgument);
    EXPECT_EQ(SetTaskSpeedLimit(handle, LimitDirection::kDownload, kMaxSpeedLimitKiB + 1), kResultBadArgument);
    EXPECT_EQ(SetTaskSpeedLimit(handle, LimitDirection::kDownload, kMaxSpeedLimitKiB), kResultOk);
    EXPECT_EQ(job.Meter().Limit(LimitDirection::kDownload), kMaxSpeedLimitKiB);
    EXPECT_EQ(SetTaskSpeedLimit(handle, LimitDirection::kDownload, std::nullopt), kResultOk);
    EXPECT_EQ(job.Meter().Limit(LimitDirection::kDownload), std::nullopt);

    EXPECT_EQ(SetTaskMirrors(handle, {{"http://10.0.0.1/a.exe", "cdn.example"}, {"http://10.0.0.2/a.exe", ""}}),
              kResultOk);
    ASSERT_EQ(job.Record().Mirrors().size(), 2u);
    EXPECT_EQ(job.Record().Mirrors()[0].hostName, "cdn.example");
    EXPECT_EQ(SetTaskMirrors(handle, {{"http://10.0.0.3/a.exe", "null"}}), kResultOk);
    ASSERT_EQ(job.Record().Mirrors().size(), 1u);
    EXPECT_EQ(job.Record().Mirrors()[0].address, "http://10.0.0.3/a.exe");

    TaskReport report;
    ASSERT_EQ(GetTaskReport(handle, report), kResultOk);
    EXPECT_EQ(report.status, kStatusNormal);
    EXPECT_EQ(report.totalBytes, std::nullopt) << "no source has told the size yet";
    EXPECT_EQ(report.remainingSeconds, std::nullopt);
    std::string notes = "stale";
    EXPECT_EQ(TakeTaskSourceNotes(handle, notes), kResultOk);
    EXPECT_EQ(notes, "");

    auto* bogus = reinterpret_cast<TaskHandle>(&report);
    EXPECT_EQ(GetTaskReport(bogus, report), kResultUnknownTask);
    EXPECT_EQ(SetTaskMirrors(bogus, {}), kResultUnknownTask);
    EXPECT_EQ(SetTaskSpeedLimit(bogus, LimitDirection::kUpload, 10), kResultUnknownTask);
}

TEST_F(EngineApiTest, TheFirstJobMakesTheClientGuidAndTheConnectionCap) {
    TaskDescriptor task = HttpTask("http://127.0.0.1:1/a.exe", dir_.File("a.exe"));
    ASSERT_EQ(TaskCreate(&task), kResultOk);
    EXPECT_TRUE(TheEngine().haveClientGuid);
    EXPECT_NE(TheEngine().clientGuid[0], 0);
    EXPECT_EQ(TheEngine().connectionAttemptCap, 32) << "no driver file on Linux";
}

TEST_F(EngineApiTest, TheDefaultProxyIsResolvedOnceAndRefusedWhenItsHostIsNot) {
    struct RestoreProcessDefaults {
        ~RestoreProcessDefaults() {
            SetDefaultProxy(QProxyInfo{});
            DefaultHostResolver().SetQueryFunction(platform::QueryHostAddresses);
            DefaultHostResolver().ClearNegativeCache();
        }
    } restore;
    std::vector<std::string> asked;
    DefaultHostResolver().SetQueryFunction([&](const std::string& name) {
        asked.push_back(name);
        if (name == "proxy.example")
            return platform::HostQueryAnswer{platform::HostQueryStatus::kFound, {Ipv4Address::FromOctets(10, 9, 8, 7)}};
        return platform::HostQueryAnswer{platform::HostQueryStatus::kHostNotFound, {}};
    });
    ProxySettings settings;
    settings.kind = kProxyKindSocks5;
    settings.host = "10.1.2.3";
    settings.port = 1080;
    settings.remoteResolve = true;
    settings.userName = "bob";
    settings.password = "pw";
    ASSERT_EQ(EngineSetDefaultProxy(&settings), kResultOk);
    QProxyInfo proxy = CopyDefaultProxy();
    EXPECT_EQ(proxy.kind, kProxySocks5);
    EXPECT_EQ(proxy.ip, Ipv4Address::FromOctets(10, 1, 2, 3));
    EXPECT_EQ(proxy.port, 1080);
    EXPECT_TRUE(proxy.remoteResolve);
    EXPECT_EQ(proxy.userName, "bob");
    EXPECT_EQ(proxy.password, "pw");

    settings.kind = kProxyKindHttp;
    settings.host = "proxy.example";
    settings.userName = settings.password = nullptr;
    ASSERT_EQ(EngineSetDefaultProxy(&settings), kResultOk);
    proxy = CopyDefaultProxy();
    EXPECT_EQ(proxy.ip, Ipv4Address::FromOctets(10, 9, 8, 7));
    EXPECT_EQ(proxy.userName, "");

    struct Refused {
        const char* host;
        int32_t kind;
        int32_t port;
        int result;
    };
    const Refused refused[] = {
        {"missing.example", kProxyKindHttp, 3128, kResultFailed},
        {"1.2.3.999", kProxyKindHttp, 3128, kResultFailed},  // a bad dotted address is not looked up
        {"", kProxyKindHttp, 3128, kResultFailed},
        {"10.1.2.3", 9, 3128, kResultBadArgument},
        {"10.1.2.3", kProxyKindHttp, 0, kResultBadArgument},
        {"10.1.2.3", kProxyKindHttp, 65536, kResultBadArgument},
    };
    for (const Refused& c : refused) {
        SCOPED_TRACE(std::string(c.host) + " kind " + std::to_string(c.kind) + " port " + std::to_string(c.port));
        ProxySettings wrong;
        wrong.kind = c.kind;
        wrong.host = c.host;
        wrong.port = c.port;
        EXPECT_EQ(EngineSetDefaultProxy(&wrong), c.result);
        EXPECT_EQ(CopyDefaultProxy().ip, Ipv4Address::FromOctets(10, 9, 8, 7)) << "a refused proxy changes nothing";
    }
    ProxySettings longCredentials = settings;
    longCredentials.kind = kProxyKindSocks5;
    const std::string longName(kMaxSocks5CredentialBytes + 1, 'u');
    longCredentials.userName = longName.c_str();
    EXPECT_EQ(EngineSetDefaultProxy(&longCredentials), kResultBadArgument);
    EXPECT_EQ(EngineSetDefaultProxy(nullptr), kResultBadArgument);
    EXPECT_EQ(asked, (std::vector<std::string>{"proxy.example", "missing.example"}));

    ProxySettings direct;
    ASSERT_EQ(EngineSetDefaultProxy(&direct), kResultOk);
    EXPECT_FALSE(CopyDefaultProxy().IsConfigured());
}

TEST_F(EngineApiTest, TorrentFileCountReadsTheFileListBeforeAnyTaskExists) {
    const std::string single = dir_.File("single.torrent");
    std::ofstream(single, std::ios::binary) << SingleFileTorrent("game.exe", PatternBytes(40000), 16384);
    const std::string multi = dir_.File("multi.torrent");
    std::ofstream(multi, std::ios::binary)
        << "d4:infod5:filesld6:lengthi5e4:pathl5:a.bineed6:lengthi7e4:pathl5:b.bineed6:lengthi1e4:pathl5:c.binee"
           "e4:name4:game12:piece lengthi16384e6:pieces20:aaaaaaaaaaaaaaaaaaaaee";
    const std::string page = dir_.File("page.torrent");
    std::ofstream(page, std::ios::binary) << "<html>not bencode</html>";
    const std::string noInfo = dir_.File("noinfo.torrent");
    std::ofstream(noInfo, std::ios::binary) << "d8:announce9:http://t/e";

    EXPECT_EQ(TorrentFileCount(single.c_str()), 1);
    EXPECT_EQ(TorrentFileCount(multi.c_str()), 3);
    EXPECT_EQ(TorrentFileCount(page.c_str()), kResultFailed);
    EXPECT_EQ(TorrentFileCount(noInfo.c_str()), kResultFailed);
    EXPECT_EQ(TorrentFileCount(dir_.File("missing.torrent").c_str()), kResultFailed);
    EXPECT_EQ(TorrentFileCount(nullptr), kResultBadArgument);
}

}  // namespace
}  // namespace veldmoor::test
