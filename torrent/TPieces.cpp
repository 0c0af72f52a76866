#include "torrent/TPieces.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <set>

#include "foundation/AsciiText.h"
#include "foundation/ClockThread.h"
#include "platform/Files.h"
#include "torrent/Bencode.h"
#include "torrent/TTorrent.h"
#include "torrent/TorrentLimits.h"

namespace veldmoor {
namespace {

constexpr const char* kUnnamedFile = "strRecommend";
// Beyond this the sum of file lengths is not believed.
constexpr int64_t kMaxContentLength = INT64_MAX / 4;

// Stands in when a map is made without a job, so that no call needs a test.
DetachedPieceMapOwner g_detachedOwner;

std::string WithTrailingSeparator(std::string folder) {
    if (!folder.empty() && folder.back() != '/') folder.push_back('/');
    return folder;
}

// The folder without its last component when that component is `name`, so
// that a multi-file download into ".../name/" is not stored in ".../name/name/".
std::string FolderWithoutName(const std::string& folder, const std::string& name) {
    if (name.empty() || folder.size() < 2) return folder;
    const std::string trimmed = folder.substr(0, folder.size() - 1);
    const size_t slash = trimmed.rfind('/');
    const std::string last = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    // Exact: Linux names differ by letter case, so "GAME" is not the folder "Game".
    if (last != name) return folder;
    return slash == std::string::npos ? std::string() : trimmed.substr(0, slash + 1);
}

std::optional<int64_t> IntegerOf(const QElement& dictionary, const char* key) {
    const QElement* value = dictionary.GetValue(key);
    if (!value || !value->HasInteger()) return std::nullopt;
    return value->GetInteger();
}

}  // namespace

TPieces::TPieces(IPieceMapOwner* job, TTorrent* torrent) : job_(job ? job : &g_detachedOwner) {
    if (torrent) {
        torrent->AddRef();
        torrent_ = torrent;
    } else {
        torrent_ = new TTorrent(this, job, nullptr);
    }
    creationTime_ = changeTime_ = ClockSeconds();
}

TPieces::~TPieces() {
    Clear();
    if (torrent_) {
        if (torrent_->PieceMap() == this) torrent_->DetachPieceMap();
        torrent_->Release();
    }
}

void TPieces::Clear() {
    // Outcomes for pieces of the old table mean nothing to a new one.
    writer_.reset();
    built_ = false;
    readBuffer_.clear();
    readBuffer_.shrink_to_fit();
    progress_.Clear();
    pieceHashes_.clear();
    name_.clear();
    totalLength_ = 0;
    pieceLength_ = 0;
    pieces_.clear();
    pieceCount_ = 0;
    files_.clear();
    inProgress_.clear();
    window_.Forget();
    piecesHeldComplete_ = 0;
}

void TPieces::Send(int32_t type, int64_t value, int64_t data, std::string text) {
    PieceMapEvent event;
    event.type = type;
    event.value = value;
    event.subType = (type == kPieceVerifiedEvent || type == kPieceCountEvent) ? kPieceEventSubType : 0;
    event.data = data;
    event.text = std::move(text);
    job_->OnPieceMapEvent(event);
}

bool TPieces::Build(const QElement* info, TPieces* previous) {
    metainfoRefused_ = true;
    if (!info || info->GetKind() != kElementDictionary) return false;
    TPieces* earlier = nullptr;
    if (previous && previous != this && previous->IsReady()) {
        previous->AddRef();
        earlier = previous;
        earlier->Flush(false, false);
    }
    Clear();
    built_ = true;
    bool ok = ReadFileList(*info) && PieceTableFits();
    metainfoRefused_ = !ok;
    if (ok) {
        for (TPieceFile& entry : files_) ChooseWorkingPath(entry, earlier);
        ok = Finish(earlier);
    }
    if (ok && earlier) earlier->ForgetContent();
    ReleaseRef(earlier);
    if (!ok) Clear();
    built_ = ok;
    return ok;
}

bool TPieces::ReadFileList(const QElement& info) {
    const QElement* nameValue = info.GetValue("name");
    name_ = CleanPathText(SafeComponent(nameValue ? nameValue->GetLocalText() : std::string()));

    const auto pieceLength = IntegerOf(info, "piece length");
    if (!pieceLength || *pieceLength <= 0 || *pieceLength > kMaxPieceLength) return false;
    pieceLength_ = static_cast<int32_t>(*pieceLength);

    const QElement* hashes = info.GetValue("pieces");
    if (!hashes || hashes->GetKind() != kElementLeaf || hashes->GetLength() < 20 || hashes->GetLength() % 20 != 0)
        return false;
    pieceHashes_ = std::string(hashes->GetBytes());
    pieceCount_ = static_cast<int64_t>(pieceHashes_.size() / 20);
    if (pieceCount_ > kMaxPieceCount) return false;

    folder_ = WithTrailingSeparator(job_->PieceMapFolder());
    if (info.GetValue("length")) return AddSingleFile(info);

    folder_ = FolderWithoutName(folder_, name_);
    const QElement* fileList = info.GetValue("files");
    if (!fileList || fileList->GetKind() != kElementList || fileList->GetCount() < 1) return false;
    if (fileList->GetCount() > kMaxFileCount) return false;
    return AddFileEntries(*fileList);
}

bool TPieces::AddSingleFile(const QElement& info) {
    if (name_.empty()) name_ = kUnnamedFile;
    const auto length = IntegerOf(info, "length");
    if (!length || *length <= 0 || *length > kMaxContentLength) return false;
    TPieceFile entry;
    const std::string target = job_->PieceMapTargetFile();
    entry.workingPath = target.empty() ? folder_ + name_ : target;
    entry.relativeName = name_;
    entry.length = *length;
    entry.pieceSpan = PieceSpan(0, entry.length, pieceLength_);
    files_.push_back(std::move(entry));
    totalLength_ = *length;
    return true;
}

bool TPieces::AddFileEntries(const QElement& fileList) {
    const std::string rootName = name_.empty() ? std::string() : name_ + "/";
    std::set<std::string> paths;
    int64_t offset = 0;
    const int count = fileList.GetCount();
    for (int i = 0; i < count; ++i) {
        const QElement* item = fileList.GetAt(i);
        if (!item || item->GetKind() != kElementDictionary || item->GetCount() < 1) break;
        const auto length = IntegerOf(*item, "length");
        const QElement* path = item->GetValue("path");
        if (!length || *length < 0 || !path || path->GetKind() != kElementList || path->GetCount() < 1) break;
        if (*length > kMaxContentLength - offset) return false;

        // Unsafe components vanish; an empty last one marks a folder.
        std::string relative = rootName;
        bool endsEmpty = false;
        const int parts = path->GetCount();
        for (int k = 0; k < parts; ++k) {
            const QElement* part = path->GetAt(k);
            const std::string component = part ? CleanPathText(SafeComponent(part->GetLocalText())) : std::string();
            endsEmpty = component.empty();
            if (endsEmpty) continue;
            if (!relative.empty() && relative.back() != '/') relative.push_back('/');
            relative += component;
        }
        if (endsEmpty && !relative.empty() && relative.back() != '/') relative.push_back('/');

        if (relative.empty() || relative.back() == '/') {
            if (*length != 0) break;
            platform::CreateDirectories(folder_ + relative);
            continue;
        }
        TPieceFile entry;
        entry.workingPath = folder_ + relative;
        if (!paths.insert(entry.workingPath).second) return false;  // two entries, one file
        entry.relativeName = relative;
        entry.length = *length;
        entry.offset = offset;
        entry.firstPiece = static_cast<int32_t>(std::min<int64_t>(offset / pieceLength_, INT32_MAX));
        entry.pieceSpan = PieceSpan(offset, entry.length, pieceLength_);
        files_.push_back(std::move(entry));
        offset += *length;
    }
    totalLength_ = offset;
    return !files_.empty();
}

void TPieces::ChooseWorkingPath(TPieceFile& entry, const TPieces* previous) const {
    bool tookWorkingName = false;
    if (previous) {
        for (const TPieceFile& earlier : previous->files_) {
            if (earlier.relativeName != entry.relativeName) continue;
            entry.priority = earlier.priority;
            entry.priorityFromUser = earlier.priorityFromUser;
            tookWorkingName = earlier.usesWorkingName;
            break;
        }
    }
    if (workingSuffix_.empty() || entry.usesWorkingName || entry.workingPath.empty()) return;
    if (!tookWorkingName && platform::FileExists(entry.workingPath)) return;  // written in place
    entry.finalPath = entry.workingPath;
    entry.workingPath += workingSuffix_;
    entry.usesWorkingName = true;
}

bool TPieces::PieceTableFits() const {
    if (totalLength_ <= 0 || pieceCount_ <= 0 || pieceLength_ <= 0 || files_.empty()) return false;
    if (pieceCount_ > kMaxPieceCount || pieceLength_ > kMaxPieceLength) return false;
    const int64_t span = pieceCount_ * pieceLength_;
    if (span < totalLength_ || span - totalLength_ >= pieceLength_) return false;
    return !built_ || static_cast<int64_t>(pieceHashes_.size()) >= pieceCount_ * 20;
}

bool TPieces::MakePieceTable() {
    if (!PieceTableFits()) return false;

    pieces_.clear();
    pieces_.resize(static_cast<size_t>(pieceCount_));
    int64_t sum = 0;
    for (int64_t i = 0; i < pieceCount_; ++i) {
        TPiece& piece = pieces_[static_cast<size_t>(i)];
        piece.index = static_cast<int32_t>(i);
        piece.length = static_cast<int32_t>(std::min<int64_t>(pieceLength_, totalLength_ - i * pieceLength_));
        sum += piece.length;
    }
    return sum == totalLength_;
}

bool TPieces::Finish(TPieces* previous) {
    if (!MakePieceTable()) {
        pieces_.clear();
        return false;
    }
    progress_.StartFresh(pieceCount_, pieceLength_, totalLength_);
    Send(kPieceCountEvent, 0, pieceCount_);

    ApplyFileChoices();
    Resume(previous);
    if (job_->IsStopping()) return false;
    if (!OpenAllFiles()) return false;
    RecountCounters();
    progress_.SetReceivedBytes(totalLength_);
    changeTime_ = ClockSeconds();
    return true;
}

bool TPieces::Resume(TPieces* previous) {
    Send(kPublishEvent, 1);
    if (previous && previous != this && previous->IsReady() && TakeOverFrom(*previous)) return true;
    if (quickCheck_) {
        if (job_->IsStopping()) return false;
        return QuickCheck();
    }
    if (!forceFullCheck_ && LoadStatus()) {
        LoadPartialPieces();
        return true;
    }
    if (built_) return FullCheck();
    progress_.TakeContentUnchecked();
    return true;
}

bool TPieces::TakeOverFrom(TPieces& previous) {
    previous.FinishQueuedWrites();
    if (previous.totalLength_ != totalLength_ || previous.pieceLength_ != pieceLength_ ||
        previous.pieceCount_ != pieceCount_ || previous.files_.size() != files_.size())
        return false;
    // Verified pieces count only when they were checked against these very hashes.
    if (HasExpectedHashes() && (!previous.HasExpectedHashes() || previous.pieceHashes_ != pieceHashes_)) return false;
    for (size_t i = 0; i < files_.size(); ++i) {
        const TPieceFile& mine = files_[i];
        const TPieceFile& theirs = previous.files_[i];
        if (mine.workingPath != theirs.workingPath || mine.offset != theirs.offset || mine.length != theirs.length)
            return false;
    }
    for (int64_t i = 0; i < pieceCount_; ++i) {
        TPiece& piece = pieces_[static_cast<size_t>(i)];
        TPiece& earlier = previous.pieces_[static_cast<size_t>(i)];
        if (previous.IsPieceDone(i)) {
            SetPieceDone(i, true);
            continue;
        }
        piece.received = earlier.received;
        piece.hasher = std::move(earlier.hasher);
        piece.held = std::move(earlier.held);
        earlier.held.Clear();
        piece.sender = std::move(earlier.sender);
        piece.stamp = earlier.stamp;
        piece.done = earlier.done;
        piece.pendingWrite = earlier.pendingWrite;
        window_.Hold(piece.held.Bytes());
        earlier.StartOver();
    }
    previous.window_.Recount(0);
    RecountInProgress();
    return true;
}

void TPieces::ForgetContent() {
    files_.clear();
    pieces_.clear();
    totalLength_ = 0;
    pieceCount_ = 0;
    name_.clear();
    window_.Recount(0);
}

bool TPieces::OpenAllFiles() {
    const GrowthPolicy noGrowth{false, true, pieceLength_};
    for (TPieceFile& entry : files_) {
        // A folder in the file's place would keep the data under the working
        // name for ever while the download reports complete.
        if (platform::DirectoryExists(entry.TargetPath()) || platform::DirectoryExists(entry.workingPath)) {
            Send(kFileUnwritableEvent);
            return false;
        }
        if (OpenForWrite(entry, 0, noGrowth, *job_, nullptr) != GrowthResult::Ready) return false;
        const bool trimmed = TrimToLength(entry);
        entry.file.Close();
        if (!trimmed) return false;
    }
    return true;
}

bool TPieces::TrimToLength(TPieceFile& entry) {
    // An older, longer file in the same place must not keep its tail behind
    // the download's last byte.
    const auto size = entry.file.Size();
    if (!size || *size <= entry.length) return true;
    if (entry.file.SetSize(entry.length) == platform::IoStatus::Ok) return true;
    Send(kFileUnwritableEvent);
    return false;
}

bool TPieces::SavePartialPieces() {
    // Pieces at the background writer are recorded once they are on disk.
    FinishQueuedWrites();
    if (!journal_.Enabled() || !torrent_ || !saveStatus_) return true;
    if (IsComplete()) {
        journal_.Delete();
        return true;
    }
    return journal_.Save(torrent_->InfoHash(), pieces_, [this](int64_t piece) { return IsPieceDone(piece); });
}

void TPieces::LoadPartialPieces() {
    if (!journal_.Enabled() || !torrent_ || pieces_.empty()) return;
    if (IsComplete()) {
        journal_.Delete();
        return;
    }
    journal_.Load(
        torrent_->InfoHash(), pieceLength_, [this](int64_t piece) { return IsValidPiece(piece); },
        [this](int32_t index, std::string_view body) {
            TPiece& piece = pieces_[static_cast<size_t>(index)];
            if (IsPieceDone(index) || piece.done) return true;
            if (!RestoreJournalRecord(piece, body)) {
                DiscardHeld(piece);
                piece.StartOver();
                return false;
            }
            if (piece.HoldsToEnd()) CompletePiece(piece);
            return true;
        });
    RecountInProgress();
}

bool TPieces::RestoreJournalRecord(TPiece& piece, std::string_view body) {
    std::optional<JournalRecord> record = ParseJournalBody(body, piece.length);
    // The record must continue exactly where the restored SHA-1 state stops.
    if (!record || record->prefix != piece.received || (piece.received > 0 && !piece.hasher)) return false;
    for (const auto& [start, bytes] : record->blocks.Ranges())
        window_.Hold(piece.held.Add(start, bytes.data(), static_cast<int32_t>(bytes.size())));
    StampDone(piece);
    return true;
}

void TPieces::Reset() {
    SavePartialPieces();
    Clear();
}

bool TPieces::IsReady() const {
    if (pieces_.empty() || pieceCount_ <= 0 || files_.empty() || totalLength_ <= 0 || pieceLength_ <= 0) return false;
    // A map without hashes never checks a piece; it stays usable once taken.
    return !job_->HasReadyPieceMap() || pieceHashes_.size() >= 20 || !built_;
}

bool TPieces::IsValidPiece(int64_t piece) const {
    return IsReady() && piece >= 0 && piece < pieceCount_ && pieces_[static_cast<size_t>(piece)].length > 0;
}

bool TPieces::IsPieceDone(int64_t piece) const {
    if (!IsValidPiece(piece)) return false;
    return progress_.IsVerified(piece);
}

bool TPieces::IsPieceWanted(int64_t piece) const {
    if (!IsValidPiece(piece) || IsPieceDone(piece)) return false;
    const TPiece& entry = pieces_[static_cast<size_t>(piece)];
    return !entry.done && !entry.checking && !entry.unwanted;
}

int32_t TPieces::PieceLengthOf(int64_t piece) const {
    if (piece < 0 || piece >= static_cast<int64_t>(pieces_.size())) return 0;
    return pieces_[static_cast<size_t>(piece)].length;
}

bool TPieces::HasBlock(int64_t block) const {
    if (!IsReady() || block < 0 || block > totalLength_ / kBlockSize) return false;
    const int64_t start = block * kBlockSize;
    if (start >= totalLength_) return false;
    const int64_t end = std::min<int64_t>(start + kBlockSize, totalLength_);
    for (int64_t position = start; position < end;) {
        const int64_t index = position / pieceLength_;
        const TPiece& piece = pieces_[static_cast<size_t>(index)];
        const int64_t pieceStart = index * pieceLength_;
        const int32_t from = static_cast<int32_t>(position - pieceStart);
        const int32_t to = static_cast<int32_t>(std::min<int64_t>(end - pieceStart, piece.length));
        const bool present = IsPieceDone(index) || piece.done || piece.checking || to <= piece.received ||
                             piece.held.Covers(std::max(from, piece.received), to);
        if (!present) return false;
        position = pieceStart + to;
    }
    return true;
}

int32_t TPieces::FirstMissingByte(int64_t piece) const {
    if (!IsPieceWanted(piece)) return -1;
    const TPiece& entry = pieces_[static_cast<size_t>(piece)];
    const int32_t gap = entry.held.FirstGap(entry.received, entry.length);
    return gap < entry.length ? gap : -1;
}

void TPieces::SetPieceDone(int64_t piece, bool done) {
    if (piece < 0 || piece >= pieceCount_ || !progress_.SetVerified(piece, done)) return;
    Send(kPieceVerifiedEvent, done ? 1 : 0, piece);
}

void TPieces::RecountCounters() {
    progress_.Recount(pieces_);
    RecountInProgress();
}

void TPieces::RecountInProgress() {
    inProgress_.clear();
    piecesHeldComplete_ = 0;
    for (const TPiece& piece : pieces_) {
        if (piece.done || piece.checking) ++piecesHeldComplete_;
        if (IsPieceDone(piece.index)) continue;
        if (piece.received > 0 || !piece.held.Empty() || piece.checking) inProgress_.push_back(piece.index);
    }
}

void TPieces::MarkUnwantedPieces() {
    bool anyDeselected = false;
    for (const TPieceFile& entry : files_) anyDeselected = anyDeselected || entry.IsDeselected();
    for (TPiece& piece : pieces_) piece.unwanted = anyDeselected;
    if (!anyDeselected) return;
    for (const TPieceFile& entry : files_) {
        if (entry.IsDeselected() || entry.length == 0) continue;
        const int64_t first = entry.offset / pieceLength_;
        for (int64_t i = first; i < first + entry.pieceSpan && i < pieceCount_; ++i) {
            pieces_[static_cast<size_t>(i)].unwanted = false;
        }
    }
}

bool TPieces::SetFilePriority(int32_t file, int32_t priority) {
    if (file < 0 || file >= FileCount()) return false;
    TPieceFile& entry = files_[static_cast<size_t>(file)];
    entry.priority = priority < -2 ? kDeselectedPriority : std::min(priority, 2);
    entry.priorityFromUser = true;
    MarkUnwantedPieces();
    RecountCounters();
    SaveFileChoices();
    Send(kSizesChangedEvent);
    return true;
}

bool TPieces::PieceHashMatches(const TPiece& piece, const Sha1Digest& digest) const {
    const size_t at = static_cast<size_t>(piece.index) * 20;
    if (at + 20 > pieceHashes_.size()) return false;
    return std::memcmp(pieceHashes_.data() + at, digest.data(), 20) == 0;
}

}  // namespace veldmoor
