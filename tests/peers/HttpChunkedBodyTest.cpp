#include <gtest/gtest.h>

#include <string>

#include "peers/HttpChunkedBody.h"

namespace veldmoor {
namespace {

struct Decoded {
    std::string data;
    size_t used = 0;
    bool done = false;
    bool failed = false;
};

// Feeds `body` in pieces of `piece` bytes (0: whole), as a socket would.
Decoded DecodeInPieces(const std::string& body, size_t piece, size_t outputLimit = 1 << 20) {
    HttpChunkedDecoder decoder;
    Decoded result;
    const auto* bytes = reinterpret_cast<const uint8_t*>(body.data());
    size_t offered = 0;
    while (offered < body.size() && !decoder.Done() && !decoder.Failed()) {
        offered = piece == 0 ? body.size() : std::min(body.size(), offered + piece);
        // Unused bytes stay in front, as in the receive buffer.
        const size_t used =
            decoder.Decode({bytes + result.used, offered - result.used}, result.data, outputLimit);
        result.used += used;
        if (used == 0 && offered == body.size()) break;
    }
    result.done = decoder.Done();
    result.failed = decoder.Failed();
    return result;
}

TEST(HttpChunkedDecoderTest, DecodesTheSameInAnyPieces) {
    const std::string body =
        "5\r\nhello\r\n"
        "1A;name=\"x\"\r\nabcdefghijklmnopqrstuvwxyz\r\n"
        "0003 \r\n123\r\n"
        "0\r\nTrailer: one\r\nOther: two\r\n\r\n"
        "HTTP/1.1 200 OK\r\n";  // the next answer is left alone
    for (const size_t piece : {size_t{0}, size_t{1}, size_t{2}, size_t{7}}) {
        SCOPED_TRACE(piece);
        const Decoded decoded = DecodeInPieces(body, piece);
        EXPECT_TRUE(decoded.done);
        EXPECT_EQ(decoded.data, "helloabcdefghijklmnopqrstuvwxyz123");
        EXPECT_EQ(decoded.used, body.find("HTTP/1.1"));
    }
    EXPECT_TRUE(DecodeInPieces("3\nabc\n0\n\n", 0).done) << "bare line feeds";
}

TEST(HttpChunkedDecoderTest, RefusesMalformedAndHostileBodies) {
    const std::pair<const char*, std::string> cases[] = {
        {"no size", "\r\nabc\r\n"},
        {"not hex", "g\r\nabc\r\n"},
        {"signed", "-5\r\nabcde\r\n"},
        {"junk after the size", "5 x\r\nhello\r\n"},
        {"16 hex digits", "1000000000000000\r\n"},
        {"a size wrapping 64 bits", "FFFFFFFFFFFFFFFFF\r\n"},
        {"data longer than its size", "3\r\nabcd\r\n"},
        {"endless size line", "5;" + std::string(HttpChunkedDecoder::kMaxLineBytes, 'x')},
        {"endless trailer line", "0\r\n" + std::string(HttpChunkedDecoder::kMaxLineBytes + 1, 'T')},
    };
    for (const auto& [what, body] : cases) {
        const Decoded decoded = DecodeInPieces(body, 3);
        EXPECT_TRUE(decoded.failed) << what;
        EXPECT_FALSE(decoded.done) << what;
    }
    HttpChunkedDecoder decoder;
    std::string output;
    std::string trailer = "0\r\n";
    for (int line = 0; line < 2000; ++line) trailer += "Name: " + std::string(40, 'v') + "\r\n";
    decoder.Decode({reinterpret_cast<const uint8_t*>(trailer.data()), trailer.size()}, output, 1 << 20);
    EXPECT_TRUE(decoder.Failed()) << "many trailer lines add up to the cap";
}

TEST(HttpChunkedDecoderTest, StopsAtTheOutputLimitAndGoesOnWhenThereIsRoom) {
    const std::string body = "a\r\n0123456789\r\n0\r\n\r\n";
    HttpChunkedDecoder decoder;
    std::string output;
    const auto* bytes = reinterpret_cast<const uint8_t*>(body.data());
    const size_t first = decoder.Decode({bytes, body.size()}, output, 4);
    EXPECT_EQ(output, "0123");
    EXPECT_FALSE(decoder.Done());
    output.clear();
    const size_t second = decoder.Decode({bytes + first, body.size() - first}, output, 64);
    EXPECT_EQ(output, "456789");
    EXPECT_TRUE(decoder.Done());
    EXPECT_EQ(first + second, body.size());
}

}  // namespace
}  // namespace veldmoor
