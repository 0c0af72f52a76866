#pragma once
// Shared by the fuzz targets: a loud stop for a broken property and a piece-map
// owner that records nothing and never lets a map touch the disk on its own.
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "torrent/IPieceMapOwner.h"

namespace veldmoor::fuzz {

[[noreturn]] inline void Fail(const char* target, const char* what) {
    std::fprintf(stderr, "%s: %s\n", target, what);
    __builtin_trap();
}

// A stopping owner: a map built for it reads its saved status and journal,
// then gives up before it opens or creates any file. Unless told to go on,
// when it keeps the last saved status text.
class QuietOwner final : public DetachedPieceMapOwner {
public:
    explicit QuietOwner(std::string folder, bool stopping = true)
        : DetachedPieceMapOwner(std::move(folder)), stopping_(stopping) {}
    void OnPieceMapEvent(const PieceMapEvent& event) override {
        if (event.type == kPieceStatusEvent) statusText = event.text;
    }
    bool IsStopping() const override { return stopping_; }

    std::string statusText;

private:
    bool stopping_;
};

}  // namespace veldmoor::fuzz
