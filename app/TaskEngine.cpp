#include "app/TaskEngine.h"

#include "engine/TaskInterface.h"

namespace veldmoor {

int EngineTaskApi::SetListenPort(int port) { return EngineSetListenPort(port); }
int EngineTaskApi::SetNatServer(const std::string& hostName) { return EngineSetNatServer(hostName.c_str(), 0); }
int EngineTaskApi::Init(const std::string& dataDirectory) { return EngineInit(dataDirectory.c_str()); }
int EngineTaskApi::Uninit() { return EngineUninit(); }
int EngineTaskApi::EnableListening(bool enable) { return EngineEnableListening(enable ? 1 : 0); }
int EngineTaskApi::SetHttpWrapping(int value) { return EngineSetHttpWrapping(value); }
int EngineTaskApi::CreateAndStart(TaskDescriptor* descriptor) { return TaskCreateAndStart(descriptor); }
int EngineTaskApi::RecoverAndContinue(TaskDescriptor* descriptor, bool repair) {
    return TaskRecoverAndContinue(descriptor, repair);
}
int EngineTaskApi::Stop(TaskHandle task) { return TaskStop(task, false); }
int EngineTaskApi::Start(TaskHandle task) { return TaskStart(task); }
int EngineTaskApi::GetStatus(TaskHandle task, TaskStatus* status) { return TaskGetStatus(task, status); }
int EngineTaskApi::IsComplete(TaskHandle task, int* complete) { return TaskIsComplete(task, complete); }
// The controller sends one past the range for "no limit".
int EngineTaskApi::SetLimit(TaskHandle task, int kibPerSecond) {
    return SetTaskSpeedLimit(task, LimitDirection::kDownload, SpeedLimitFromKiB(kibPerSecond));
}
int EngineTaskApi::SetConnectionLimits(TaskHandle task, int sources, int peers) {
    return TaskSetConnectionLimits(task, sources, peers);
}
int EngineTaskApi::ClearMirrors(TaskHandle task) { return ClearTaskMirrors(task); }
int EngineTaskApi::AddMirrors(TaskHandle task, const std::string& address, const std::string& hostName) {
    return AddTaskMirrors(task, {{address, hostName}});
}

}  // namespace veldmoor
