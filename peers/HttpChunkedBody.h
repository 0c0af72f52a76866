#pragma once
// Decodes a chunked HTTP body as it arrives, in any pieces: chunk-size lines
// (extensions ignored), data, and trailer lines. Every line it holds is
// bounded, and a size that does not fit in 15 hex digits is refused, so a
// hostile server can neither grow memory nor wrap a count.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace veldmoor {

class HttpChunkedDecoder {
public:
    static constexpr size_t kMaxLineBytes = 4096;
    static constexpr size_t kMaxTrailerBytes = 65536;
    static constexpr size_t kMaxSizeDigits = 15;

    // Decodes from `input`, appending data to `output` until it holds
    // `outputLimit` bytes; the count of input bytes used (the rest waits for
    // the next call). Stops at the body's end and on malformed input.
    size_t Decode(std::span<const uint8_t> input, std::string& output, size_t outputLimit);
    // The terminating chunk and its trailer have been read.
    bool Done() const { return state_ == State::kDone; }
    bool Failed() const { return state_ == State::kMalformed; }
    void Reset() { *this = HttpChunkedDecoder{}; }

private:
    enum class State { kSizeLine, kData, kDataEnd, kTrailer, kDone, kMalformed };

    // Takes bytes up to and including a line feed into line_; true once a
    // whole line is there (its CR LF or LF removed).
    bool TakeLine(std::span<const uint8_t> input, size_t& used);
    void OnSizeLine();
    void OnTrailerLine();

    State state_ = State::kSizeLine;
    uint64_t remaining_ = 0;  // data bytes of the current chunk still to come
    std::string line_;
    size_t trailerBytes_ = 0;
};

}  // namespace veldmoor
