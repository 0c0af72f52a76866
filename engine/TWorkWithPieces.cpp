#include "engine/TWorkWithPieces.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <random>

#include <openssl/evp.h>

#include "peers/BitTorrentWire.h"
#include "peers/IBitTorrentPeerControl.h"
#include "peers/SourceAddress.h"
#include "peers/TPeerObject.h"
#include "engine/EngineState.h"
#include "engine/EngineEvents.h"
#include "engine/FileQueries.h"
#include "engine/SourceSizeVote.h"
#include "foundation/CVeldmoorLog.h"
#include "platform/Clock.h"
#include "platform/Thread.h"
#include "torrent/Bencode.h"
#include "torrent/Bitfield.h"
#include "torrent/TPieces.h"
#include "torrent/TTorrent.h"
#include "torrent/TorrentLimits.h"

namespace veldmoor {
namespace {


}  // namespace

TWorkWithPieces::TWorkWithPieces(EngineState& engine, JobRecord& record, TWorkWithPeers& peerSet, WorkerThread& thread,
                                 IPieceWorkEvents& job)
    : engine_(engine), record_(record), peerSet_(peerSet), thread_(thread), job_(job) {}

TWorkWithPieces::~TWorkWithPieces() { ReleasePieceMap(); }

std::string TWorkWithPieces::PieceMapFolder() const {
    const std::string& folder = record_.Folder();
    if (folder.empty() || folder.back() == '/') return folder;
    return folder + '/';
}

bool TWorkWithPieces::HasPieceMap() { return pieces_ != nullptr && pieceMapReady_; }

void TWorkWithPieces::Refresh() {
    if (!pieces_) return;
    const int64_t completedBefore = record_.Working().completedBytes;
    record_.Working().totalBytes = pieces_->TotalLength();
    record_.Working().completedBytes = pieces_->CompletedBytes();
    record_.Working().wantedBytes = pieces_->WantedBytes();
    record_.Working().receivedBytes = pieces_->ReceivedBytes();
    record_.Working().pieceCount = static_cast<int32_t>(pieces_->PieceCount());
    record_.Working().piecesVerified = pieces_->PiecesVerified();
    record_.Working().pieceLength = pieces_->PieceLength();
    if (record_.Working().completedBytes == completedBefore) return;
    if (pieces_->IsComplete()) {
        // The record that first shows the download complete shows it finished.
        record_.Working().currentSpeed = 0;
        record_.Working().remainingSeconds = 0;
        const int64_t onDisk = AllocatedSizeOf(record_.TargetFile());
        if (onDisk > 0) record_.Working().onDiskSize = onDisk;
    }
    Publish(false, false);
}

bool TWorkWithPieces::CreatePieceMap(TPieces* previous) {
    record_.Settings().Clamp();
    auto* map = new TPieces(this);
    TTorrent* torrent = map->Torrent();
    if (!torrent) {
        map->Release();
        return false;
    }
    map->SetWriteWindow(record_.Settings().writeWindowUnits);
    map->SetSaveStatus(true);
    // Checks and writes then run beside the job's network work.
    map->SetBackgroundWrites(true);
    map->SetJournalPath(record_.JournalPath());
    map->SetFileChoiceText(record_.SavedTexts().part);
    map->SetPieceStatusText(record_.SavedTexts().bits);
    torrent->SetPreviousMap(previous);
    pieces_ = map;
    torrent_ = torrent;
    torrent_->AddRef();
    return true;
}

bool TWorkWithPieces::BuildFromTorrent() {
    if (!record_.IsTorrentTask() || record_.SavedTexts().torrent.empty()) return false;
    if (HasPieceMap()) return true;
    ReleasePieceMap();
    if (!CreatePieceMap(nullptr)) {
        RequestStop();
        return false;
    }
    torrent_->SetSourceText(record_.SourceText());
    torrent_->SetTorrentBytes(record_.SavedTexts().torrent);
    if (!torrent_->Load()) return false;

    pieceMapReady_ = true;
    AdoptTorrent();
    Refresh();
    fileListChanged_ = true;
    return true;
}

void TWorkWithPieces::AdoptTorrent() {
    const auto& hash = torrent_->InfoHash();
    if (!std::equal(hash.begin(), hash.end(), peerSet_.JobInfoHash().begin())) {
        InfoHash adopted{};
        std::copy(hash.begin(), hash.end(), adopted.begin());
        peerSet_.AdoptInfoHash(adopted);
        handshake_.fill(0);
        InitIdentity(false);
    }
    peerSet_.AddTrackerCandidates(torrent_->Trackers());
    peerSet_.RequeueAddedTrackers();
}

void TWorkWithPieces::Rebuild() {
    TPieces* previous = pieces_;
    TTorrent* previousTorrent = torrent_;
    pieces_ = nullptr;
    torrent_ = nullptr;
    pieceMapReady_ = false;
    // Ranges, pieces in flight and returned requests were counted in the old
    // map's pieces.
    sourceRanges_.Clear();
    sourceRangesCut_ = false;
    schedule_.ClearWork();
    if (CreatePieceMap(previous)) {
        torrent_->SetSourceText(record_.SourceText());
        torrent_->SetTorrentBytes(record_.SavedTexts().torrent);
        if (torrent_->Load()) {
            pieceMapReady_ = true;
            fileListChanged_ = true;
            // A torrent that came from the torrent line brings the job its
            // identity only now; without it every peer's handshake is refused.
            AdoptTorrent();
            Refresh();
        }
    }
    if (previousTorrent) previousTorrent->Release();
    if (previous) previous->Release();
}

void TWorkWithPieces::RebuildIfPending() {
    if (!rebuildPending_) return;
    rebuildPending_ = false;
    Rebuild();
}

namespace {

// "URL<TAB>version" lines.
std::map<std::string, std::string> ReadVersions(const std::string& text) {
    std::map<std::string, std::string> versions;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line(text.data() + at, end - at);
        const size_t tab = line.find('\t');
        if (tab != std::string_view::npos) versions[std::string(line.substr(0, tab))] = std::string(line.substr(tab + 1));
        at = end + 1;
    }
    return versions;
}

std::string WriteVersions(const std::map<std::string, std::string>& versions) {
    std::string text;
    for (const auto& [url, version] : versions) text += url + '\t' + version + '\n';
    return text;
}

}  // namespace

