// Feeds arbitrary bytes to the state file reader, and the texts it takes to a
// piece map as its saved status and file choices. Beyond the sanitizers'
// checks, it traps when:
//  - what was read does not encode, or does not read back the same;
//  - a text of two bytes or fewer is taken, or a refused file changes a text.
#include <cstdint>
#include <string_view>

#include "fuzz/FuzzPieceMap.h"
#include "fuzz/FuzzSupport.h"
#include "torrent/StateFile.h"

namespace {

using namespace veldmoor;

[[noreturn]] void Fail(const char* what) { fuzz::Fail("state_file_fuzz", what); }

constexpr std::string_view kUntouched = "<untouched>";

bool SameTexts(const SavedStateTexts& a, const SavedStateTexts& b) {
    return a.bits == b.bits && a.part == b.part && a.seeds == b.seeds && a.torrent == b.torrent;
}

void CheckText(const std::string& text) {
    if (text != kUntouched && text.size() <= 2) Fail("a text of two bytes or fewer was taken");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)fuzz::SharedFixture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    SavedStateTexts texts;
    texts.bits = texts.part = texts.seeds = texts.torrent = std::string(kUntouched);
    const SavedStateTexts before = texts;
    if (!ReadStateFile(input, texts)) {
        if (!SameTexts(texts, before)) Fail("a refused file changed a text");
        return 0;
    }
    CheckText(texts.bits);
    CheckText(texts.part);
    CheckText(texts.seeds);
    CheckText(texts.torrent);

    const auto encoded = EncodeStateFile(texts);
    if (!encoded) Fail("texts that were read do not encode");
    SavedStateTexts reread;
    if (!ReadStateFile(*encoded, reread) || !SameTexts(reread, texts)) Fail("an encoding does not read back the same");

    const auto useful = [](const std::string& text) { return text == kUntouched ? std::string() : text; };
    fuzz::QuietOwner owner(fuzz::SharedFixture().folder);
    TPieces* map = fuzz::LoadFixtureMap(owner, {useful(texts.bits), useful(texts.part), {}});
    ReleaseRef(map);
    return 0;
}
