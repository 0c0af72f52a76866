#pragma once
// Sends one batch body to one URL and hands back the answer's text.
#include <memory>
#include <optional>
#include <string>

namespace veldmoor::reporting {

class IBatchPoster {
public:
    virtual ~IBatchPoster() = default;
    // The response body, or nothing when the request failed (no connection,
    // time-out, no handle).
    virtual std::optional<std::string> Post(const std::string& url, const std::string& body) = 0;
};

struct PostTimeouts {
    long connectMs = 3000;
    long totalMs = 3000;
};

// libcurl's easy interface; curl is set up once per process.
std::unique_ptr<IBatchPoster> MakeCurlBatchPoster(PostTimeouts timeouts = {});

}  // namespace veldmoor::reporting