bool TWorkWithPieces::AcceptSourceVersion(const std::string& url, const std::string& version) {
    if (url.empty() || version.empty() || url.find_first_of("\t\n") != std::string::npos ||
        version.find_first_of("\t\n") != std::string::npos)
        return true;
    std::map<std::string, std::string> versions = ReadVersions(record_.SavedTexts().versions);
    std::string& recorded = versions[url];
    if (recorded == version) return true;
    const bool changed = !recorded.empty();
    recorded = version;
    record_.SavedTexts().versions = WriteVersions(versions);
    record_.SavedTexts().versionsChanged = true;
    // Pieces checked against a torrent's hashes cannot be spliced from two files.
    if (!changed || record_.IsTorrentTask()) return true;
    StartOverForChangedSource(url);
    return false;
}

std::string TWorkWithPieces::SourceVersion(const std::string& url) const {
    const std::map<std::string, std::string> versions = ReadVersions(record_.SavedTexts().versions);
    const auto found = versions.find(url);
    return found == versions.end() ? std::string() : found->second;
}

void TWorkWithPieces::SourceFileChanged(const std::string& url) {
    if (record_.IsTorrentTask()) return;
    // The version it named is gone: the next requests must not name it again.
    std::map<std::string, std::string> versions = ReadVersions(record_.SavedTexts().versions);
    if (versions.erase(url) > 0) {
        record_.SavedTexts().versions = WriteVersions(versions);
        record_.SavedTexts().versionsChanged = true;
    }
    StartOverForChangedSource(url);
}

void TWorkWithPieces::StartOverForChangedSource(const std::string& url) {
    VeldmoorLog().Write("The file at " + url + " changed since it was last asked; the download starts over", 1, 2);
    if (pieces_ && pieceMapReady_) {
        startOverPending_ = true;
    } else {
        // No map yet: the one built from the next answer must not take the saved progress.
        record_.SavedTexts().bits.clear();
        record_.SavedTexts().bitsChanged = true;
    }
}

