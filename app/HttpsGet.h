#pragma once
// One HTTP(S) GET of a small document, with the certificate and host checked.
#include <atomic>
#include <string>

namespace veldmoor {

struct HttpGetResult {
    bool ok = false;
    long status = 0;
    std::string body;
    std::string error;  // what failed, for the log
};

struct HttpGetOptions {
    std::string caFile;                       // trust this CA file instead of the system store
    long connectTimeoutSeconds = 15;
    long lowSpeedSeconds = 30;                // give up below 1 byte/s for this long
    size_t maxBodyBytes = 16u * 1024 * 1024;  // a larger answer fails
    const std::atomic<bool>* cancel = nullptr;
};

// Redirects are followed (at most 5, HTTP and HTTPS only). Fails on a
// transport error and on status 400 to 599.
HttpGetResult HttpGet(const std::string& url, const HttpGetOptions& options);

}  // namespace veldmoor
