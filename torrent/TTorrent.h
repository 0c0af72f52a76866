#pragma once
// What the engine knows of a torrent: its trackers, descriptive texts and info
// hash. Its `info` dictionary builds the piece map that owns the torrent.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/TRefObject.h"
#include "torrent/Sha1State.h"

namespace veldmoor {

class IPieceMapOwner;
class QElement;
class TPieces;

// The code page that texts are converted to (UTF-8 here).
inline constexpr int32_t kSystemCodePage = 65001;

class TTorrent final : public TRefObject {
public:
    // `pieceMap` owns this torrent and is not counted here (it counts this
    // torrent); `previousMap` is counted until a build has used it.
    TTorrent(TPieces* pieceMap, IPieceMapOwner* job, TPieces* previousMap);
    ~TTorrent() override;

    // Loads from the source text or torrent bytes the job filled in.
    bool Load();
    bool ParseBytes(const char* bytes, int64_t length);
    // A "file://" source.
    bool ParseFile(const std::string& text);
    bool ParseMetainfo(const char* bytes, int64_t length);
    void Clear();

    void SetPreviousMap(TPieces* previousMap);
    TPieces* PreviousMap() const { return previousMap_; }
    TPieces* PieceMap() const { return pieceMap_; }
    // The piece map is going away.
    void DetachPieceMap() { pieceMap_ = nullptr; }

    void SetSourceText(std::string text) { sourceText_ = std::move(text); }
    void SetTorrentBytes(std::string bytes) { torrentBytes_ = std::move(bytes); }
    const std::string& SourceText() const { return sourceText_; }
    const std::string& TorrentBytes() const { return torrentBytes_; }

    int32_t CodePage() const { return codePage_; }
    void SetCodePage(int32_t codePage) { codePage_ = codePage; }
    const std::string& Announce() const { return announce_; }
    const std::string& Publisher() const { return publisher_; }
    const std::string& PublisherUrl() const { return publisherUrl_; }
    const std::string& Comment() const { return comment_; }
    int64_t CreationDate() const { return creationDate_; }
    const std::vector<std::string>& Trackers() const { return trackers_; }

    const Sha1Digest& InfoHash() const { return infoHash_; }
    bool HasInfoHash() const;
    const std::string& EscapedHash() const { return escapedHash_; }
    const std::string& HexHash() const { return hexHash_; }
    // Sets the hash and both of its texts.
    void SetInfoHash(const Sha1Digest& hash);
    // Keeps a non-empty address at the end of the tracker list.
    void AddTracker(std::string address);

private:
    void ChooseCodePage(QElement& root);
    void ReadDescriptiveTexts(const QElement& root);
    int WalkAnnounceList(const QElement& container);
    bool HashInfo(const QElement* info);
    // Tells the job the torrent cannot be used (20211) and asks it to stop.
    void ReportUnusable();

    int32_t codePage_ = 0;
    std::string announce_;
    std::string publisher_;
    std::string publisherUrl_;
    std::string comment_;
    int64_t creationDate_ = 0;
    Sha1Digest infoHash_{};
    std::string escapedHash_;
    std::string hexHash_;
    std::vector<std::string> trackers_;
    std::string torrentBytes_;
    std::string sourceText_;
    TPieces* pieceMap_ = nullptr;
    TPieces* previousMap_ = nullptr;
    IPieceMapOwner* job_ = nullptr;
};

// The code page an `encoding` name selects; 0 for names not in the table.
int32_t CodePageForEncoding(std::string_view name);
// Skips to the first h/H/u/U and drops trailing "|"; "" when nothing is left.
std::string CleanTrackerAddress(std::string_view text);

}  // namespace veldmoor
