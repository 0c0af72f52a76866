#pragma once
// The job's piece scheduling: the piece map over the target file, the source
// ranges and block requests, and the file list the task publishes. The piece
// map itself arrives with the torrent data; until then a job has none.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/TWorkWithPeers.h"

namespace veldmoor {

class TPieces;

class TWorkWithPieces : public TWorkWithPeers {
public:
    explicit TWorkWithPieces(EngineState& engine);
    ~TWorkWithPieces() override;

    void Refresh() override;
    bool HasPieceMap() override;
    void OnPieceMapEvent(int event, intptr_t argument) override;
    void Reset(bool clearFiles, bool b) override;

    virtual int GetFileCount();
    virtual int64_t GetFileSize(int index);
    // Copies name `type` (1, 2 or 3 = full path) of file `index`; false when there is none.
    virtual bool GetFileName(int index, int type, std::string& name);
    // Queues a read of downloaded data for the job thread; -1 without a piece map.
    virtual int ReadData(int64_t offset, void* buffer, int length);

    // The published piece bitfield (TaskGetBitfield); take the job's lock.
    const std::vector<uint8_t>& PublishedBitfield() const { return publishedBitfield_; }

protected:
    // Builds the map from the saved torrent text; false while there is no piece
    // map support for the text.
    bool BuildPieceMapFromTorrent();
    void ServeQueuedReads();
    void TrimSchedulingPools(bool everyFourthTurn);
    void RebuildIfPending();

    TPieces* pieces_ = nullptr;
    bool rebuildPending_ = false;
    std::vector<uint8_t> workingBitfield_;
    std::vector<uint8_t> publishedBitfield_;
    bool bitfieldChanged_ = false;
    bool pieceListChanged_ = false;
    bool peerListChanged_ = false;
};

}  // namespace veldmoor
