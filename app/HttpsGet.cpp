#include "app/HttpsGet.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace veldmoor {
namespace {

struct Transfer {
    std::string* body;
    size_t maxBodyBytes;
    const std::atomic<bool>* cancel;
};

size_t AppendBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    if (transfer->body->size() + bytes > transfer->maxBodyBytes) return 0;  // ends the transfer
    transfer->body->append(data, bytes);
    return bytes;
}

int CheckCancel(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* transfer = static_cast<Transfer*>(user);
    return (transfer->cancel && transfer->cancel->load()) ? 1 : 0;
}

bool InitialiseCurlOnce() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK; });
    return ok;
}

}  // namespace

HttpGetResult HttpGet(const std::string& url, const HttpGetOptions& options) {
    HttpGetResult result;
    if (!InitialiseCurlOnce()) {
        result.error = "curl could not be initialised";
        return result;
    }
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), &curl_easy_cleanup);
    if (!curl) {
        result.error = "Failed to create CURL connection";
        return result;
    }
    char errorBuffer[CURL_ERROR_SIZE] = {};
    Transfer transfer{&result.body, options.maxBodyBytes, options.cancel};
    CURL* handle = curl.get();
    bool set = curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_URL, url.c_str()) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &AppendBody) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &CheckCancel) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, options.connectTimeoutSeconds) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, options.lowSpeedSeconds) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK;
    set = set && curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
    if (set && !options.caFile.empty()) set = curl_easy_setopt(handle, CURLOPT_CAINFO, options.caFile.c_str()) == CURLE_OK;
    if (!set) {
        result.error = std::string("Connection initializion failed: ") + errorBuffer;
        return result;
    }
    const CURLcode performed = curl_easy_perform(handle);
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &result.status);
    if (performed != CURLE_OK || (result.status >= 400 && result.status <= 599)) {
        const std::string reason = errorBuffer[0] ? errorBuffer : curl_easy_strerror(performed);
        result.error = "Failed to get " + url + " [" + (performed == CURLE_OK ? "HTTP " + std::to_string(result.status) : reason) + "]";
        result.body.clear();
        return result;
    }
    result.ok = true;
    return result;
}

}  // namespace veldmoor