int64_t TWorkWithPieces::SourceRangeEnd(const TPeerObject& peer) const {
    if (!pieces_ || !pieceMapReady_) return 0;
    const SourceRange* range = sourceRanges_.RangeOf(peer);
    if (!range || range->finished) return EndOfNeededRun(peer);
    // A server fetching what no peer offers stops where the peers' pieces
    // begin; one left with the peers' pieces only streams on through them.
    const bool fetchesWhatPeersLack = torrent_ && peerSet_.PeerToPeerEnabled() && !PeersOffer(range->cursor);
    const int32_t last = LastPieceToAsk(*range, [this, fetchesWhatPeersLack](int32_t piece) {
        return pieces_->IsPieceWanted(piece) && !IsInFlight(piece) && !(fetchesWhatPeersLack && PeersOffer(piece));
    });
    return std::min((int64_t{last} + 1) * pieces_->PieceLength(), pieces_->TotalLength());
}

int64_t TWorkWithPieces::EndOfNeededRun(const TPeerObject& peer) const {
    // Without a range of its own the request still ends before the first
    // piece the download holds, a peer fetches or another server keeps.
    if (peer.PendingRequests().empty()) return 0;
    const int64_t pieceLength = pieces_->PieceLength();
    const auto first = static_cast<int32_t>(int64_t{peer.PendingRequests().front().block} * kBlockSize / pieceLength);
    const auto count = static_cast<int32_t>(pieces_->PieceCount());
    RangeView view;
    view.pieceLength = pieces_->PieceLength();
    int32_t last = first;
    while (last + 1 < count && pieces_->IsPieceWanted(last + 1) && !IsInFlight(last + 1) &&
           !sourceRanges_.ServerFetchesSoon(last + 1, view))
        ++last;
    return std::min((int64_t{last} + 1) * pieceLength, pieces_->TotalLength());
}

bool TWorkWithPieces::PeersOffer(int32_t piece) const {
    return std::any_of(peerSet_.Peers().begin(), peerSet_.Peers().end(), [piece](TPeerObject* peer) {
        IBitTorrentPeerControl* control = peer && peer->IsEstablished() ? peer->BitTorrent() : nullptr;
        return control && control->OffersPiece(piece);
    });
}

bool TWorkWithPieces::IsInFlight(int32_t piece) const {
    const std::vector<int32_t>& inFlight = schedule_.InFlight();
    return std::find(inFlight.begin(), inFlight.end(), piece) != inFlight.end();
}

void TWorkWithPieces::StartOverIfPending() {
    if (!startOverPending_) return;
    startOverPending_ = false;
    if (!pieces_ || !pieceMapReady_) return;
    pieces_->ForgetProgress();
    Refresh();
}

void TWorkWithPieces::OnPieceMapEvent(const PieceMapEvent& event) {
    switch (event.type) {
        case kPieceVerifiedEvent:
            bitfield_.Set(event.data, event.value != 0);
            Refresh();
            if (event.value != 0 && pieces_ && pieces_->ReceivedBytes() >= pieces_->TotalLength())
                pendingHaves_.push_back(static_cast<int32_t>(event.data));
            break;
        case kSizesChangedEvent:
            Refresh();
            break;
        case kPublishEvent:
            Publish(event.value != 0, false);
            break;
        case kPieceCountEvent:
            bitfield_.Resize(event.data);
            if (pieces_) record_.Working().name = pieces_->Name();
            break;
        case kFileChoicesEvent:
            record_.SavedTexts().part = event.text;
            record_.SavedTexts().partChanged = true;
            break;
        case kPieceStatusEvent:
            record_.SavedTexts().bits = event.text;
            record_.SavedTexts().bitsChanged = true;
            break;
        case kDiskFullEvent:
            diskFull_ = true;
            record_.SetStatusCode(20210);
            RequestStop();
            Publish(false, false);
            break;
        case kDiskRoomEvent:
            diskFull_ = false;
            break;
        case kFileUnwritableEvent:
            record_.SetStatusCode(20215);
            RequestStop();
            Publish(false, false);
            break;
        default:
            thread_.Notify(static_cast<intptr_t>(event.data));
            break;
    }
}

