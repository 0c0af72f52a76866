#include "reporting/EventText.h"

#include <json/json.h>

#include "foundation/Utf8Text.h"

namespace veldmoor::reporting {
namespace {

std::string Decimal(uint64_t value) { return std::to_string(value); }

}  // namespace

uint64_t GrowthMemory::Grow(uint64_t value, uint64_t& last) {
    if (value == 0) return 0;
    const uint64_t growth = value > last ? value - last : 0;
    last = value;
    return growth;
}

GrowthMemory::Growth GrowthMemory::Take(const EventFields& fields) {
    std::lock_guard<std::mutex> guard(mutex_);
    Growth growth;
    growth.seconds = Grow(fields.totalSeconds, lastSeconds_);
    growth.bytes = Grow(fields.totalBytes, lastBytes_);
    growth.httpBytes = Grow(fields.httpBytes, lastHttpBytes_);
    growth.peerBytes = Grow(fields.peerBytes, lastPeerBytes_);
    return growth;
}

std::string JsonStringContent(const std::string& text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            switch (byte) {
                case '"': out += "\\\""; break;
                case '\\': out += "\\\\"; break;
                case '\b': out += "\\b"; break;
                case '\f': out += "\\f"; break;
                case '\n': out += "\\n"; break;
                case '\r': out += "\\r"; break;
                case '\t': out += "\\t"; break;
                default:
                    if (byte < 0x20) {
                        out += "\\u00";
                        out += kHex[byte >> 4];
                        out += kHex[byte & 0xF];
                    } else {
                        out += static_cast<char>(byte);
                    }
            }
            ++i;
            continue;
        }
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

std::string FormatFragment(const EventIdentity& identity, const EventFields& fields, const GrowthMemory::Growth& growth) {
    const std::pair<const char*, std::string> members[] = {
        {"DVersion", kStatisticsFormatVersion},
        {"GameID", identity.gameId},
        {"AppVersion", identity.programVersion},
        {"GVersion", identity.gameVersion},
        {"Dchannel", identity.channel},
        {"Serverip", fields.serverAddress},
        {"Httpresult", ""},
        {"Totaltime", Decimal(fields.totalSeconds)},
        {"Intime", Decimal(growth.seconds)},
        {"Totalbytes", Decimal(fields.totalBytes)},
        {"Intotalbytes", Decimal(growth.bytes)},
        {"Averagespeed", Decimal(fields.averageSpeed)},
        {"Progress", fields.progressText},
        {"Httptotalbytes", Decimal(fields.httpBytes)},
        {"Inhttptotalbytes", Decimal(growth.httpBytes)},
        {"Httpaveragespeed", Decimal(fields.httpAverageSpeed)},
        {"P2ptotalbytes", Decimal(fields.peerBytes)},
        {"Inp2ptotalbytes", Decimal(growth.peerBytes)},
        {"P2paveragespeed", Decimal(fields.peerAverageSpeed)},
        {"Corruptpakid", Decimal(fields.corruptPiece)},
        {"Filename", fields.fileName},
        {"Url", fields.url},
        {"Errormsg", fields.errorText},
    };
    std::string fragment;
    fragment.reserve(512 + fields.fileName.size() + fields.errorText.size() + fields.serverAddress.size());
    for (const auto& [key, value] : members) {
        fragment += ",\"";
        fragment += key;
        fragment += "\":\"";
        fragment += JsonStringContent(value);
        fragment += '"';
    }
    return fragment;
}

std::string BuildEventText(const std::string& informationObjectText, const std::string& fragment) {
    return "{" + informationObjectText + fragment + "}";
}

std::string UrlEncode(const std::string& bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z')) {
            out += c;
        } else if (byte == ' ') {
            out += '_';
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out;
}

std::string BuildBatchBody(const std::vector<std::pair<std::string, std::string>>& codeAndInfo) {
    Json::Value array(Json::arrayValue);
    for (const auto& [code, info] : codeAndInfo) {
        Json::Value event(Json::objectValue);
        event["code"] = code;
        event["info"] = info;
        array.append(std::move(event));
    }
    Json::FastWriter writer;
    return "data=" + UrlEncode(writer.write(array));
}

}  // namespace veldmoor::reporting
