#pragma once
// Sends one batch body to one URL and hands back the answer's text.
#include <memory>
#include <optional>
#include <string>

namespace veldmoor::reporting {

struct PostResult {
    enum class Outcome {
        kAnswered,    // the server answered; `answer` holds its body
        kNotReached,  // nothing reached a server (no handle, name, connection)
        kLost,        // the request went out but no answer came back
    };
    Outcome outcome = Outcome::kNotReached;
    std::string answer;
};

class IBatchPoster {
public:
    virtual ~IBatchPoster() = default;
    virtual PostResult Post(const std::string& url, const std::string& body) = 0;
};

struct PostTimeouts {
    long connectMs = 3000;
    long totalMs = 3000;
};

// libcurl's easy interface; curl is set up once per process.
std::unique_ptr<IBatchPoster> MakeCurlBatchPoster(PostTimeouts timeouts = {});

}  // namespace veldmoor::reporting