void TWorkWithPieces::OnPieceChecked(BlockSender* blockSender, bool matched) {
    if (!blockSender) return;
    // The job hands the map its own candidates and nothing else.
    auto* sender = static_cast<TPeerId*>(blockSender);
    // Every finished piece, good or bad, counts as delivered: the ban rule
    // weighs failures against all deliveries.
    ++sender->successes;
    if (matched)
        sender->hashFailures = 0;
    else if (sender->kind & kPeerServer)
        ++sender->hashFailures;
}

void TWorkWithPieces::OnCorruptPiece(BlockSender* blockSender, int32_t piece) {
    auto* sender = static_cast<TPeerId*>(blockSender);
    ReportCorruptPiece(sender, piece, record_.TargetFile());
    // A piece checked on the writer's thread fails after its sender moved on:
    // it must become free to fetch again here, not through the sender.
    RemoveInFlight(piece, true);
    if (!sender || !(sender->kind & kPeerServer)) return;
    const int32_t failures = pieceFailures_.Record(sender->url, piece, record_.JobClock());
    if (failures >= SourcePieceFailures::kFailuresBeforeGivingUp)
        peerSet_.NoteSourceProblem(sender->url, "piece " + std::to_string(piece) + " failed its check " +
                                           std::to_string(failures) + " times; not asked of this source again");
}

int32_t TWorkWithPieces::PieceNoSourceCanSupply(bool& serversLeft) const {
    serversLeft = false;
    if (!pieceMapReady_ || !pieces_ || pieceFailures_.Empty()) return -1;
    std::vector<const TPeerId*> servers;
    for (const TPeerId* candidate : peerSet_.Candidates()) {
        // A peer may still bring any piece; the peers' own rules end such a task.
        if (!(candidate->kind & kPeerServer)) return -1;
        if (!(candidate->HasDetails() && candidate->details->torrentFetch)) servers.push_back(candidate);
    }
    for (const TPeerObject* peer : peerSet_.Peers())
        if (peer->Kind() == kPeerBitTorrent) return -1;
    serversLeft = !servers.empty();
    for (int32_t piece = 0; piece < pieces_->PieceCount(); ++piece) {
        if (!pieces_->IsPieceWanted(piece)) continue;
        const bool someoneMay = std::any_of(servers.begin(), servers.end(), [&](const TPeerId* server) {
            return !pieceFailures_.GivenUp(server->url, piece);
        });
        if (!someoneMay) return piece;
    }
    return -1;
}

void TWorkWithPieces::MarkSourceRangeReset(TPeerObject& peer) {
    if (SourceRange* range = sourceRanges_.RangeOf(peer)) {
        range->reset = true;
        sourceRanges_.Release(peer);
    }
}

void TWorkWithPieces::CountPieceDelivery(BlockSender* /*sender*/) {
    // Counted when the piece was checked; reaching the disk adds nothing.
}

void TWorkWithPieces::SetPriority(int32_t file, int32_t priority) {
    ScopedLock guard(thread_.Lock());
    priorityChanges_.emplace_back(file, priority);
}

void TWorkWithPieces::ApplyPriorityChanges() {
    if (!HasPieceMap() || priorityChanges_.empty()) return;
    for (const auto& [file, priority] : priorityChanges_) {
        if (file < 0 || file >= pieces_->FileCount() || pieces_->FileEntry(file).priority == priority) continue;
        pieces_->SetFilePriority(file, priority);
    }
    schedule_.JudgeEndGameAnew();
    PublishFileList();
    priorityChanges_.clear();
}

void TWorkWithPieces::PublishPieceState(bool force) {
    ApplyPriorityChanges();
    if (fileListChanged_ || force) PublishFileList();
    bitfield_.Publish(force);
}

void TWorkWithPieces::PublishFileList() {
    publishedFiles_.clear();
    if (!pieces_) return;
    for (int32_t i = 0; i < pieces_->FileCount(); ++i) {
        const auto& entry = pieces_->FileEntry(i);
        publishedFiles_.push_back({entry.relativeName, entry.workingPath, entry.TargetPath(), entry.length});
    }
    fileListChanged_ = false;
}

