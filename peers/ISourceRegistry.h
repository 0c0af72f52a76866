#pragma once
// The job's book of sources as a connection sees it: candidates it names,
// sources that failed, and what sources tell of the file (size, version).
#include <cstdint>
#include <string>

namespace veldmoor {

class TPeerId;

class ISourceRegistry {
public:
    // Retry later (the backoff grows by max(1, delay) seconds) or never.
    virtual void SourceFailed(TPeerId* candidate, bool retry, int32_t delay) = 0;
    // The source can never serve this download (what it answers is wrong
    // whatever is asked): it is given up for the rest of the run, telling the
    // user `reason`. The connection that found it ends its own step.
    virtual void SourceUnusable(TPeerId* candidate, const std::string& /*reason*/) {
        SourceFailed(candidate, false, 60);
    }
    // Adds a copy of the candidate unless it is refused or known already.
    virtual bool AddCandidate(TPeerId* candidate, bool a, bool b) = 0;
    // A redirect led to a host that cannot be resolved (or, with false, to one that can).
    virtual void NoteRedirectResolution(bool unresolvable) = 0;
    // A source reported the file's size: a task known only by its sources
    // builds its piece map from it.
    virtual void OnSourceFileSize(int64_t size) = 0;
    // A source reported the size, but the map waits for more sources to
    // agree on it before it is made.
    virtual bool SettlingFileSize() const { return false; }
    // A server source answered with this version of the file (its ETag, else
    // its Last-Modified). False when the file changed at that source since
    // data was taken from it: the answer must not be used.
    virtual bool AcceptSourceVersion(const std::string& /*url*/, const std::string& /*version*/) { return true; }
    // The version last recorded for the source at `url`; "" when none is.
    virtual std::string SourceVersion(const std::string& /*url*/) const { return {}; }
    // The source answered a request made on the condition that its file was
    // unchanged with the whole file: it changed, whatever version it names.
    virtual void SourceFileChanged(const std::string& /*url*/) {}

protected:
    ~ISourceRegistry() = default;
};

}  // namespace veldmoor
