#include "engine/JobRecord.h"

#include <algorithm>
#include <cstring>

#include "foundation/AsciiText.h"
#include "foundation/ClockThread.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace veldmoor {
namespace {

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

void JobRecord::FillFromSpec(const TaskSpec& spec) {
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

const char* JobRecord::KindName() const {
    switch (kind_) {
        case TaskKind::P2sp: return "P2SP Task";
        case TaskKind::BitTorrent: return "BT Task";
        case TaskKind::Http: break;
    }
    return "HTTP Task";
}

bool JobRecord::IsSameTask(const JobRecord& other) const {
    ScopedLock guard(jobLock_);
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

int JobRecord::LoadState(const std::string& path) {
    if (path.empty()) return 0;
    const auto bytes = platform::ReadWholeFile(path);
    if (!bytes || bytes->empty()) return 1;
    SavedStateTexts loaded;
    {
        ScopedLock guard(jobLock_);
        loaded = savedTexts_;
    }
    if (!ReadStateFile(*bytes, loaded)) return 1;
    ScopedLock guard(jobLock_);
    savedTexts_ = std::move(loaded);
    savedTexts_.ClearChanged();
    return 1;
}

int JobRecord::SaveState(const std::string& path) {
    if (path.empty()) return 0;
    std::optional<std::string> encoded;
    {
        ScopedLock guard(jobLock_);
        if (!savedTexts_.AnyChanged()) return 1;
        encoded = EncodeStateFile(savedTexts_);
    }
    // A crash mid-write must not lose the previous copy: write beside it, then rename.
    if (encoded && platform::ReplaceFileContents(path, *encoded)) {
        ScopedLock guard(jobLock_);
        savedTexts_.ClearChanged();
    }
    return 1;
}

void JobRecord::ResetSourceLineStates() {
    const bool haveTorrentText = !savedTexts_.torrent.empty();
    for (auto& line : sourceLines_) {
        if (line.state == kLineTorrentInUse && !haveTorrentText) line.state = kLineTorrent;
        if (line.state == kLineInUse) line.state = kLineUnused;
    }
}

void JobRecord::ClearMirrors() {
    mirrors_.clear();
    mirrorListPresent_ = false;
}

void JobRecord::AddMirrors(const std::vector<Mirror>& mirrors) {
    mirrors_.insert(mirrors_.end(), mirrors.begin(), mirrors.end());
    mirrorListPresent_ = true;
}

int64_t JobRecord::JobClock() const { return jobClock_ != 0 ? jobClock_ : platform::CalendarSeconds(); }

void JobRecord::RefreshJobClock() { jobClock_ = ClockNow(); }

void JobRecord::Clear() {
    working_ = JobStatusRecord{};
    published_ = JobStatusRecord{};
    completionTime_ = 0;
    finished_ = false;
}

}  // namespace veldmoor