int TWorkWithPieces::GetFileCount() {
    ScopedLock guard(thread_.Lock());
    return static_cast<int>(publishedFiles_.size());
}

int64_t TWorkWithPieces::GetFileSize(int index) {
    ScopedLock guard(thread_.Lock());
    if (index < 0 || static_cast<size_t>(index) >= publishedFiles_.size()) return -1;
    return publishedFiles_[static_cast<size_t>(index)].size;
}

bool TWorkWithPieces::GetFileName(int index, int type, std::string& name) {
    ScopedLock guard(thread_.Lock());
    name.clear();
    if (index < 0 || static_cast<size_t>(index) >= publishedFiles_.size()) return false;
    const auto& file = publishedFiles_[static_cast<size_t>(index)];
    if (type == 1) name = file.relativeName;
    if (type == 2) name = file.workingPath;
    if (type == 3) name = file.finalPath;
    return true;
}

int TWorkWithPieces::ReadData(int file, int64_t offset, int length, void* buffer) {
    if (!buffer || length <= 0 || offset < 0) return kReadFailed;
    QueuedReads::Request request;
    request.file = file;
    request.offset = offset;
    request.length = length;
    request.buffer = static_cast<char*>(buffer);
    return reads_.Wait(request, [this] { return thread_.StopRequested() || !thread_.IsRunning(); });
}

void TWorkWithPieces::ServeQueuedReads() {
    reads_.ServeAll([this](QueuedReads::Request& request) { ServeRead(request); });
}

void TWorkWithPieces::ServeRead(QueuedReads::Request& request) {
    using State = QueuedReads::State;
    request.state = State::kFailed;
    if (!HasPieceMap() || request.file < 0 || request.file >= pieces_->FileCount()) return;
    const auto& entry = pieces_->FileEntry(request.file);
    if (request.offset + request.length > entry.length) return;

    const int64_t pieceLength = pieces_->PieceLength();
    const int64_t start = entry.offset + request.offset;
    const int64_t end = start + request.length;
    readPosition_ = static_cast<int32_t>(start / pieceLength);
    for (int64_t piece = start / pieceLength; piece <= (end - 1) / pieceLength; ++piece) {
        if (!pieces_->IsPieceDone(piece)) {
            request.state = State::kNotAvailable;
            return;
        }
    }
    int64_t position = start;
    while (position < end) {
        const int64_t piece = position / pieceLength;
        const auto inPiece = static_cast<int32_t>(position - piece * pieceLength);
        const auto wanted = static_cast<int32_t>(std::min<int64_t>(end - position, pieceLength - inPiece));
        const int32_t read = pieces_->ReadPiece(piece, inPiece, wanted, request.buffer + (position - start));
        if (read > 0) {
            position += read;
            request.bytesRead += read;
        }
        if (read != wanted) {
            request.state = request.bytesRead == 0 ? State::kNotAvailable : State::kDone;
            return;
        }
    }
    request.state = State::kDone;
}

void TWorkWithPieces::TrimSchedulingPools(bool everyFourthTurn) {
    if (!everyFourthTurn) return;
    if (!pieces_ || schedule_.Pool().empty()) return;
    if (pieces_->IsComplete()) {
        schedule_.ClearPool();
        return;
    }
    const auto limit = static_cast<size_t>(pieces_->PieceLength() / kBlockSize) * 64 + 64;
    if (schedule_.Pool().size() <= limit) return;
    const int64_t pieceLength = pieces_->PieceLength();
    const auto askedByPeer = [&](int32_t piece) {
        return std::any_of(peerSet_.Peers().begin(), peerSet_.Peers().end(), [&](const TPeerObject* peer) {
            return peer->Kind() == kPeerBitTorrent &&
                   std::any_of(peer->PendingRequests().begin(), peer->PendingRequests().end(),
                               [&](const BlockRequest& request) {
                                   return int64_t{request.block} * kBlockSize / pieceLength == piece;
                               });
        });
    };
    for (const int32_t piece : schedule_.TrimPool(pieceLength, askedByPeer)) RemoveInFlight(piece, false);
}

// ---------------------------------------------------------------------------
// Block scheduling

