#include <curl/curl.h>
#include <mutex>

#include "reporting/BatchPoster.h"

namespace veldmoor::reporting {
namespace {

// Answers are short ("{\"error\":0}"); a server that talks on is cut off.
constexpr size_t kResponseLimit = 64 * 1024;

bool CurlReady() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ready;
}

size_t AppendResponse(char* data, size_t size, size_t count, void* target) {
    auto* response = static_cast<std::string*>(target);
    const size_t bytes = size * count;
    if (response->size() + bytes > kResponseLimit) return 0;
    response->append(data, bytes);
    return bytes;
}

class CurlBatchPoster final : public IBatchPoster {
public:
    explicit CurlBatchPoster(PostTimeouts timeouts) : timeouts_(timeouts) {}

    PostResult Post(const std::string& url, const std::string& body) override {
        if (!CurlReady()) return {};
        CURL* handle = curl_easy_init();
        if (!handle) return {};
        std::string response;
        curl_slist* headers = curl_slist_append(nullptr, "Expect:");
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, AppendResponse);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response);
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, timeouts_.connectMs);
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, timeouts_.totalMs);
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
        const CURLcode result = curl_easy_perform(handle);
        long requestBytes = 0;
        curl_easy_getinfo(handle, CURLINFO_REQUEST_SIZE, &requestBytes);
        curl_slist_free_all(headers);
        curl_easy_cleanup(handle);
        if (result == CURLE_OK) return {PostResult::Outcome::kAnswered, std::move(response)};
        // Whether any byte went out decides whether a server may hold the batch.
        return {requestBytes > 0 ? PostResult::Outcome::kLost : PostResult::Outcome::kNotReached, {}};
    }

private:
    PostTimeouts timeouts_;
};

}  // namespace

std::unique_ptr<IBatchPoster> MakeCurlBatchPoster(PostTimeouts timeouts) {
    return std::make_unique<CurlBatchPoster>(timeouts);
}

}  // namespace veldmoor::reporting
