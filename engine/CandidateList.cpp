#include "engine/CandidateList.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <tuple>

#include "foundation/AsciiText.h"
#include "peers/SourceAddress.h"

namespace veldmoor {
namespace {

const std::string& HostOf(const TPeerId& candidate) {
    static const std::string kNone;
    return candidate.HasDetails() ? candidate.details->host : kNone;
}

}  // namespace

bool CandidateBefore(const TPeerId& a, const TPeerId& b) {
    return std::make_tuple(-a.priority, -a.successes, a.failures, a.attempts, a.backoff) <
           std::make_tuple(-b.priority, -b.successes, b.failures, b.attempts, b.backoff);
}

int32_t SourceKindOf(const std::string& address) {
    if (StartsWithNoCase(address, "http://")) return kPeerHttp;
    if (StartsWithNoCase(address, "ftp://")) return kPeerFtp;
    if (StartsWithNoCase(address, "tracker://")) return kPeerTracker;
    if (StartsWithNoCase(address, "btnode://")) return kPeerBitTorrent;
    return 0;
}

TPeerId* CopyCandidate(const TPeerId& candidate) {
    auto* copy = new TPeerId(candidate.url, candidate.kind);
    if (candidate.HasDetails()) {
        copy->Details() = *candidate.details;
        // Only the address the candidate's connection races against comes along.
        const std::optional<IpAddress> partner = RacePartner(candidate);
        copy->details->addresses.clear();
        if (partner) copy->details->addresses.push_back(*partner);
        copy->details->memoryBuffer.clear();
    }
    copy->resolved = candidate.resolved;
    copy->fatal = candidate.fatal;
    copy->port = candidate.port;
    copy->backoff = candidate.backoff;
    copy->priority = candidate.priority;
    copy->torrentLineMark = candidate.torrentLineMark;
    copy->failures = candidate.failures;
    copy->successes = candidate.successes;
    copy->fruitlessEnds = candidate.fruitlessEnds;
    copy->retryNotBefore = candidate.retryNotBefore;
    copy->hashFailures = candidate.hashFailures;
    copy->attempts = candidate.attempts;
    copy->parallelLimit = candidate.parallelLimit;
    copy->identity = candidate.identity;
    copy->ip = candidate.ip;
    copy->lastAttempt = candidate.lastAttempt;
    return copy;
}

bool HasIdentity(const PeerIdentity& identity) {
    return std::any_of(identity.begin(), identity.end(), [](uint8_t byte) { return byte != 0; });
}

bool CandidateList::IsRefused(const TPeerId& candidate, const CandidateAddContext& context) {
    if (candidate.kind == kPeerBitTorrent) {
        if (candidate.ip == IpAddress(Ipv4Address::FromOctets(127, 0, 0, 1))) return true;
        if (context.torrentTask && HasIdentity(context.ownPeerId) && candidate.identity == context.ownPeerId)
            return true;
    }
    return candidate.resolved && IsValidAddress(context.ownIp) && candidate.ip == context.ownIp &&
           candidate.port == context.ownPort;
}

TPeerId* CandidateList::TakeDuplicate(const TPeerId& candidate, bool a, bool b) const {
    for (TPeerId* listed : items_) {
        // An empty address text says nothing about sameness.
        const bool sameText = !candidate.url.empty() && EqualsNoCase(listed->url, candidate.url) &&
                              (!(listed->resolved && candidate.resolved) || listed->ip == candidate.ip);
        if (sameText) return listed;

        const bool sameAddress = IsValidAddress(candidate.ip) && listed->ip == candidate.ip &&
                                 listed->port == candidate.port && listed->kind == candidate.kind;
        if (!sameAddress) continue;
        // Several named hosts may share one server address; they stay apart.
        if (IsServerKind(candidate.kind) && listed->resolved && candidate.resolved &&
            !EqualsNoCase(HostOf(*listed), HostOf(candidate)))
            continue;
        if (candidate.kind == kPeerBitTorrent && HasIdentity(candidate.identity) &&
            (b || (a && !listed->IsUdpTransport())))
            listed->identity = candidate.identity;
        return listed;
    }
    return nullptr;
}

size_t CandidateList::RandomPlaceAmongEquals(int32_t priority, uint32_t tick) const {
    const auto first = std::find_if(items_.begin(), items_.end(), [&](const TPeerId* c) { return c->priority == priority; });
    if (first == items_.end()) return 0;
    const auto last = std::find_if(first, items_.end(), [&](const TPeerId* c) { return c->priority != priority; });
    const auto span = static_cast<uint32_t>(last - first);
    return static_cast<size_t>(first - items_.begin()) + tick % (span + 1);
}

bool CandidateList::MakeRoomFor(const TPeerId& candidate) {
    if (items_.size() < kCapacity) return true;
    TPeerId* last = items_.back();
    if (last->openConnections > 0 || !CandidateBefore(candidate, *last)) return false;
    Remove(last);
    return true;
}

CandidateAddResult CandidateList::Add(const TPeerId& candidate, bool a, bool b, const CandidateAddContext& context) {
    if (IsRefused(candidate, context)) return CandidateAddResult::kRefused;
    if (TakeDuplicate(candidate, a, b)) return CandidateAddResult::kDuplicate;

    TPeerId* copy = CopyCandidate(candidate);
    copy->openConnections = 0;
    if (copy->kind == kPeerBitTorrent) copy->priority = std::max(copy->priority, kBitTorrentPriority);
    if (copy->IsUdpTransport()) StampOwnPeerIdPrefix(copy->identity);
    if (!MakeRoomFor(*copy)) {
        copy->Release();
        return CandidateAddResult::kFull;
    }
    const bool randomPlace = a || IsServerKind(copy->kind);
    const size_t place = randomPlace ? RandomPlaceAmongEquals(copy->priority, context.tick) : 0;
    InsertInOrder(copy, place);
    return CandidateAddResult::kAdded;
}

bool CandidateList::Insert(TPeerId* adopted, bool atFront) {
    if (!adopted) return false;
    if (Contains(adopted) || !MakeRoomFor(*adopted)) {
        adopted->Release();
        return false;
    }
    InsertInOrder(adopted, atFront ? 0 : items_.size());
    return true;
}

TPeerId* CandidateList::Find(const IpAddress& ip, int32_t port, int32_t kind) const {
    const auto found = std::find_if(items_.begin(), items_.end(), [&](const TPeerId* c) {
        return c->ip == ip && c->port == port && c->kind == kind;
    });
    return found == items_.end() ? nullptr : *found;
}

TPeerId* CandidateList::FindByIdentity(const PeerIdentity& identity) const {
    if (!HasIdentity(identity)) return nullptr;
    const auto found =
        std::find_if(items_.begin(), items_.end(), [&](const TPeerId* c) { return c->identity == identity; });
    return found == items_.end() ? nullptr : *found;
}

TPeerId* CandidateList::FindSameAddress(const TPeerId& candidate) const {
    const auto found = std::find_if(items_.begin(), items_.end(), [&](const TPeerId* c) {
        return EqualsNoCase(c->url, candidate.url) && c->ip == candidate.ip && c->port == candidate.port;
    });
    return found == items_.end() ? nullptr : *found;
}

bool CandidateList::Contains(const TPeerId* candidate) const {
    return std::find(items_.begin(), items_.end(), candidate) != items_.end();
}

void CandidateList::Remove(TPeerId* candidate) {
    const auto found = std::find(items_.begin(), items_.end(), candidate);
    if (found == items_.end()) return;
    items_.erase(found);
    candidate->Release();
}

void CandidateList::MoveToEnd(TPeerId* candidate) {
    const auto found = std::find(items_.begin(), items_.end(), candidate);
    if (found == items_.end()) return;
    std::rotate(found, found + 1, items_.end());
    Sort();
}

void CandidateList::InsertInOrder(TPeerId* candidate, size_t preferred) {
    // Where a sort after inserting at `preferred` would leave it: among the
    // candidates that rank equal, as close to `preferred` as they allow.
    const auto before = [](const TPeerId* a, const TPeerId* b) { return CandidateBefore(*a, *b); };
    if (!std::is_sorted(items_.begin(), items_.end(), before)) Sort();
    const auto first = std::lower_bound(items_.begin(), items_.end(), candidate, before);
    const auto last = std::upper_bound(first, items_.end(), candidate, before);
    const auto low = static_cast<size_t>(first - items_.begin());
    const auto high = static_cast<size_t>(last - items_.begin());
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(std::clamp(preferred, low, high)), candidate);
}

void CandidateList::Sort() {
    std::stable_sort(items_.begin(), items_.end(), [](const TPeerId* a, const TPeerId* b) { return CandidateBefore(*a, *b); });
}

void CandidateList::Clear() {
    // Released one by one from a moved-out list, so a candidate's last
    // release never sees a half-emptied list.
    std::vector<TPeerId*> items;
    items.swap(items_);
    for (TPeerId* candidate : items) candidate->Release();
}

}  // namespace veldmoor