bool TWorkWithPieces::IsDownloading() const {
    return pieceMapReady_ && pieces_ && !pieces_->IsComplete() && !thread_.StopRequested();
}

bool TWorkWithPieces::IsPieceWanted(int32_t piece) {
    if (!pieceMapReady_ || !pieces_->IsPieceWanted(piece)) return false;
    return schedule_.MayStart(*pieces_, piece);
}

bool TWorkWithPieces::AddInFlight(int32_t piece) {
    if (!pieces_) return false;
    const int64_t nearEnd = std::max<int64_t>(static_cast<int64_t>(peerSet_.Peers().size()) / 3, 64);
    const int64_t allowed = std::max<int64_t>(nearEnd + pieces_->PiecesVerified() - pieces_->PieceCount(), 1);
    return schedule_.AddInFlight(piece, allowed);
}

void TWorkWithPieces::RemoveInFlight(int32_t piece, bool discard) {
    if (discard && pieces_ && !thread_.StopRequested()) {
        const int64_t remaining = pieces_->PieceCount() - pieces_->PiecesVerified();
        if (!schedule_.IsEndGame() || remaining <= 3) pieces_->DropHeldData(piece);
    }
    schedule_.RemoveInFlight(piece, discard);
}

bool TWorkWithPieces::HoldsBlock(int32_t block) const {
    return pieceMapReady_ && pieces_ && pieces_->HasBlock(block);
}

bool TWorkWithPieces::TakeRequests(std::vector<BlockRequest>& list, const std::vector<uint8_t>& peerBitfield, int max,
                                   const std::vector<uint8_t>& exclude) {
    if (!pieces_ || schedule_.Pool().empty()) return false;
    const auto eligible = [&](int32_t piece) {
        return HasBit(peerBitfield, piece) && !HasBit(exclude, piece) && pieces_->IsPieceWanted(piece);
    };
    return schedule_.TakeRequests(list, max <= 0 ? 16 : max, pieces_->PieceLength(),
                                  [this](int32_t block) { return HoldsBlock(block); }, eligible);
}

void TWorkWithPieces::InitIdentity(bool connect) {
    if (connect) peerSet_.DispatchIncoming();
    if (OpensWithProtocolHeader(handshake_) || !torrent_) return;
    const InfoHash& infoHash = peerSet_.JobInfoHash();
    if (std::all_of(infoHash.begin(), infoHash.end(), [](uint8_t b) { return b == 0; })) return;

    // Distinct per job and run; nobody needs to recompute it.
    const std::string seed = torrent_->Announce() + std::to_string(platform::CurrentThreadId()) +
                             std::to_string(reinterpret_cast<uintptr_t>(this)) + std::to_string(platform::TickMs()) +
                             peerSet_.View().localAddress.value_or(IpAddress{}).Text();
    std::array<uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestLength = 0;
    EVP_Digest(seed.data(), seed.size(), digest.data(), &digestLength, EVP_md5(), nullptr);
    PeerIdentity identity{};
    std::copy_n(digest.begin(), 16, identity.begin() + 4);
    StampOwnPeerIdPrefix(identity);
    if (engine_.haveClientGuid) std::copy_n(engine_.clientGuid.begin(), 12, identity.begin() + 8);
    handshake_ = BuildHandshake(infoHash, identity);
    peerSet_.SetTorrentIdentity(infoHash, identity);
}

int32_t TWorkWithPieces::RandomStart() const {
    if (!pieces_ || pieces_->PieceCount() <= 0) return 0;
    constexpr int64_t kWorkingNameFactor = 20;
    const int64_t verified = pieces_->PiecesVerified();
    int64_t start = platform::TickMs() % (kWorkingNameFactor * verified + 6);
    start %= pieces_->PieceCount();
    if (verified > 1) start += verified;
    return static_cast<int32_t>(start);
}

RangeView TWorkWithPieces::MakeRangeView() {
    RangeView view;
    view.pieceCount = static_cast<int32_t>(pieces_->PieceCount());
    view.pieceLength = pieces_->PieceLength();
    view.piecesRemaining = view.pieceCount - pieces_->PiecesVerified();
    view.downloadComplete = pieces_->IsComplete();
    view.now = record_.JobClock();
    view.tick = platform::TickMs();
    view.isWanted = [this](int32_t piece) { return IsPieceWanted(piece); };
    if (torrent_ && peerSet_.PeerToPeerEnabled()) view.peersOffer = [this](int32_t piece) { return PeersOffer(piece); };
    return view;
}

