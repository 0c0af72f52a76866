#pragma once
// The engine operations the controller uses, behind an interface so tests can
// put a scripted engine in its place. EngineTaskApi forwards to the engine.
#include <cstdint>
#include <string>

#include "engine/TaskApi.h"

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
    virtual int SetHttpWrapping(int value) = 0;

    virtual int CreateAndStart(TaskDescriptor* descriptor) = 0;
    virtual int RecoverAndContinue(TaskDescriptor* descriptor, bool repair) = 0;
    virtual int Stop(TaskHandle task) = 0;
    virtual int Start(TaskHandle task) = 0;
    virtual int GetStatus(TaskHandle task, TaskStatus* status) = 0;
    virtual int IsComplete(TaskHandle task, int* complete) = 0;
    virtual int SetLimit(TaskHandle task, int kibPerSecond) = 0;
    virtual int SetConnectionLimits(TaskHandle task, int sources, int peers) = 0;
    virtual int ClearMirrors(TaskHandle task) = 0;
    virtual int AddMirrors(TaskHandle task, const std::string& address,
                           const std::string& hostName) = 0;
};

// The process's engine.
class EngineTaskApi final : public ITaskEngine {
public:
    int SetListenPort(int port) override;
    int SetNatServer(const std::string& hostName) override;
    int Init(const std::string& dataDirectory) override;
    int Uninit() override;
    int EnableListening(bool enable) override;
    int SetHttpWrapping(int value) override;
    int CreateAndStart(TaskDescriptor* descriptor) override;
    int RecoverAndContinue(TaskDescriptor* descriptor, bool repair) override;
    int Stop(TaskHandle task) override;
    int Start(TaskHandle task) override;
    int GetStatus(TaskHandle task, TaskStatus* status) override;
    int IsComplete(TaskHandle task, int* complete) override;
    int SetLimit(TaskHandle task, int kibPerSecond) override;
    int SetConnectionLimits(TaskHandle task, int sources, int peers) override;
    int ClearMirrors(TaskHandle task) override;
    int AddMirrors(TaskHandle task, const std::string& address,
                   const std::string& hostName) override;
};

}  // namespace veldmoor
