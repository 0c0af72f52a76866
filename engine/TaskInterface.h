#pragma once
// The engine's task interface for C++ callers: a task described by value,
// limits as optionals, mirrors as a list, the status as an enum. The flat
// calls of TaskApi.h that remain forward here. Every call holds the engine's
// API lock throughout.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/SpeedLimit.h"
#include "engine/TaskApi.h"

namespace veldmoor {

enum class TaskKind { Http, BitTorrent, P2sp };

struct TaskSpec {
    TaskKind kind = TaskKind::Http;
    // Where the torrent is ("file://" and a path, or an address); empty for
    // an HTTP task.
    std::string torrentSource;
    // Source addresses; a BitTorrent task's first one names its torrent.
    std::vector<std::string> sources;
    std::string target;
    bool targetIsFile = true;  // else `target` is a folder
    std::string stateFile;
    bool preallocate = false;
};

struct Mirror {
    std::string address;
    std::string hostName;  // sent as the request's host name; empty or "null": the address's own
};

enum class LimitDirection { kUpload, kDownload };

struct TaskReport {
    std::string name;
    int32_t progressPermyriad = 0;  // 10000 = complete
    JobStatus status = kStatusNormal;
    int32_t speed = 0;  // bytes per second, smoothed
    std::optional<int32_t> remainingSeconds;
    std::optional<int64_t> totalBytes;
    int64_t fromSources = 0;
    int64_t fromPeers = 0;
    int64_t onDisk = 0;
};

// What a flat descriptor describes; its source list is split at line ends.
TaskSpec TaskSpecFromDescriptor(const TaskDescriptor& descriptor);

// A new task, or one recovered from its state file (`keepDuplicates`: an
// equal task already listed is no reason to refuse). `handle` is written on
// success only.
int CreateTask(const TaskSpec& spec, TaskHandle& handle);
int RecoverTask(const TaskSpec& spec, bool keepDuplicates, TaskHandle& handle);
// The same, and the task's thread started: a new download, or one continued
// from what its state file and the disk hold. A task whose thread does not
// start stays listed under `handle`.
int CreateAndStartTask(const TaskSpec& spec, TaskHandle& handle);
int RecoverAndContinueTask(const TaskSpec& spec, bool keepDuplicates, TaskHandle& handle);

int SetTaskSpeedLimit(TaskHandle task, LimitDirection direction, SpeedLimit limit);
// Replaces the task's mirrors; an empty list leaves it with none.
int SetTaskMirrors(TaskHandle task, const std::vector<Mirror>& mirrors);
int AddTaskMirrors(TaskHandle task, const std::vector<Mirror>& mirrors);
int ClearTaskMirrors(TaskHandle task);
// Announce addresses used beside the torrent's own trackers.
int AddTaskTrackers(TaskHandle task, const std::vector<std::string>& announceAddresses);
int GetTaskReport(TaskHandle task, TaskReport& report);
// Why sources failed since the last call, as TaskTakeSourceNotes gives them;
// at most `maxBytes` of whole lines, the rest wait for the next call.
int TakeTaskSourceNotes(TaskHandle task, std::string& notes, size_t maxBytes = 65536);

}  // namespace veldmoor