int32_t TWorkWithPieces::NextSourcePiece(TPeerObject& peer) {
    if (!pieceMapReady_) return -1;
    RangeView view = MakeRangeView();
    if (sourceRanges_.Empty()) {
        // With peers, the servers' shares start at a random piece: the members
        // of a crowd then fetch different pieces from the mirrors and trade them.
        if (torrent_ && peerSet_.PeerToPeerEnabled() && view.pieceCount > 1)
            view.startPiece = static_cast<int32_t>(std::random_device{}() % static_cast<uint32_t>(view.pieceCount));
        sourceRanges_.SplitRanges(peerSet_.Candidates(), view);
    }
    sourceRangesCut_ = sourceRangesCut_ || !sourceRanges_.Empty();
    if (const TPeerId* candidate = peer.Candidate(); candidate && !pieceFailures_.Empty()) {
        const std::string source = candidate->url;
        view.sourceMayFetch = [this, source, now = view.now](int32_t piece) {
            return pieceFailures_.MayFetch(source, piece, now);
        };
    }
    return sourceRanges_.NextSourcePiece(peer, view);
}

void TWorkWithPieces::ReleaseSourceRange(TPeerObject& peer) { sourceRanges_.Release(peer); }

bool TWorkWithPieces::TakeSourceRangeAt(TPeerObject& peer, int32_t piece) {
    if (!pieceMapReady_) return false;
    return sourceRanges_.TakeRangeAt(peer, piece, MakeRangeView()) != nullptr;
}

void TWorkWithPieces::ForgetPeer(TPeerObject& peer) { sourceRanges_.Forget(peer); }

void TWorkWithPieces::OnPeerEnding(TPeerObject& peer) {
    TPeerId* candidate = peer.Candidate();
    if (!candidate || !candidate->HasDetails() || !candidate->details->torrentFetch || !candidate->details->done) return;
    const std::string& body = candidate->details->memoryBuffer;
    const bool parsed = !body.empty() && body.size() <= static_cast<size_t>(INT32_MAX) &&
                        ParseElement(body.data(), static_cast<int>(body.size())) != nullptr;
    if (parsed && record_.SavedTexts().torrent.empty()) {
        record_.SavedTexts().torrent = body;
        record_.SavedTexts().torrentChanged = true;
        rebuildPending_ = true;
        record_.SetRunState(kRunRunning);
    }
    peerSet_.SourceFailed(candidate, false, 60);
}

void TWorkWithPieces::ReturnRequests(std::vector<BlockRequest>& requests) {
    if (!thread_.StopRequested()) {
        // A block that came in meanwhile (from a server, or from the peer a
        // cancel went too late to) would only be fetched twice.
        for (const BlockRequest& request : requests)
            if (!HoldsBlock(request.block)) schedule_.AddRequest(request);
    }
    // Whoever gave them back no longer fetches their pieces: the entries go, so
    // a server or another peer may take them instead of waiting for the pool.
    if (pieces_ && pieces_->PieceLength() > 0) {
        std::vector<int32_t> returnedPieces;
        for (const BlockRequest& request : requests)
            returnedPieces.push_back(static_cast<int32_t>(int64_t{request.block} * kBlockSize / pieces_->PieceLength()));
        std::sort(returnedPieces.begin(), returnedPieces.end());
        returnedPieces.erase(std::unique(returnedPieces.begin(), returnedPieces.end()), returnedPieces.end());
        for (const int32_t piece : returnedPieces) RemoveInFlight(piece, false);
    }
    requests.clear();
}

bool TWorkWithPieces::TakeOutstandingRequest(int32_t block) { return schedule_.TakeRequest(block); }

void TWorkWithPieces::ReleaseFailedPiece(int32_t piece) { RemoveInFlight(piece, true); }

