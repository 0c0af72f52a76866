#pragma once
// The job's first layer: its settings, its sources, its two status records and
// its saved state. The job object is at once the task and the thread that
// works on it; the layers above add the peer set, the piece scheduling and the
// transfer statistics.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/JobSettings.h"
#include "engine/JobStatusRecord.h"
#include "engine/TaskInterface.h"
#include "foundation/WorkerThread.h"
#include "torrent/StateFile.h"

namespace veldmoor {

class EngineState;

enum SourceLineState : int32_t {
    kLineUnused = 0,
    kLineTorrent = 1,
    kLineInUse = 16,
    kLineTorrentInUse = 17,
};

struct SourceLine {
    std::string text;
    int32_t state = kLineUnused;
};

class TBaseWork : public WorkerThread {
public:
    explicit TBaseWork(EngineState& engine);
    ~TBaseWork() override;

    // Takes the task's identity from its description.
    void FillFromSpec(const TaskSpec& spec);
    // Run on an existing job with a new one as argument, under this job's lock.
    bool IsSameTask(TBaseWork& other);

    int LoadState(const std::string& path);
    int SaveState(const std::string& path);

    void SetRunState(int32_t runState) { working_.runState = runState; }
    void SetStatusCode(int32_t statusCode) { working_.statusCode = statusCode; }
    // Transient line states go back to what a new run expects.
    void ResetSourceLineStates();

    virtual void Publish(bool flush, bool force) = 0;
    // Whether the run should end because the download is complete (and seeded).
    virtual bool CheckComplete(int64_t now) = 0;
    virtual bool HasPieceMap() { return false; }
    virtual void Reset(bool clearFiles, bool b);

    TaskKind Kind() const { return kind_; }
    bool IsTorrentTask() const { return kind_ != TaskKind::Http; }
    const char* KindName() const;
    const std::string& TargetFile() const { return targetFile_; }
    const std::string& Folder() const { return folder_; }
    const std::string& StateFilePath() const { return stateFilePath_; }
    const std::string& JournalPath() const { return p2spStatePath_; }
    const std::string& SourceText() const { return sourceText_; }
    const std::vector<SourceLine>& SourceLines() const { return sourceLines_; }
    JobSettings& Settings() { return settings_; }
    EngineState& Engine() { return engine_; }

    void ClearMirrors();
    // Adds to the mirror list; even an empty addition makes the job rotate
    // mirrors instead of replacing slow sources.
    void AddMirrors(const std::vector<Mirror>& mirrors);
    const std::vector<Mirror>& Mirrors() const { return mirrors_; }
    bool MirrorListPresent() const { return mirrorListPresent_; }

    // The published record, for status queries; take the job's lock around it.
    const JobStatusRecord& Published() const { return published_; }
    const SavedStateTexts& SavedTexts() const { return savedTexts_; }

protected:
    // The job clock: the engine wall time taken at the last per-second step.
    int64_t JobClock() const;
    void RefreshJobClock();

    EngineState& engine_;
    JobSettings settings_;

    std::vector<SourceLine> sourceLines_;

    SavedStateTexts savedTexts_;

    JobStatusRecord working_;
    JobStatusRecord published_;

    int64_t jobClock_ = 0;
    int64_t completionTime_ = 0;
    bool finished_ = false;  // every piece verified and flushed in this run


private:
    void RunFirstJobStartUp();
    void RunLastJobShutDown();

    // The task's identity, set once from its description.
    TaskKind kind_ = TaskKind::Http;
    bool targetIsFile_ = false;
    bool caseInsensitiveSources_ = false;
    std::string sourceText_;
    std::string folder_;
    std::string targetFile_;
    std::string stateFilePath_;
    std::string p2spStatePath_;  // the partial-piece journal
    std::vector<Mirror> mirrors_;
    bool mirrorListPresent_ = false;
};

// Splits a source list at CR, LF or CR LF and trims bytes 1..32 from both ends
// of every line; empty lines are dropped.
std::vector<std::string> SplitSourceLines(const char* text);

}  // namespace veldmoor
