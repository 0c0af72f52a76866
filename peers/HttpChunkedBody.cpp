#include "peers/HttpChunkedBody.h"

#include <algorithm>

namespace veldmoor {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool HttpChunkedDecoder::TakeLine(std::span<const uint8_t> input, size_t& used) {
    while (used < input.size()) {
        const char c = static_cast<char>(input[used++]);
        if (c == '\n') {
            if (!line_.empty() && line_.back() == '\r') line_.pop_back();
            return true;
        }
        if (line_.size() >= kMaxLineBytes) {
            state_ = State::kMalformed;
            return false;
        }
        line_.push_back(c);
    }
    return false;
}

void HttpChunkedDecoder::OnSizeLine() {
    size_t digits = 0;
    uint64_t size = 0;
    while (digits < line_.size() && HexValue(line_[digits]) >= 0) {
        size = size * 16 + static_cast<uint64_t>(HexValue(line_[digits]));
        ++digits;
    }
    const std::string_view rest = std::string_view(line_).substr(digits);
    const size_t extension = rest.find_first_not_of(" \t");
    const bool restIsExtension = extension == std::string_view::npos || rest[extension] == ';';
    if (digits == 0 || digits > kMaxSizeDigits || !restIsExtension) {
        state_ = State::kMalformed;
        return;
    }
    remaining_ = size;
    state_ = size == 0 ? State::kTrailer : State::kData;
}

void HttpChunkedDecoder::OnTrailerLine() {
    trailerBytes_ += line_.size() + 2;
    if (line_.empty()) {
        state_ = State::kDone;
    } else if (trailerBytes_ > kMaxTrailerBytes) {
        state_ = State::kMalformed;
    }
}

size_t HttpChunkedDecoder::Decode(std::span<const uint8_t> input, std::string& output, size_t outputLimit) {
    size_t used = 0;
    while (used < input.size()) {
        switch (state_) {
            case State::kDone:
            case State::kMalformed:
                return used;
            case State::kData: {
                if (output.size() >= outputLimit) return used;
                const size_t count = static_cast<size_t>(
                    std::min<uint64_t>({remaining_, input.size() - used, outputLimit - output.size()}));
                output.append(reinterpret_cast<const char*>(input.data() + used), count);
                used += count;
                remaining_ -= count;
                if (remaining_ == 0) state_ = State::kDataEnd;
                break;
            }
            case State::kSizeLine:
            case State::kDataEnd:
            case State::kTrailer: {
                if (!TakeLine(input, used)) break;
                if (state_ == State::kSizeLine) {
                    OnSizeLine();
                } else if (state_ == State::kDataEnd) {
                    state_ = line_.empty() ? State::kSizeLine : State::kMalformed;
                } else {
                    OnTrailerLine();
                }
                line_.clear();
                break;
            }
        }
    }
    return used;
}

}  // namespace veldmoor