void TWorkWithPieces::OnSourceFileSize(int64_t size) {
    // A torrent task's map comes from its torrent; a mismatching mirror is the
    // source's problem, not the map's.
    if (record_.IsTorrentTask() || pieces_ || size <= 0) return;
    if (firstSourceSizeAt_ < 0) firstSourceSizeAt_ = record_.JobClock();
    SettleSourceFileSize();
}

bool TWorkWithPieces::SettlingFileSize() const {
    return !pieceMapReady_ && firstSourceSizeAt_ >= 0 && !thread_.StopRequested();
}

void TWorkWithPieces::SettleSourceFileSize() {
    if (record_.IsTorrentTask() || pieces_ || firstSourceSizeAt_ < 0) return;
    std::vector<int64_t> reported;
    size_t unanswered = 0;
    for (const TPeerId* candidate : peerSet_.Candidates()) {
        if (!(candidate->kind & kPeerServer) || (candidate->HasDetails() && candidate->details->torrentFetch)) continue;
        const int64_t size = candidate->HasDetails() ? candidate->details->fileSize : 0;
        if (size > 0)
            reported.push_back(size);
        else if (candidate->openConnections > 0)
            ++unanswered;  // being asked now; one that cannot be reached is not waited for
    }
    const bool waitOver = record_.JobClock() - firstSourceSizeAt_ >= kSourceSizeWaitSeconds;
    const int64_t size = ChooseSourceFileSize(reported, unanswered, waitOver);
    if (size <= 0) return;
    const auto agreeing = std::count(reported.begin(), reported.end(), size);
    if (static_cast<size_t>(agreeing) < reported.size())
        peerSet_.NoteSourceProblem({}, "the sources disagree on the file size",
                          "taking " + std::to_string(size) + " bytes, reported by " + std::to_string(agreeing) + " of " +
                              std::to_string(reported.size()) + "; the others are given up");
    BuildSourceOnlyMap(size);
}

void TWorkWithPieces::GiveUpSourcesOfAnotherSize() {
    if (!pieceMapReady_ || !pieces_) return;
    const int64_t taskSize = pieces_->TotalLength();
    const std::vector<TPeerId*> listed = peerSet_.Candidates();
    for (TPeerId* candidate : listed) {
        if (!(candidate->kind & kPeerServer) || !candidate->HasDetails() || candidate->details->torrentFetch) continue;
        const int64_t size = candidate->details->fileSize;
        if (size > 0 && size != taskSize)
            peerSet_.GiveUpSource(candidate, "it serves " + std::to_string(size) + " bytes, the file has " +
                                        std::to_string(taskSize));
    }
}

void TWorkWithPieces::BuildSourceOnlyMap(int64_t size) {
    const int32_t pieceLength = SourceOnlyPieceLength(size);
    if (pieceLength == 0) {
        VeldmoorLog().Write("A source reports " + std::to_string(size) + " bytes, beyond what a download may be", 1, 2);
        record_.SetStatusCode(kStatusCannotWrite);
        RequestStop();
        return;
    }
    if (!CreatePieceMap(nullptr)) return;
    if (!pieces_->BuildWithoutHashes(size, pieceLength)) {
        ReleasePieceMap();
        return;
    }
    pieceMapReady_ = true;
    fileListChanged_ = true;
    Refresh();
}

void TWorkWithPieces::FlushAndCloseMap() {
    if (!pieces_) return;
    pieces_->Flush(true, true);
    pieces_->SavePartialPieces();
}

void TWorkWithPieces::ReleasePieceMap() {
    pieceMapReady_ = false;
    if (torrent_) {
        torrent_->Release();
        torrent_ = nullptr;
    }
    if (pieces_) {
        pieces_->Release();
        pieces_ = nullptr;
    }
}

void TWorkWithPieces::Reset(bool clearFiles) {
    FlushAndCloseMap();
    ReleasePieceMap();
    bitfield_.Clear();
    pendingHaves_.clear();
    sourceRanges_.Clear();
    pieceFailures_.Clear();
    firstSourceSizeAt_ = -1;
    sourceRangesCut_ = false;
    schedule_.Reset();
    handshake_.fill(0);
    priorityChanges_.clear();
    if (clearFiles) publishedFiles_.clear();
}

}  // namespace veldmoor
