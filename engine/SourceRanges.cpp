#include "engine/SourceRanges.h"

#include <algorithm>
#include <limits>

#include "peers/BlockRequest.h"
#include "torrent/TPieces.h"
#include "peers/TPeerObject.h"

namespace veldmoor {
namespace {

constexpr int64_t kStaleRangeSeconds = 10;
constexpr int64_t kRelaxedAgeSeconds = 3;
constexpr int32_t kPiecesLeftForQuickFinishRule = 4;
constexpr int64_t kServerHeadroomSeconds = 2;

bool IsServerCandidate(const TPeerId& candidate) {
    return IsServerKind(candidate.kind) && !(candidate.details && candidate.details->torrentFetch);
}

bool OwnerReceives(const TPeerObject& owner) { return owner.Activity() == kActivityReceiving; }

// The last piece a range's owner has asked its server for, else its cursor.
// Taking a piece below it cuts the answer short: the connection and what the
// server already sent are lost.
int32_t LastAskedPiece(const SourceRange& range, int32_t pieceLength) {
    const int64_t askedEnd = range.owner ? range.owner->AskedEnd() : 0;
    if (askedEnd <= 0 || pieceLength <= 0) return range.cursor;
    return std::max(range.cursor, static_cast<int32_t>((askedEnd - 1) / pieceLength));
}

// The last piece a range's owner keeps for itself: what it has asked for and
// what it streams in the next two seconds.
int32_t LastPieceKeptBy(const SourceRange& range, int32_t pieceLength) {
    if (!range.owner || pieceLength <= 0) return range.cursor - 1;
    const int32_t streamed = range.cursor + static_cast<int32_t>(int64_t{range.owner->PipelineRate()} *
                                                                kServerHeadroomSeconds / pieceLength);
    return std::max(streamed, LastAskedPiece(range, pieceLength));
}

}  // namespace

int32_t LastPieceToAsk(const SourceRange& range, const std::function<bool(int32_t piece)>& needed) {
    int32_t last = range.cursor;
    while (last < range.last && needed(last + 1)) ++last;
    return last;
}

void SourceRangeList::SplitRanges(const std::vector<TPeerId*>& candidates, const RangeView& view) {
    const int32_t pieces = view.pieceCount;
    std::vector<TPeerId*> sources;
    for (TPeerId* candidate : candidates)
        if (candidate && IsServerCandidate(*candidate)) sources.push_back(candidate);
    if (pieces <= 0 || sources.empty()) return;

    const auto count = static_cast<int32_t>(sources.size());
    const int32_t share = pieces / count;
    for (int32_t k = 0; k < count && k < pieces; ++k) {
        int32_t first = 0;
        int32_t last = 0;
        if (count >= pieces) {
            first = last = k;
        } else {
            first = share * k;
            last = k == count - 1 ? pieces - 1 : share * (k + 1) - 1;
        }
        const int32_t span = last - first + 1;
        TPeerId& candidate = *sources[static_cast<size_t>(k)];
        candidate.parallelLimit = std::max(1, std::min(span, std::min((span + 4) / 5, candidate.parallelLimit)));
        const int32_t parts = candidate.parallelLimit;
        const int32_t partLength = span / parts;
        for (int32_t part = 0; part < parts; ++part) {
            auto range = std::make_unique<SourceRange>();
            range->first = first + part * partLength;
            range->last = part == parts - 1 ? last : range->first + partLength - 1;
            range->cursor = range->first;
            range->candidate = &candidate;
            ranges_.push_back(std::move(range));
        }
    }
    StartAt(view.startPiece);
}

void SourceRangeList::StartAt(int32_t piece) {
    for (size_t i = 0; i < ranges_.size(); ++i) {
        SourceRange& range = *ranges_[i];
        if (piece <= range.first || piece > range.last) continue;
        auto below = std::make_unique<SourceRange>(range);
        below->last = piece - 1;
        below->later = true;
        range.first = range.cursor = piece;
        ranges_.push_back(std::move(below));
        return;
    }
}

SourceRange* SourceRangeList::Take(SourceRange& range, TPeerObject& connection, const RangeView& view) {
    Release(connection);
    range.owner = &connection;
    range.assignedAt = view.now;
    connections_[&connection].hadRange = true;
    return &range;
}

SourceRange* SourceRangeList::AssignRange(TPeerObject& connection, const RangeView& view) {
    ConnectionState& state = connections_[&connection];
    // 1. The range that continues where this connection left off.
    for (auto& range : ranges_) {
        if (!range->owner && !range->finished && !range->reset && !range->madeByBitTorrent &&
            state.lastFetched >= 0 && range->cursor == state.lastFetched + 1)
            return Take(*range, connection, view);
    }
    // 2. Any free range, from a random start; ranges kept for later last.
    if (!ranges_.empty()) {
        const size_t start = view.tick % ranges_.size();
        for (const bool later : {false, true}) {
            for (size_t i = 0; i < ranges_.size(); ++i) {
                SourceRange& range = *ranges_[(start + i) % ranges_.size()];
                if (!range.owner && !range.finished && !range.madeByBitTorrent && range.later == later)
                    return Take(range, connection, view);
            }
        }
    }
    // 3. A reset range, or one whose owner has not fetched a piece in 10 seconds.
    for (auto& range : ranges_) {
        if (range->madeByBitTorrent) continue;
        if (!range->owner && range->reset) return Take(*range, connection, view);
        if (range->owner && range->owner != &connection && !range->finished && range->cursor == range->first &&
            view.now - range->assignedAt > kStaleRangeSeconds) {
            connections_[range->owner].hadRange = true;
            range->owner = nullptr;  // the old owner notices at its next piece
            return Take(*range, connection, view);
        }
    }
    // 4. Part of a slower connection's range.
    if (connection.ReceiveRate() == 0 && state.hadRange) return nullptr;
    return TakeWorkFromOthers(connection, view);
}

SourceRange* SourceRangeList::ChooseRangeToSplit(TPeerObject& connection, const RangeView& view, bool relaxed) const {
    const int32_t myRate = connection.ReceiveRate();
    SourceRange* chosen = nullptr;
    double longest = -1;
    for (const auto& range : ranges_) {
        TPeerObject* owner = range->owner;
        if (!owner || owner == &connection || range->finished || range->madeByBitTorrent) continue;
        const int64_t age = view.now - range->assignedAt;
        const int32_t after = range->last - range->cursor;
        if (after > 0 && range->last <= LastAskedPiece(*range, view.pieceLength)) continue;
        if (relaxed) {
            if (!(age > kRelaxedAgeSeconds || after > 1)) continue;
        } else if (!(age > kStaleRangeSeconds || OwnerReceives(*owner))) {
            continue;
        }
        const int32_t ownerRate = owner->ReceiveRate();
        const bool ownerSlow = ownerRate == 0 || int64_t{ownerRate} * 2 <= myRate;
        if (after <= 0 && !ownerSlow) continue;
        const double seconds = ownerRate == 0 ? std::numeric_limits<double>::infinity()
                                              : double(after + 1) * view.pieceLength / ownerRate;
        if (seconds < kStaleRangeSeconds && view.piecesRemaining >= kPiecesLeftForQuickFinishRule) continue;
        if (seconds > longest) {
            longest = seconds;
            chosen = range.get();
        }
    }
    return chosen;
}

SourceRange* SourceRangeList::TakeWorkFromOthers(TPeerObject& connection, const RangeView& view) {
    ConnectionState& state = connections_[&connection];
    SourceRange* from = ChooseRangeToSplit(connection, view, false);
    if (!from && !state.hadRange) from = ChooseRangeToSplit(connection, view, true);
    if (!from) return nullptr;

    while (from->last > from->cursor && view.isWanted && !view.isWanted(from->last)) --from->last;
    const int32_t myRate = connection.ReceiveRate();
    const int32_t ownerRate = from->owner->ReceiveRate();
    const bool ownerSlow = int64_t{ownerRate} * 2 < myRate;
    const int32_t remaining = from->last - from->cursor;

    if (remaining <= 0) {
        if (int64_t{myRate} < int64_t{ownerRate} * 3 && ownerRate != 0) return nullptr;
        // Only the owner's current piece is left and it is far slower: the
        // faster connection takes the piece over.
        from->finished = true;
        connections_[from->owner].hadRange = true;
        from->owner = nullptr;
        auto range = std::make_unique<SourceRange>(*from);
        range->finished = false;
        range->candidate = from->candidate;
        ranges_.push_back(std::move(range));
        return Take(*ranges_.back(), connection, view);
    }

    // The owner keeps what it has asked for.
    const int32_t splittable = from->last - LastAskedPiece(*from, view.pieceLength);
    if (splittable <= 0) return nullptr;
    int64_t share = state.hadRange ? (ownerRate + myRate > 0 ? int64_t{100} * myRate / (ownerRate + myRate) : 50) : 50;
    if (ownerSlow) ++share;
    int32_t taken = std::max<int32_t>(1, static_cast<int32_t>(splittable * share / 100));
    if (ownerSlow && taken < splittable) ++taken;
    taken = std::min(taken, splittable);

    auto range = std::make_unique<SourceRange>();
    range->first = from->last - taken + 1;
    range->last = from->last;
    range->cursor = range->first;
    range->candidate = connection.Candidate();
    from->last = std::max(from->cursor, range->first - 1);
    ranges_.push_back(std::move(range));
    return Take(*ranges_.back(), connection, view);
}

bool SourceRangeList::Requests(const TPeerObject& connection, int32_t piece, int32_t pieceLength) {
    if (pieceLength <= 0) return false;
    return std::any_of(connection.PendingRequests().begin(), connection.PendingRequests().end(),
                       [&](const BlockRequest& request) {
                           return int64_t{request.block} * kBlockSize / pieceLength == piece;
                       });
}

int32_t SourceRangeList::FirstWantedPiece(SourceRange& range, TPeerObject& connection, const RangeView& view) const {
    const auto wanted = [&](int32_t piece) {
        return view.isWanted && view.isWanted(piece) && !Requests(connection, piece, view.pieceLength) &&
               (!view.sourceMayFetch || view.sourceMayFetch(piece));
    };
    if (range.reset) {
        range.cursor = range.first;
        range.reset = false;
        range.finished = false;
    } else if (range.cursor > range.first && connection.AskedEnd() <= 0 && wanted(range.cursor - 1) &&
               !(view.peersOffer && view.peersOffer(range.cursor - 1))) {
        // A piece given back just behind the cursor; not while an answer
        // streams on (going back would cut it short), nor for a piece the
        // cursor passed because peers offer it.
        --range.cursor;
    }
    // What the connection has asked its server for comes in the order the
    // answer streams it: jumping past it would cut the answer short, and the
    // server would be asked for its rest again.
    const int32_t askedLast =
        connection.AskedEnd() > 0 ? std::min(range.last, LastAskedPiece(range, view.pieceLength)) : range.cursor - 1;
    for (int32_t piece = range.cursor; piece <= askedLast; ++piece) {
        if (wanted(piece)) {
            range.cursor = piece;
            return piece;
        }
    }
    if (view.peersOffer) {
        for (int32_t piece = range.cursor; piece <= range.last; ++piece) {
            if (wanted(piece) && !view.peersOffer(piece)) {
                range.cursor = piece;
                return piece;
            }
        }
    }
    for (int32_t piece = range.cursor; piece <= range.last; ++piece) {
        if (wanted(piece)) {
            range.cursor = piece;
            return piece;
        }
    }
    return -1;
}

int32_t SourceRangeList::PieceOfOpenAnswer(TPeerObject& connection, const RangeView& view) {
    const int64_t askedEnd = connection.AskedEnd();
    const auto state = connections_.find(&connection);
    if (askedEnd <= 0 || view.pieceLength <= 0 || state == connections_.end() || state->second.lastFetched < 0)
        return -1;
    const auto askedLast = static_cast<int32_t>(std::min<int64_t>((askedEnd - 1) / view.pieceLength, view.pieceCount - 1));
    const auto ownedByAnother = [&](int32_t piece) {
        return std::any_of(ranges_.begin(), ranges_.end(), [&](const auto& range) {
            return range->owner && range->owner != &connection && piece >= range->first && piece <= range->last;
        });
    };
    for (int32_t piece = state->second.lastFetched + 1; piece <= askedLast; ++piece) {
        if (!view.isWanted || !view.isWanted(piece) || Requests(connection, piece, view.pieceLength)) continue;
        if ((view.sourceMayFetch && !view.sourceMayFetch(piece)) || ownedByAnother(piece)) continue;
        if (SourceRange* range = RangeOf(connection); range && piece >= range->first && piece <= range->last)
            range->cursor = piece;
        return piece;
    }
    return -1;
}

int32_t SourceRangeList::NextSourcePiece(TPeerObject& connection, const RangeView& view, int tries) {
    // The answer on its way brings its pieces in order, whatever the ranges
    // say meanwhile: asking elsewhere would cut it short.
    if (const int32_t piece = PieceOfOpenAnswer(connection, view); piece >= 0) {
        connections_[&connection].lastFetched = piece;
        return piece;
    }
    for (int attempt = 0; attempt < tries; ++attempt) {
        SourceRange* range = RangeOf(connection);
        if (!range) range = AssignRange(connection, view);
        if (!range) {
            if (view.downloadComplete) return -1;
            // Another server connection fetching the piece would only have
            // one of the two answers thrown away.
            const auto fetchedByAnother = [&](int32_t piece) {
                return std::any_of(connections_.begin(), connections_.end(), [&](const auto& entry) {
                    return entry.first != &connection && entry.second.lastFetched == piece;
                });
            };
            for (int32_t piece = 0; piece < view.pieceCount; ++piece) {
                if (view.isWanted && view.isWanted(piece) && !Requests(connection, piece, view.pieceLength) &&
                    (!view.sourceMayFetch || view.sourceMayFetch(piece)) && !fetchedByAnother(piece)) {
                    connections_[&connection].lastFetched = piece;
                    return piece;
                }
            }
            return -1;
        }
        const int32_t piece = FirstWantedPiece(*range, connection, view);
        if (piece >= 0) {
            connections_[&connection].lastFetched = piece;
            return piece;
        }
        Remove(range);
    }
    return -1;
}

SourceRange* SourceRangeList::TakeRangeAt(TPeerObject& connection, int32_t piece, const RangeView& view) {
    Release(connection);
    for (auto& range : ranges_) {
        if (range->finished || range->madeByBitTorrent || piece < range->first || piece > range->last) continue;
        auto made = std::make_unique<SourceRange>();
        made->first = piece;
        made->last = range->last;
        made->cursor = piece;
        made->candidate = connection.Candidate();
        range->last = std::max(range->first, piece - 1);
        ranges_.push_back(std::move(made));
        return Take(*ranges_.back(), connection, view);
    }
    return nullptr;
}

bool SourceRangeList::CutFarEndRun(const std::function<bool(int32_t)>& qualifies, int32_t minimumPieces,
                                   int32_t maximumPieces, size_t start, const RangeView& view, int32_t& first,
                                   int32_t& last) {
    if (ranges_.empty() || !qualifies) return false;
    minimumPieces = std::max(minimumPieces, 1);
    maximumPieces = std::max(maximumPieces, minimumPieces);
    for (size_t i = 0; i < ranges_.size(); ++i) {
        SourceRange& range = *ranges_[(start + i) % ranges_.size()];
        if (range.finished || range.madeByBitTorrent) continue;
        // The owner is fetching its cursor piece and streams on from there: it
        // keeps what it fetches in the next two seconds and what it has asked for.
        int32_t bottom = range.cursor;
        if (range.owner && view.pieceLength > 0) {
            bottom += 1 + static_cast<int32_t>(int64_t{range.owner->PipelineRate()} * kServerHeadroomSeconds /
                                               view.pieceLength);
            bottom = std::max(bottom, LastAskedPiece(range, view.pieceLength) + 1);
        }
        int32_t runTop = -1;
        for (int32_t piece = range.last; piece >= bottom; --piece) {
            if (!qualifies(piece)) {
                runTop = -1;
                continue;
            }
            if (runTop < 0) runTop = piece;
            const int32_t length = runTop - piece + 1;
            // A longer run would eat into what the range's server streams next.
            if (length < maximumPieces && piece > bottom && qualifies(piece - 1)) continue;
            if (length < minimumPieces) {
                runTop = -1;
                continue;
            }
            first = piece;
            last = runTop;
            bool wantedAbove = false;
            for (int32_t above = last + 1; above <= range.last && !wantedAbove; ++above)
                wantedAbove = view.isWanted && view.isWanted(above);
            if (!wantedAbove) range.last = std::max(range.cursor, first - 1);
            range.assignedAt = view.now;
            return true;
        }
    }
    return false;
}

bool SourceRangeList::ServerFetchesSoon(int32_t piece, const RangeView& view) const {
    return std::any_of(ranges_.begin(), ranges_.end(), [&](const auto& range) {
        return range->owner && !range->finished && !range->madeByBitTorrent && piece >= range->cursor &&
               piece <= std::min(range->last, LastPieceKeptBy(*range, view.pieceLength));
    });
}

int32_t SourceRangeList::LastKeptPiece(const SourceRange& range, const RangeView& view) {
    return LastPieceKeptBy(range, view.pieceLength);
}

SourceRange* SourceRangeList::RangeOf(const TPeerObject& connection) const {
    for (const auto& range : ranges_)
        if (range->owner == &connection) return range.get();
    return nullptr;
}

void SourceRangeList::Release(TPeerObject& connection) {
    for (auto& range : ranges_)
        if (range->owner == &connection) range->owner = nullptr;
}

void SourceRangeList::Forget(TPeerObject& connection) {
    Release(connection);
    connections_.erase(&connection);
}

void SourceRangeList::Remove(SourceRange* range) {
    ranges_.erase(std::remove_if(ranges_.begin(), ranges_.end(),
                                 [range](const std::unique_ptr<SourceRange>& r) { return r.get() == range; }),
                  ranges_.end());
}

void SourceRangeList::Clear() {
    ranges_.clear();
    connections_.clear();
}

}  // namespace veldmoor
