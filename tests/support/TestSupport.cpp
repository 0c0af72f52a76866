#include "tests/support/TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace veldmoor::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "veldmoor-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace veldmoor::test
