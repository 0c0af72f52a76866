#include "torrent/TTorrent.h"

#include <cctype>
#include <climits>
#include <memory>

#include "foundation/AsciiText.h"
#include "platform/Files.h"
#include "torrent/Bencode.h"
#include "torrent/IPieceMapOwner.h"
#include "torrent/QueryEscape.h"
#include "torrent/TPieces.h"
#include "torrent/TorrentLimits.h"

namespace veldmoor {
namespace {

constexpr int32_t kRunStateLoading = 3;
constexpr int32_t kRunStateLoaded = 4;
constexpr int32_t kStatusTorrentUnreadable = 20211;

bool IsDictionaryText(const char* bytes, int64_t length) {
    return bytes && length > 0 && (bytes[0] == 'd' || bytes[0] == 'D');
}

std::string TrimControlBytes(std::string text) {
    auto isTrimmed = [](char c) { return static_cast<unsigned char>(c) >= 1 && static_cast<unsigned char>(c) <= 32; };
    size_t begin = 0;
    while (begin < text.size() && isTrimmed(text[begin])) ++begin;
    size_t end = text.size();
    while (end > begin && isTrimmed(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// The value of `key` as a text in the system code page; "" when absent.
std::string LocalTextOf(const QElement& dictionary, const char* key) {
    const QElement* value = dictionary.GetValue(key);
    return (value && value->GetKind() == kElementLeaf) ? value->GetLocalText() : std::string();
}

bool IsContainer(const QElement& element) {
    return element.GetKind() == kElementDictionary || element.GetKind() == kElementList;
}

// Runs the job's run state 3 ... 4 bracket around a load.
class LoadingState {
public:
    explicit LoadingState(IPieceMapOwner* job) : job_(job) {
        if (job_) job_->SetRunState(kRunStateLoading);
    }
    ~LoadingState() {
        if (job_) job_->SetRunState(kRunStateLoaded);
    }
    LoadingState(const LoadingState&) = delete;
    LoadingState& operator=(const LoadingState&) = delete;

private:
    IPieceMapOwner* job_;
};

}  // namespace

int32_t CodePageForEncoding(std::string_view name) {
    struct Entry {
        const char* name;
        int32_t codePage;
    };
    static constexpr Entry kTable[] = {{"GBK", 936}, {"BIG5", 950}, {"KOR", 949}, {"Shift-JIS", 932}};
    for (const Entry& entry : kTable) {
        if (EqualsNoCase(name, entry.name)) return entry.codePage;
    }
    return 0;
}

std::string CleanTrackerAddress(std::string_view text) {
    const size_t start = text.find_first_of("hHuU");
    if (start == std::string_view::npos) return {};
    std::string_view address = text.substr(start);
    while (!address.empty() && address.back() == '|') address.remove_suffix(1);
    return std::string(address);
}

TTorrent::TTorrent(TPieces* pieceMap, IPieceMapOwner* job, TPieces* previousMap) : pieceMap_(pieceMap), job_(job) {
    SetPreviousMap(previousMap);
    Clear();
}

TTorrent::~TTorrent() {
    Clear();
    SetPreviousMap(nullptr);
}

void TTorrent::SetPreviousMap(TPieces* previousMap) {
    if (previousMap == previousMap_) return;
    if (previousMap) previousMap->AddRef();
    ReleaseRef(previousMap_);
    previousMap_ = previousMap;
}

void TTorrent::Clear() {
    announce_.clear();
    publisher_.clear();
    publisherUrl_.clear();
    comment_.clear();
    creationDate_ = 0;
    infoHash_.fill(0);
    escapedHash_.clear();
    hexHash_.clear();
    trackers_.clear();
}

bool TTorrent::HasInfoHash() const {
    for (uint8_t byte : infoHash_) {
        if (byte != 0) return true;
    }
    return false;
}

void TTorrent::SetInfoHash(const Sha1Digest& hash) {
    infoHash_ = hash;
    escapedHash_ = EscapeQueryBytes(hash);
    hexHash_ = HexText(hash.data(), hash.size());
}

void TTorrent::AddTracker(std::string address) {
    if (!address.empty()) trackers_.push_back(std::move(address));
}

bool TTorrent::Load() {
    if (sourceText_.find("$End$") != std::string::npos) {
        if (!pieceMap_) return false;
        LoadingState loading(job_);
        return pieceMap_->ReadInfoText(sourceText_);
    }
    if (torrentBytes_.empty()) return ParseFile(sourceText_);
    return ParseBytes(torrentBytes_.data(), static_cast<int64_t>(torrentBytes_.size()));
}

bool TTorrent::ParseBytes(const char* bytes, int64_t length) {
    if (!bytes || length <= 0) return false;
    LoadingState loading(job_);
    return ParseMetainfo(bytes, length);
}

bool TTorrent::ParseFile(const std::string& text) {
    if (StartsWithNoCase(text, "http://Kademlia/")) return false;
    static constexpr std::string_view kFileScheme = "file://";
    if (!StartsWithNoCase(text, kFileScheme)) return false;
    const platform::BoundedRead contents = platform::ReadFileUpTo(text.substr(kFileScheme.size()), kMaxTorrentFileBytes);
    if (contents.bytes.size() > 2 && IsDictionaryText(contents.bytes.data(), 1)) {
        return ParseBytes(contents.bytes.data(), static_cast<int64_t>(contents.bytes.size()));
    }
    ReportUnusable();
    return false;
}

void TTorrent::ReportUnusable() {
    if (!job_) return;
    job_->SetStatusCode(kStatusTorrentUnreadable);
    job_->RequestStop();
}

bool TTorrent::ParseMetainfo(const char* bytes, int64_t length) {
    if (!IsDictionaryText(bytes, length)) return false;
    Clear();
    std::unique_ptr<QElement> root;
    if (length <= static_cast<int64_t>(kMaxTorrentFileBytes)) root = ParseElement(bytes, static_cast<int>(length));
    if (!root || root->GetKind() != kElementDictionary) {
        // It looked like a torrent and is not one: say so instead of waiting for sources.
        ReportUnusable();
        return false;
    }

    ChooseCodePage(*root);
    ReadDescriptiveTexts(*root);

    const QElement* info = root->GetValue("info");
    if (info && info->GetKind() != kElementDictionary) info = nullptr;
    if (info && !HashInfo(info)) info = nullptr;
    if (info) {
        if (publisher_.empty()) publisher_ = LocalTextOf(*info, "publisher");
        if (publisherUrl_.empty()) publisherUrl_ = LocalTextOf(*info, "publisher-url");
    }

    const bool built = pieceMap_ && pieceMap_->Build(info, previousMap_);
    if (built) {
        SetPreviousMap(nullptr);
    } else {
        Clear();
        if (!pieceMap_ || pieceMap_->RefusedMetainfo()) ReportUnusable();
    }
    return built;
}

void TTorrent::ChooseCodePage(QElement& root) {
    if (codePage_ == 0) {
        if (const QElement* codePage = root.GetValue("codepage"); codePage && codePage->HasInteger()) {
            const int64_t value = codePage->GetInteger();
            if (value > 0 && value <= INT32_MAX) codePage_ = static_cast<int32_t>(value);
        } else if (const QElement* encoding = root.GetValue("encoding");
                   encoding && encoding->GetKind() == kElementLeaf) {
            codePage_ = CodePageForEncoding(encoding->GetBytes());
        }
    }
    if (codePage_ != 0 && codePage_ != kSystemCodePage) root.SetCodePage(codePage_);
}

void TTorrent::ReadDescriptiveTexts(const QElement& root) {
    announce_ = TrimControlBytes(CleanTrackerAddress(LocalTextOf(root, "announce")));
    AddTracker(announce_);

    const QElement* announceList = root.GetValue("announce-list");
    if (announceList && IsContainer(*announceList)) WalkAnnounceList(*announceList);

    comment_ = LocalTextOf(root, "comment");
    publisher_ = LocalTextOf(root, "publisher");
    publisherUrl_ = LocalTextOf(root, "publisher-url");
    if (const QElement* date = root.GetValue("creation date"); date && date->HasInteger()) {
        creationDate_ = date->GetInteger();
    }
}

int TTorrent::WalkAnnounceList(const QElement& container) {
    int added = 0;
    const int count = container.GetCount();
    for (int i = 0; i < count; ++i) {
        const QElement* child = container.GetAt(i);
        if (!child) continue;
        if (IsContainer(*child)) {
            added += WalkAnnounceList(*child);
            continue;
        }
        if (child->GetKind() != kElementLeaf) continue;
        const std::string_view text = child->GetBytes();
        if (text == "Tracker") continue;
        if (text == "Name") break;
        std::string address = CleanTrackerAddress(child->GetLocalText());
        if (address.empty()) continue;
        AddTracker(std::move(address));
        ++added;
    }
    return added;
}

bool TTorrent::HashInfo(const QElement* info) {
    const char* source = info->GetSource();
    const int size = info->GetSize();
    if (!source || size < 1) return false;
    SetInfoHash(Sha1Of(source, static_cast<size_t>(size)));
    return true;
}

}  // namespace veldmoor
