#pragma once
// The statistics event codes, one home for every code the program raises
// (the controller, the engine, the port mapping, the host resolver) and for
// the collector's report that reads them back. They go through IEventSink
// (EventSink.h).
namespace veldmoor {

inline constexpr const char* kEventDownloadBegun = "11010000";
inline constexpr const char* kEventPausedByUser = "11020000";
inline constexpr const char* kEventContinued = "11030000";
inline constexpr const char* kEventUserExitUnfinished = "11040000";
inline constexpr const char* kEventProgressEvery300s = "11050000";
inline constexpr const char* kEventFinished = "11060000";
inline constexpr const char* kEventMainButtonFinished = "11070000";
inline constexpr const char* kEventTaskFoundComplete = "11080000";
inline constexpr const char* kEventVerifyChosen = "11100001";
inline constexpr const char* kEventVerifyDeclined = "11100002";
inline constexpr const char* kEventRepairMatched = "11100003";
inline constexpr const char* kEventVerifyPassed = "11100004";
inline constexpr const char* kEventPortMapped = "11390000";
inline constexpr const char* kEventPortMappingNotNeeded = "11390001";
inline constexpr const char* kEventEngineStartFailed = "11400101";
inline constexpr const char* kEventReleaseFailed = "11400190";
inline constexpr const char* kEventPieceFailedFromServer = "11500101";
inline constexpr const char* kEventPieceFailedFromPeer = "11500102";
inline constexpr const char* kEventPortMappingFailed = "11500105";
inline constexpr const char* kEventHostUnresolved = "11500106";
inline constexpr const char* kEventMd5Mismatch = "11500201";
inline constexpr const char* kEventInstallerNotOpened = "11600101";
inline constexpr const char* kEventInstallerMissing = "11600102";
inline constexpr const char* kEventNetworkTimeout = "11990202";
inline constexpr const char* kEventDiskSpaceLow = "11990301";
inline constexpr const char* kEventUnknownExit = "11990501";

// The one event that also describes the machine's hardware.
inline constexpr const char* kEventWithHardware = kEventDownloadBegun;

}  // namespace veldmoor
