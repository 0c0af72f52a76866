// Feeds arbitrary bytes to a piece map as its partial-piece journal. Records
// carry a check value no mutation would hit, so each record's length is
// clipped to the bytes there and its check value is made right before the map
// reads the file: the reader's handling of the record bodies is what is under
// test. Beyond the sanitizers' checks, it traps when the map cannot read its
// untouched saved status (the journal would then never be read).
#include <zlib.h>

#include <cstdint>
#include <string>

#include "fuzz/FuzzPieceMap.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Files.h"
#include "torrent/TTorrent.h"

namespace {

using namespace veldmoor;

constexpr size_t kRecordHeader = 16;

uint32_t GetWord(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value |= uint32_t{static_cast<uint8_t>(bytes[at + i])} << (8 * i);
    return value;
}

void PutWord(std::string& bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint32_t CheckValue(uint32_t piece, const char* body, size_t length) {
    const Sha1Digest& hash = fuzz::SharedFixture().infoHash;
    const uLong start = adler32_z(piece, hash.data(), hash.size());
    return static_cast<uint32_t>(adler32_z(start, reinterpret_cast<const Bytef*>(body), length));
}

std::string WithRightChecks(std::string journal) {
    size_t at = 0;
    while (at + kRecordHeader <= journal.size()) {
        const size_t room = journal.size() - at - kRecordHeader;
        uint32_t length = GetWord(journal, at);
        if (length > room) {
            length = static_cast<uint32_t>(room);
            PutWord(journal, at, length);
        }
        const uint32_t piece = GetWord(journal, at + 8);
        PutWord(journal, at + 4, CheckValue(piece, journal.data() + at + kRecordHeader, length));
        if (length == 0) break;
        at += kRecordHeader + length;
    }
    return journal;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    (void)fuzz::SharedFixture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::PieceMapFixture& fixture = fuzz::SharedFixture();
    const std::string journalPath = fixture.folder + "journal";
    const std::string journal = WithRightChecks(std::string(reinterpret_cast<const char*>(data), size));
    if (!platform::ReplaceFileContents(journalPath, journal)) fuzz::Fail("journal_fuzz", "cannot write the journal");

    fuzz::QuietOwner owner(fixture.folder);
    TPieces* map = fuzz::LoadFixtureMap(owner, {fixture.statusText, {}, journalPath});
    ReleaseRef(map);
    return 0;
}
