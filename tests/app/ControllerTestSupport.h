#pragma once
// What controller tests share: a front end and an event sink that record what
// they are given, a scripted engine, and a product profile over test data.
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/DownloadController.h"
#include "app/IControllerView.h"
#include "app/ProductProfile.h"
#include "app/TaskEngine.h"
#include "foundation/EventSink.h"
#include "netenv/PortMapping.h"

namespace veldmoor::test {

class RecordingView final : public IControllerView {
public:
    void ShowNotice(const UserMessage& notice) override;
    void ShowBlockingMessage(const UserMessage& message) override;
    bool AskYesNo(const UserMessage& question) override;
    void DestroyWindow() override { destroyed = true; }
    void PostVerifyPassed() override { verifyPassedPosts++; }

    std::vector<std::string> Notices() const;
    std::vector<std::string> Captions() const;
    bool HasNotice(const std::string& text) const;

    std::vector<std::string> blockingMessages;
    std::vector<std::string> questions;
    bool answer = true;
    std::atomic<bool> destroyed{false};
    std::atomic<int> verifyPassedPosts{0};

private:
    mutable std::mutex lock_;
    std::vector<std::string> notices_;
    std::vector<std::string> captions_;
};

struct CapturedEvent {
    std::string code;
    std::string fileName;
    std::string errorText;
    bool progress = false;
    ProgressSnapshot snapshot;
};

class CapturingSink final : public IEventSink {
public:
    bool Start(const StatisticsIdentity& identity) override;
    void Stop() override { stopped = true; }
    std::string MachineIdText() const override { return machineId; }
    void SimpleEvent(const std::string& code, const std::string& fileName, const std::string& errorText) override;
    void ProgressEvent(const std::string& code, const std::string& errorText, const ProgressSnapshot& snapshot) override;
    void PieceCheckEvent(const std::string&, const std::string&, uint32_t, const std::string&) override {}

    std::vector<CapturedEvent> Events() const;
    std::vector<std::string> Codes() const;
    int Count(const std::string& code) const;
    const CapturedEvent* Find(const std::string& code) const;
    void Clear();

    StatisticsIdentity identity;
    std::string machineId;
    bool started = false;
    bool stopped = false;

private:
    mutable std::mutex lock_;
    std::vector<CapturedEvent> events_;
};

// An engine whose answers a test sets; it records what it was asked.
class ScriptedEngine final : public ITaskEngine {
public:
    int SetListenPort(int port) override { listenPort = port; return 0; }
    int SetNatServer(const std::string& host) override { natServer = host; return 0; }
    int Init(const std::string&) override { ++inits; return initResult; }
    int Uninit() override { ++uninits; return 0; }
    int EnableListening(bool enable) override { listening = enable; return 0; }
    int SetHttpWrapping(bool) override { return 0; }
    int CreateAndStart(const TaskSpec& spec, TaskHandle& handle) override;
    int RecoverAndContinue(const TaskSpec& spec, bool repair, TaskHandle& handle) override;
    int Stop(TaskHandle) override { ++stops; return 0; }
    int Start(TaskHandle) override { ++starts; return 0; }
    int GetReport(TaskHandle task, TaskReport& report) override;
    int IsComplete(TaskHandle task, bool& complete) override;
    int SetDownloadLimit(TaskHandle, SpeedLimit limit) override { limits.push_back(limit); return 0; }
    int SetConnectionLimits(TaskHandle, int sources, int peers) override;
    int SetMirrors(TaskHandle, const std::vector<Mirror>& list) override;

    std::mutex lock;
    TaskReport report;
    int initResult = 0;
    int createResult = 0;
    int recoverResult = 0;
    int listenPort = -1;
    std::string natServer;
    int inits = 0, uninits = 0, creates = 0, recovers = 0, stops = 0, starts = 0;
    bool listening = true;
    std::vector<bool> recoverRepairFlags;
    std::vector<SpeedLimit> limits;
    std::vector<std::pair<int, int>> connectionLimits;
    std::vector<Mirror> mirrors;
    std::string lastSourceText;  // the torrent's
    std::string lastTarget;
    std::string lastSourceList;  // one source a line

private:
    TaskHandle NewHandle();
    void Record(const TaskSpec& spec);
    int nextHandle_ = 1;
};

// A profile over an installer file name and contents; URLs as given.
ProductProfile MakeProfile(const std::string& installerContent, const std::string& installerUrl,
                           const std::string& resourceListUrl, uint64_t expectedSize = 0);
std::string Base64(const std::string& bytes);
std::string Md5OfText(const std::string& bytes);

// The controller's folders inside a test folder.
ControllerPaths PathsIn(const std::string& root);

// Makes the process log write every channel to its file.
void KeepControllerLogInFiles();
// The lines the process log wrote for a channel so far ("" when none).
std::string ControllerLogText(int channel = 34);
// The file those lines go to (read it after the log writer is gone).
std::string ControllerLogPath(int channel = 34);

// A router that always grants the given port.
class FixedPortMapping final : public IPortMapping {
public:
    explicit FixedPortMapping(int port) : port_(port) {}
    int SetUpPortMapping() override { return port_; }
    void DeliverNotifications() override { ++deliveries; }
    void RemoveMapping() override { removed = true; }
    int deliveries = 0;
    bool removed = false;

private:
    int port_;
};

}  // namespace veldmoor::test
