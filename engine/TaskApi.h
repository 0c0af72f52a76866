#pragma once
// The engine's flat task interface: plain records in, codes and records out.
// C++ callers use the typed calls of TaskInterface.h; what stays here is what
// a front end still calls by handle, and the descriptor form of creating a
// task. Every call but the three noted below holds the engine's API lock
// throughout.
#include <cstdint>

namespace veldmoor {

class IEventSink;

struct TaskHandleTag;
using TaskHandle = TaskHandleTag*;

enum TaskFlags : uint32_t {
    kTaskTargetIsFile = 1u << 1,
    kTaskPreallocate = 1u << 5,
    kTaskBitTorrent = 1u << 16,
    kTaskP2sp = 1u << 24,
};

constexpr int kPathCapacity = 4096;

struct TaskDescriptor {
    char sourceText[kPathCapacity] = {};
    const char* sourceList = nullptr;  // lines ending in CR, LF or CR LF
    char target[kPathCapacity] = {};   // a file with kTaskTargetIsFile, else a folder
    char stateFileBase[kPathCapacity] = {};
    uint32_t flags = 0;
    TaskHandle handle = nullptr;  // written on success
};

struct TaskStatus {
    char name[kPathCapacity];
    int32_t progress;   // permyriad; 10000 = complete
    int32_t status;     // a JobStatus code
    int32_t speed;      // bytes per second, smoothed
    int32_t remaining;  // seconds, 0 when unknown
    int32_t total;      // KiB, held at INT32_MAX beyond 2 TiB: read totalBytes
    int64_t fromSources;
    int64_t fromPeers;
    int64_t onDisk;
    int64_t totalBytes;  // 0 while unknown
};

enum EngineResult : int {
    kResultOk = 0,
    kResultBitfieldFailure = -1,
    kResultBadArgument = -101,
    kResultSocketLayer = -102,
    kResultDuplicateTask = -105,
    kResultUnknownTask = -106,
    kResultFailed = -107,
    kResultOutOfMemory = -109,
};

enum JobStatus : int32_t {
    kStatusNormal = 0,
    kStatusPaused = 20202,
    kStatusWaiting = 20205,
    kStatusComplete = 20206,
    kStatusNoFileSize = 20209,
    kStatusDiskFull = 20210,
    kStatusBadTorrentFile = 20211,
    kStatusSourcesFailed = 20214,
    kStatusCannotWrite = 20215,
    kStatusHostUnresolved = 20216,
};

int EngineInit(const char* workingFolder);
int EngineUninit();
int EngineSetListenPort(int port);
int EngineEnableListening(int enable);
int EngineSetHttpWrapping(int enable);
// Where the engine's own statistics events go (pieces that fail their check,
// host names that do not resolve); null stops them. The sink must stay alive
// until it is replaced or the engine is shut down.
int EngineSetEventSink(IEventSink* sink);
// The NAT rendezvous server the UDP service registers with (port 0: 82).
// Takes effect when the first job starts the service.
int EngineSetNatServer(const char* hostName, int port);

int TaskCreate(TaskDescriptor* descriptor);
int TaskCreateAndStart(TaskDescriptor* descriptor);

int TaskStop(TaskHandle task, bool reset);
int TaskStart(TaskHandle task);
int TaskGetStatus(TaskHandle task, TaskStatus* status);
int TaskIsComplete(TaskHandle task, int* complete);
int TaskSetConnectionLimits(TaskHandle task, int sourceConnections, int peerConnections);
// Announce addresses ("http://", "udp://"), one a line as in a source list,
// announced to beside the torrent's own trackers; a task without a torrent
// keeps them until it has one.
int TaskAddTrackers(TaskHandle task, const char* announceAddresses);
int TaskGetBitfield(TaskHandle task, uint8_t* buffer, int length);
// Why sources failed since the last call, one line each, oldest first:
// "URL<TAB>reason; what follows\n" (no URL for the task as a whole), given once
// when a source is given up or made to wait, again only when its reason
// changes. Copies as many whole lines as fit in `capacity` bytes with a
// closing NUL (the rest wait for the next call); the byte count, 0 for none.
int TaskTakeSourceNotes(TaskHandle task, char* buffer, int capacity);
// Validates the handle under the job-list lock, without the API lock.
int TaskGetBitfieldSize(TaskHandle task);

// What a front end sets for the whole process, and what it may ask before a
// task exists. None of these takes the API lock.

enum ProxySettingsKind : int32_t {
    kProxyKindNone = 0,  // connect directly
    kProxyKindHttp = 1,
    kProxyKindSocks4 = 2,
    kProxyKindSocks5 = 3,
    kProxyKindSocks4a = 4,
};

// A SOCKS5 proxy takes user names and passwords of at most this many bytes.
constexpr int kMaxSocks5CredentialBytes = 255;

struct ProxySettings {
    int32_t kind = kProxyKindNone;
    const char* host = nullptr;  // a host name or a dotted IPv4 address
    int32_t port = 0;
    bool remoteResolve = false;      // the proxy resolves the sources' host names
    const char* userName = nullptr;  // null or empty: none
    const char* password = nullptr;
};

// Every later connection of the process goes through this proxy. Its host is
// resolved here, once: kResultFailed when it cannot be (an invalid dotted
// address included); kResultBadArgument for no settings, an unknown kind, a
// port outside 1..65535 or SOCKS5 credentials too long.
int EngineSetDefaultProxy(const ProxySettings* proxy);
// The engine's diagnostics (log files and standard error): on, as at start, or off.
int EngineSetDiagnostics(int enable);
// How many files the torrent file at `path` lists (1 for a single-file
// torrent); kResultFailed when it cannot be read or is no torrent.
int TorrentFileCount(const char* path);

// Neither takes a lock.
uint64_t GetDiskFreeBytes(const char* path);
int64_t GetFileAllocatedSize(const char* path);

// Destroying the engine object shuts the engine down.
class CVeldmoorCore {
public:
    virtual ~CVeldmoorCore();
};

}  // namespace veldmoor
