#include "app/TaskEngine.h"

namespace veldmoor {

int EngineTaskApi::SetListenPort(int port) { return EngineSetListenPort(port); }
int EngineTaskApi::SetNatServer(const std::string& hostName) { return EngineSetNatServer(hostName.c_str(), 0); }
int EngineTaskApi::Init(const std::string& dataDirectory) { return EngineInit(dataDirectory.c_str()); }
int EngineTaskApi::Uninit() { return EngineUninit(); }
int EngineTaskApi::EnableListening(bool enable) { return EngineEnableListening(enable ? 1 : 0); }
int EngineTaskApi::SetHttpWrapping(bool enable) { return EngineSetHttpWrapping(enable ? 1 : 0); }
int EngineTaskApi::CreateAndStart(const TaskSpec& spec, TaskHandle& handle) { return CreateAndStartTask(spec, handle); }
int EngineTaskApi::RecoverAndContinue(const TaskSpec& spec, bool repair, TaskHandle& handle) {
    return RecoverAndContinueTask(spec, repair, handle);
}
int EngineTaskApi::Stop(TaskHandle task) { return TaskStop(task, false); }
int EngineTaskApi::Start(TaskHandle task) { return TaskStart(task); }
int EngineTaskApi::GetReport(TaskHandle task, TaskReport& report) { return GetTaskReport(task, report); }
int EngineTaskApi::IsComplete(TaskHandle task, bool& complete) {
    int flag = 0;
    const int result = TaskIsComplete(task, &flag);
    if (result == kResultOk) complete = flag != 0;
    return result;
}
int EngineTaskApi::SetDownloadLimit(TaskHandle task, SpeedLimit limit) {
    return SetTaskSpeedLimit(task, LimitDirection::kDownload, limit);
}
int EngineTaskApi::SetConnectionLimits(TaskHandle task, int sources, int peers) {
    return TaskSetConnectionLimits(task, sources, peers);
}
int EngineTaskApi::SetMirrors(TaskHandle task, const std::vector<Mirror>& mirrors) {
    return SetTaskMirrors(task, mirrors);
}

}  // namespace veldmoor
