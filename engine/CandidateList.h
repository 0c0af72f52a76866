#pragma once
// The job's candidates: addresses that could serve the download, kept in
// order, free of duplicates and bounded in number.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "peers/TPeerId.h"

namespace veldmoor {

// Higher priority, more successes, fewer failures, fewer attempts, smaller backoff.
bool CandidateBefore(const TPeerId& a, const TPeerId& b);

// The kind a source address names by its leading text, 0 for none.
int32_t SourceKindOf(const std::string& address);

// A new candidate (one reference, for the caller) with the same facts and
// address; of the addresses left over from its resolution only its race
// partner (RacePartner) is copied.
TPeerId* CopyCandidate(const TPeerId& candidate);

bool HasIdentity(const PeerIdentity& identity);

// What adding a candidate needs to know about the job.
struct CandidateAddContext {
    bool torrentTask = false;  // P2SP or BT
    PeerIdentity ownPeerId{};
    std::optional<IpAddress> ownIp;  // the job's listening address
    int32_t ownPort = 0;
    uint32_t tick = 0;  // picks the place among candidates of equal priority
};

enum class CandidateAddResult { kAdded, kDuplicate, kRefused, kFull };

class CandidateList {
public:
    // Addresses come from remote parties (trackers, peers, the local
    // network), so the list is bounded.
    static constexpr size_t kCapacity = 4096;
    static constexpr int32_t kBitTorrentPriority = 19;

    CandidateList() = default;
    ~CandidateList() { Clear(); }
    CandidateList(const CandidateList&) = delete;
    CandidateList& operator=(const CandidateList&) = delete;

    const std::vector<TPeerId*>& Items() const { return items_; }
    size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }

    // Adds a copy of `candidate` unless the rules refuse it or an equal one
    // is listed. `a` places the copy at random among its equals and lets a
    // BitTorrent identity replace one not learnt over UDP; `b` always lets it.
    CandidateAddResult Add(const TPeerId& candidate, bool a, bool b, const CandidateAddContext& context);
    // Takes over the caller's reference and keeps the order; false (and the
    // reference released) when the list is full of better candidates.
    bool Insert(TPeerId* adopted, bool atFront);

    TPeerId* Find(const IpAddress& ip, int32_t port, int32_t kind) const;
    TPeerId* FindByIdentity(const PeerIdentity& identity) const;
    // The listed candidate with the same address text and IP, if any.
    TPeerId* FindSameAddress(const TPeerId& candidate) const;
    bool Contains(const TPeerId* candidate) const;

    // Releases the list's reference.
    void Remove(TPeerId* candidate);
    void MoveToEnd(TPeerId* candidate);
    void Sort();
    void Clear();

private:
    static bool IsRefused(const TPeerId& candidate, const CandidateAddContext& context);
    // An equal listed candidate, after passing a learnt identity on to it.
    TPeerId* TakeDuplicate(const TPeerId& candidate, bool a, bool b) const;
    size_t RandomPlaceAmongEquals(int32_t priority, uint32_t tick) const;
    bool MakeRoomFor(const TPeerId& candidate);
    // Keeps the order without sorting the whole list for every addition.
    void InsertInOrder(TPeerId* candidate, size_t preferred);

    std::vector<TPeerId*> items_;
};

}  // namespace veldmoor
