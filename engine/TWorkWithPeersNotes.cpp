// Why a source failed, told once per source and reason.
#include <string>

#include "engine/TWorkWithPeers.h"
#include "foundation/CVeldmoorLog.h"
#include "foundation/WorkerThread.h"
#include "peers/HttpResponse.h"
#include "peers/THttpPeer.h"
#include "peers/TPeerObject.h"

namespace veldmoor {
namespace {

constexpr int32_t kRangeNotSatisfiable = 416;

std::string HttpAnswerReason(const THttpPeer& peer, const TPeerId& candidate, int64_t taskSize) {
    const QHttpHeader& header = peer.Header();
    const int32_t code = header.GetStatusCode();
    const std::string answered = "the server answered " + std::to_string(code) +
                                 (header.GetReason().empty() ? "" : " " + header.GetReason());
    // A source of another size is told as such, also when it refused a range
    // beyond its end (416 names its size in Content-Range).
    int64_t size = candidate.HasDetails() ? candidate.details->fileSize : 0;
    if (size <= 0 && code == kRangeNotSatisfiable) size = FileSizeFromHeader(header).size;
    if (size > 0 && taskSize > 0 && size != taskSize)
        return "it serves " + std::to_string(size) + " bytes, the file has " + std::to_string(taskSize);
    if (code >= 300 && code < 400) return "too many redirects";
    if (code < 200 || code >= 300) return answered;
    const auto type = header.GetValue("Content-Type");
    if (type && type->find("html") != std::string_view::npos) return "it sent an HTML page instead of the file";
    return "its answer did not fit the request";
}

}  // namespace

void TWorkWithPeers::NoteSourceProblem(const std::string& url, const std::string& reason,
                                       const std::string& consequence) {
    if (!sourceNotes_.Add(url, reason, consequence)) return;
    const std::string text = consequence.empty() ? reason : reason + "; " + consequence;
    VeldmoorLog().Write(url.empty() ? text : url + ": " + text, 1, 2);
}

std::string TWorkWithPeers::TakeSourceNotes(size_t maxBytes) {
    ScopedLock guard(thread_.Lock());
    return sourceNotes_.Take(maxBytes);
}

std::string TWorkWithPeers::FailureReasonOf(const TPeerId& candidate) {
    for (const TPeerObject* peer : peers_) {
        if (peer->Candidate() != &candidate) continue;
        if (!peer->FailureReason().empty()) return peer->FailureReason();
        if (peer->Kind() == kPeerFtp) return "the FTP server refused the transfer";
        if (peer->Kind() != kPeerHttp) continue;
        const auto& http = static_cast<const THttpPeer&>(*peer);
        if (http.HeaderComplete()) return HttpAnswerReason(http, candidate, events_.TotalSize());
        if (peer->Activity() == kActivityTimedOut) return "it did not answer in time";
    }
    return "the connection failed";
}

}  // namespace veldmoor
