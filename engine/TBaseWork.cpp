#include "engine/TBaseWork.h"

#include <algorithm>
#include <cstring>

#include "foundation/AsciiText.h"
#include "engine/EngineState.h"
#include "engine/UdpServiceHooks.h"
#include "foundation/EngineLocks.h"
#include "foundation/ClockThread.h"
#include "netenv/ConnectionAttemptCap.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Uuid.h"

namespace veldmoor {
namespace {

constexpr const char* kRendezvousHost = "nat.veldmoor.invalid";

bool IsTrimmedByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 1 && byte <= 32;
}

bool EqualText(const std::string& a, const std::string& b, bool ignoreCase) {
    return ignoreCase ? EqualsNoCase(a, b) : a == b;
}

}  // namespace

std::vector<std::string> SplitSourceLines(const char* text) {
    std::vector<std::string> lines;
    if (!text) return lines;
    const char* cursor = text;
    while (*cursor) {
        const char* end = cursor + std::strcspn(cursor, "\r\n");
        const char* first = cursor;
        const char* last = end;
        while (first < last && IsTrimmedByte(*first)) ++first;
        while (last > first && IsTrimmedByte(last[-1])) --last;
        if (last > first) lines.emplace_back(first, last);
        cursor = end;
        if (*cursor == '\r') ++cursor;
        if (*cursor == '\n') ++cursor;
    }
    return lines;
}

TBaseWork::TBaseWork(EngineState& engine) : engine_(engine) {
    bool firstJob = false;
    {
        ScopedLock guard(EngineJobListLock());
        firstJob = engine_.jobs.empty();
        engine_.jobs.push_back(this);
    }
    if (firstJob) RunFirstJobStartUp();
}

TBaseWork::~TBaseWork() {
    bool lastJob = false;
    {
        ScopedLock guard(EngineJobListLock());
        auto& jobs = engine_.jobs;
        jobs.erase(std::remove(jobs.begin(), jobs.end(), this), jobs.end());
        lastJob = jobs.empty();
    }
    if (lastJob) RunLastJobShutDown();
}

void TBaseWork::RunFirstJobStartUp() {
    TimeEnsure();
    ScopedLock guard(EngineJobListLock());
    if (!engine_.haveClientGuid) {
        const auto uuid = platform::NewUuid();
        std::copy(uuid.begin(), uuid.end(), engine_.clientGuid.begin());
        if (engine_.clientGuid[0] == 0) engine_.clientGuid[0] = 1;
        engine_.haveClientGuid = true;
    }
    UdpServiceConfig udp;
    udp.rendezvousHost = kRendezvousHost;
    std::copy_n(engine_.clientGuid.begin(), 8, udp.nodeKey);
    StartUdpService(udp);
    engine_.udpServiceOff = false;
    engine_.reachableFromOutside = false;
    engine_.connectionAttemptCap = kConnectionAttemptCap;
}

void TBaseWork::RunLastJobShutDown() {
    // The shared listener and pending incoming connections belong to the peer
    // set; they close with their owners. The UDP socket stops here.
    StopUdpServiceSocket();
    ScopedLock guard(EngineJobListLock());
    engine_.udpServiceOff = true;
    engine_.reachableFromOutside = false;
}

void TBaseWork::FillFromSpec(const TaskSpec& spec) {
    kind_ = spec.kind;
    sourceText_ = spec.torrentSource;
    sourceLines_.clear();
    for (const std::string& source : spec.sources) {
        for (auto& line : SplitSourceLines(source.c_str())) sourceLines_.push_back({std::move(line), kLineUnused});
    }
    if (kind_ == TaskKind::BitTorrent && !sourceLines_.empty()) sourceLines_.front().state = kLineTorrent;

    stateFilePath_ = spec.stateFile;
    p2spStatePath_ = stateFilePath_ + "df";

    targetIsFile_ = spec.targetIsFile;
    if (targetIsFile_) {
        targetFile_ = spec.target;
        const auto slash = spec.target.rfind('/');
        folder_ = slash == std::string::npos ? std::string() : spec.target.substr(0, slash + 1);
    } else {
        targetFile_.clear();
        folder_ = spec.target;
    }
    settings_.preallocate = spec.preallocate;
}

const char* TBaseWork::KindName() const {
    switch (kind_) {
        case TaskKind::P2sp: return "P2SP Task";
        case TaskKind::BitTorrent: return "BT Task";
        case TaskKind::Http: break;
    }
    return "HTTP Task";
}

bool TBaseWork::IsSameTask(TBaseWork& other) {
    ScopedLock guard(Lock());
    if (targetIsFile_ && other.targetIsFile_ && targetFile_ == other.targetFile_) return true;
    if (IsTorrentTask() && other.IsTorrentTask() && sourceText_ == other.sourceText_) return true;

    size_t common = 0;
    for (const auto& line : other.sourceLines_) {
        const bool shared = std::any_of(sourceLines_.begin(), sourceLines_.end(), [&](const SourceLine& mine) {
            return EqualText(mine.text, line.text, caseInsensitiveSources_);
        });
        if (shared) ++common;
    }
    return common > 0 && other.sourceLines_.size() / common <= 2;
}

int TBaseWork::LoadState(const std::string& path) {
    if (path.empty()) return 0;
    const auto bytes = platform::ReadWholeFile(path);
    if (!bytes || bytes->empty()) return 1;
    SavedStateTexts loaded;
    {
        ScopedLock guard(Lock());
        loaded = savedTexts_;
    }
    if (!ReadStateFile(*bytes, loaded)) return 1;
    ScopedLock guard(Lock());
    savedTexts_ = std::move(loaded);
    savedTexts_.ClearChanged();
    return 1;
}

int TBaseWork::SaveState(const std::string& path) {
    if (path.empty()) return 0;
    std::optional<std::string> encoded;
    {
        ScopedLock guard(Lock());
        if (!savedTexts_.AnyChanged()) return 1;
        encoded = EncodeStateFile(savedTexts_);
    }
    // A crash mid-write must not lose the previous copy: write beside it, then rename.
    if (encoded && platform::ReplaceFileContents(path, *encoded)) {
        ScopedLock guard(Lock());
        savedTexts_.ClearChanged();
    }
    return 1;
}

void TBaseWork::ResetSourceLineStates() {
    const bool haveTorrentText = !savedTexts_.torrent.empty();
    for (auto& line : sourceLines_) {
        if (line.state == kLineTorrentInUse && !haveTorrentText) line.state = kLineTorrent;
        if (line.state == kLineInUse) line.state = kLineUnused;
    }
}

void TBaseWork::ClearMirrors() {
    mirrors_.clear();
    mirrorListPresent_ = false;
}

void TBaseWork::AddMirrors(const std::vector<Mirror>& mirrors) {
    mirrors_.insert(mirrors_.end(), mirrors.begin(), mirrors.end());
    mirrorListPresent_ = true;
}

int64_t TBaseWork::JobClock() const { return jobClock_ != 0 ? jobClock_ : platform::CalendarSeconds(); }

void TBaseWork::RefreshJobClock() { jobClock_ = ClockNow(); }

void TBaseWork::Reset(bool /*clearFiles*/, bool /*b*/) {
    jobClock_ = 0;
}

}  // namespace veldmoor
