#pragma once
// A small HTTP server on loopback whose answers a test picks, for the server
// behaviours nginx does not show: ranges answered past their end, chunked
// bodies, a file that changes between requests, a size it cannot serve, a
// trickle, a body encoded without being asked, a redirect out of HTTP.
#include <string>

#include "tests/support/ChildProcess.h"

namespace veldmoor::test {

enum class ScriptedHttpMode {
    kIgnoresRangeEnd,    // 206 from the asked start to the end of the file
    kChunkedUnknownSize,  // 200 with a chunked body and no size, ranges ignored
    kChunkedRanges,      // 206 as asked, the body chunked
    kChangesOnIfRange,   // serves `file`, then `changedFile` once a request carries If-Range
    kClosesAfterAnswer,  // answers as asked and says nothing of the close that follows
    kClaimsLargerSize,   // 206 as asked, but Content-Range names the size + 1000
    kClaimsLargerSizeChunked,  // the same, the body chunked
    kTrickles,           // 200 (206 from a later start) to the file's end, then one byte every 250 ms
    kGzipEncoded,        // 200 with the whole file gzipped and Content-Encoding: gzip
    kRedirectsToFile,    // 302 to a file:// address
};

class ScriptedHttpServer {
public:
    ~ScriptedHttpServer() { Stop(); }

    // Serves the file at every path; `changedFile` only in kChangesOnIfRange,
    // where the first file's answers carry an ETag and `versioned` says whether
    // the changed file's do. The port, or 0.
    int Start(ScriptedHttpMode mode, const std::string& file, const std::string& workFolder,
              const std::string& changedFile = "", bool versioned = true);
    void Stop() { process_.Stop(); }
    std::string Url(const std::string& path) const;
    // One line per request: "RANGE|IF-RANGE|STATUS|BYTES-SENT" ("-" for a missing header).
    std::string Log() const;

private:
    ChildProcess process_;
    int port_ = 0;
    std::string workFolder_;
};

}  // namespace veldmoor::test
