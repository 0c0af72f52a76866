#pragma once
// The engine operations the controller uses, behind an interface so tests can
// put a scripted engine in its place. EngineTaskApi forwards to the engine.
#include <string>
#include <vector>

#include "engine/TaskInterface.h"

namespace veldmoor {

class ITaskEngine {
public:
    virtual ~ITaskEngine() = default;

    virtual int SetListenPort(int port) = 0;
    // The rendezvous server peers behind NAT register with (default port).
    virtual int SetNatServer(const std::string& hostName) = 0;
    virtual int Init(const std::string& dataDirectory) = 0;
    virtual int Uninit() = 0;
    virtual int EnableListening(bool enable) = 0;
    virtual int SetHttpWrapping(bool enable) = 0;

    // `handle` is written on success only.
    virtual int CreateAndStart(const TaskSpec& spec, TaskHandle& handle) = 0;
    // A task taken up again from its state file; `repair` also takes it when
    // an equal task is still listed.
    virtual int RecoverAndContinue(const TaskSpec& spec, bool repair, TaskHandle& handle) = 0;
    virtual int Stop(TaskHandle task) = 0;
    virtual int Start(TaskHandle task) = 0;
    virtual int GetReport(TaskHandle task, TaskReport& report) = 0;
    virtual int IsComplete(TaskHandle task, bool& complete) = 0;
    virtual int SetDownloadLimit(TaskHandle task, SpeedLimit limit) = 0;
    virtual int SetConnectionLimits(TaskHandle task, int sources, int peers) = 0;
    // Replaces the task's mirrors.
    virtual int SetMirrors(TaskHandle task, const std::vector<Mirror>& mirrors) = 0;
};

// The process's engine.
class EngineTaskApi final : public ITaskEngine {
public:
    int SetListenPort(int port) override;
    int SetNatServer(const std::string& hostName) override;
    int Init(const std::string& dataDirectory) override;
    int Uninit() override;
    int EnableListening(bool enable) override;
    int SetHttpWrapping(bool enable) override;
    int CreateAndStart(const TaskSpec& spec, TaskHandle& handle) override;
    int RecoverAndContinue(const TaskSpec& spec, bool repair, TaskHandle& handle) override;
    int Stop(TaskHandle task) override;
    int Start(TaskHandle task) override;
    int GetReport(TaskHandle task, TaskReport& report) override;
    int IsComplete(TaskHandle task, bool& complete) override;
    int SetDownloadLimit(TaskHandle task, SpeedLimit limit) override;
    int SetConnectionLimits(TaskHandle task, int sources, int peers) override;
    int SetMirrors(TaskHandle task, const std::vector<Mirror>& mirrors) override;
};

}  // namespace veldmoor
