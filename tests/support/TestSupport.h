#pragma once
#include <chrono>
#include <functional>
#include <string>

namespace veldmoor::test {

// A private folder for one test, removed with everything in it afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Polls `condition` every few milliseconds of real time until it holds or
// `limit` passes. Used to let other threads catch up, never to wait out a rule.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(10));

// The UDP port veldmoor-natd says in its log it listens on, once it does
// (within 5 s); 0 when it never says so.
int UdpPortFromNatdLog(const std::string& logPath);

// Tests that need root (a tmpfs mount, port 80) say so with
// VELDMOOR_REQUIRE_ROOT (tests/support/Infrastructure.h).
bool RunningAsRoot();

// The MD5 of a file as lowercase hex, read in large chunks; "missing PATH"
// when it cannot be opened.
std::string Md5OfFile(const std::string& path);

// A file's whole content; "" when it cannot be read.
std::string ReadFileBytes(const std::string& path);
// The 20-byte SHA-1 of `bytes`, as a piece hash is stored in a torrent.
std::string Sha1Digest(const std::string& bytes);
// `text` as a bencoded string ("4:spam").
std::string BencodedText(const std::string& text);

}  // namespace veldmoor::test
