#include "tools/veldmoor-statsd/BatchParser.h"

#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <set>

#include "foundation/Utf8Text.h"

namespace veldmoor::statsd {
namespace {

constexpr std::string_view kBodyPrefix = "data=";
// Wraps the information object so one JSON parse reads the whole event text.
constexpr std::string_view kInformationKey = "Information";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool IsUtf8WithoutNul(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead == 0) return false;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

// JSON wants control characters in strings escaped; the reader takes them
// raw, so they are looked for before it runs.
bool HasRawControlInString(std::string_view text) {
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!inString) {
            inString = c == '"';
        } else if (c == '\\') {
            ++i;
        } else if (c == '"') {
            inString = false;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            return true;
        }
    }
    return false;
}

bool ParseJson(const std::string& text, Json::Value& value, std::string& error) {
    if (HasRawControlInString(text)) {
        error = "a control character inside a string is not escaped";
        return false;
    }
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["stackLimit"] = 24;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    try {
        std::string errors;
        if (reader->parse(text.data(), text.data() + text.size(), &value, &errors)) return true;
        // jsoncpp writes "* Line 1, Column 1\n  Syntax error: ...": one line of it.
        for (const char c : errors.substr(0, 200)) {
            if (c == '\n') {
                if (!error.empty() && error.back() != ' ') error += ' ';
            } else if (c != ' ' || (!error.empty() && error.back() != ' ')) {
                error += c;
            }
        }
        while (!error.empty() && error.back() == ' ') error.pop_back();
    } catch (const std::exception& exception) {
        error = exception.what();
    }
    return false;
}

bool IsHex(const std::string& text, size_t digits) {
    return text.size() == digits &&
           std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

// Reads one event's members; on failure `error` names the member.
class EventReader {
public:
    EventReader(const Json::Value& object, const BatchLimits& limits, std::string& error)
        : object_(object), limits_(limits), error_(error) {}

    bool Text(const char* key, std::string& target) {
        const Json::Value& value = object_[key];
        if (!value.isString()) return Fail(std::string("\"") + key + "\" is missing or not a string");
        target = value.asString();
        if (target.size() > limits_.textBytes) return Fail(std::string("\"") + key + "\" is too long");
        if (!IsUtf8WithoutNul(target)) return Fail(std::string("\"") + key + "\" is not UTF-8 text");
        return true;
    }

    bool Number(const char* key, int64_t& target) {
        std::string text;
        if (!Text(key, text)) return false;
        if (text.empty() || text.size() > 18 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return Fail(std::string("\"") + key + "\" is not a decimal number");
        target = std::stoll(text);
        return true;
    }

    bool Fail(const std::string& message) {
        error_ = message;
        return false;
    }

private:
    const Json::Value& object_;
    const BatchLimits& limits_;
    std::string& error_;
};

bool ReadFragment(EventReader& reader, ParsedEvent& event) {
    return reader.Text("DVersion", event.formatVersion) && reader.Text("GameID", event.gameId) &&
           reader.Text("AppVersion", event.appVersion) && reader.Text("GVersion", event.gameVersion) &&
           reader.Text("Dchannel", event.channel) && reader.Text("Serverip", event.serverAddress) &&
           reader.Text("Httpresult", event.httpResult) && reader.Number("Totaltime", event.totalTime) &&
           reader.Number("Intime", event.inTime) && reader.Number("Totalbytes", event.totalBytes) &&
           reader.Number("Intotalbytes", event.inTotalBytes) && reader.Number("Averagespeed", event.averageSpeed) &&
           reader.Text("Progress", event.progress) && reader.Number("Httptotalbytes", event.httpBytes) &&
           reader.Number("Inhttptotalbytes", event.inHttpBytes) && reader.Number("Httpaveragespeed", event.httpSpeed) &&
           reader.Number("P2ptotalbytes", event.peerBytes) && reader.Number("Inp2ptotalbytes", event.inPeerBytes) &&
           reader.Number("P2paveragespeed", event.peerSpeed) && reader.Number("Corruptpakid", event.corruptPiece) &&
           reader.Text("Filename", event.fileName) && reader.Text("Url", event.url) &&
           reader.Text("Errormsg", event.errorText);
}

bool ReadInformation(const Json::Value& information, const BatchLimits& limits, ParsedEvent& event, std::string& error) {
    static const std::set<std::string> kHardwareKeys = {"CPU", "Memory", "Video_Card"};
    static const std::set<std::string> kTextKeys = {"MachId", "Mac", "OS", "Sessionid"};
    if (!information.isObject()) return (error = "the information object is missing"), false;
    Json::Value hardware(Json::objectValue);
    for (const std::string& key : information.getMemberNames()) {
        if (kHardwareKeys.contains(key)) {
            if (!information[key].isObject()) return (error = "\"" + key + "\" is not an object"), false;
            hardware[key] = information[key];
        } else if (!kTextKeys.contains(key)) {
            return (error = "unknown member \"" + key.substr(0, 64) + "\" in the information object"), false;
        }
    }
    EventReader reader(information, limits, error);
    if (!reader.Text("MachId", event.machineId) || !reader.Text("Mac", event.adapterAddresses) ||
        !reader.Text("OS", event.osDescriptor) || !reader.Text("Sessionid", event.sessionId))
        return false;
    if (!IsHex(event.machineId, 16)) return (error = "\"MachId\" is not 16 upper-case hex digits"), false;
    if (!IsHex(event.sessionId, 8)) return (error = "\"Sessionid\" is not 8 upper-case hex digits"), false;
    if (!hardware.empty()) {
        Json::StreamWriterBuilder writer;
        writer["indentation"] = "";
        writer["emitUTF8"] = true;
        event.hardwareJson = Json::writeString(writer, hardware);
        if (!IsUtf8WithoutNul(event.hardwareJson)) return (error = "the hardware description is not UTF-8 text"), false;
    }
    return true;
}

bool ReadEvent(const Json::Value& element, const BatchLimits& limits, ParsedEvent& event, std::string& error) {
    if (!element.isObject() || element.size() != 2 || !element.isMember("code") || !element.isMember("info"))
        return (error = "an event is not an object with exactly \"code\" and \"info\""), false;
    const Json::Value& code = element["code"];
    const Json::Value& info = element["info"];
    if (!code.isString() || !info.isString()) return (error = "\"code\" and \"info\" must be strings"), false;
    event.code = code.asString();
    if (event.code.size() != 8 || !std::all_of(event.code.begin(), event.code.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return (error = "an event code is not eight decimal digits"), false;
    const std::string text = info.asString();
    if (text.size() > limits.infoBytes) return (error = "an event text is too long"), false;
    if (text.size() < 2 || text.front() != '{' || text.back() != '}')
        return (error = "an event text is not enclosed in braces"), false;

    // "{" OBJECT "\n" ",members" "}" becomes {"Information":OBJECT\n,members}.
    const std::string wrapped = "{\"" + std::string(kInformationKey) + "\":" + text.substr(1);
    Json::Value members;
    std::string parseError;
    if (!ParseJson(wrapped, members, parseError) || !members.isObject())
        return (error = "an event text is not in the event shape: " + parseError), false;
    static const std::set<std::string> kFragmentKeys = {
        "Information", "DVersion", "GameID", "AppVersion", "GVersion", "Dchannel", "Serverip", "Httpresult",
        "Totaltime", "Intime", "Totalbytes", "Intotalbytes", "Averagespeed", "Progress", "Httptotalbytes",
        "Inhttptotalbytes", "Httpaveragespeed", "P2ptotalbytes", "Inp2ptotalbytes", "P2paveragespeed",
        "Corruptpakid", "Filename", "Url", "Errormsg"};
    for (const std::string& key : members.getMemberNames()) {
        if (!kFragmentKeys.contains(key)) return (error = "unknown event member \"" + key.substr(0, 64) + "\""), false;
    }
    if (!ReadInformation(members[std::string(kInformationKey)], limits, event, error)) return false;
    EventReader reader(members, limits, error);
    return ReadFragment(reader, event);
}

}  // namespace

bool UrlDecode(std::string_view encoded, std::string& decoded, std::string& error) {
    decoded.clear();
    decoded.reserve(encoded.size());
    for (size_t i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (std::isalnum(static_cast<unsigned char>(c))) {
            decoded += c;
        } else if (c == '_') {
            decoded += ' ';
        } else if (c == '%' && i + 2 < encoded.size() && HexValue(encoded[i + 1]) >= 0 && HexValue(encoded[i + 2]) >= 0) {
            decoded += static_cast<char>(HexValue(encoded[i + 1]) * 16 + HexValue(encoded[i + 2]));
            i += 2;
        } else {
            error = c == '%' ? "broken %-escape at byte " + std::to_string(i)
                             : "byte " + std::to_string(static_cast<unsigned char>(c)) + " not allowed in the encoded body at " +
                                   std::to_string(i);
            return false;
        }
    }
    return true;
}

BatchParseResult ParseBatchBody(std::string_view body, const BatchLimits& limits) {
    BatchParseResult result;
    if (body.substr(0, kBodyPrefix.size()) != kBodyPrefix) {
        result.error = "the body does not begin with \"data=\"";
        return result;
    }
    std::string decoded;
    if (!UrlDecode(body.substr(kBodyPrefix.size()), decoded, result.error)) return result;
    Json::Value array;
    std::string parseError;
    if (!ParseJson(decoded, array, parseError)) {
        result.error = "the batch is not JSON: " + parseError;
        return result;
    }
    if (!array.isArray() || array.empty()) {
        result.error = "the batch is not a non-empty JSON array";
        return result;
    }
    if (array.size() > limits.events) {
        result.error = "the batch holds more than " + std::to_string(limits.events) + " events";
        return result;
    }
    for (Json::ArrayIndex index = 0; index < array.size(); ++index) {
        ParsedEvent event;
        std::string error;
        if (!ReadEvent(array[index], limits, event, error)) {
            result.error = "event " + std::to_string(index + 1) + ": " + error;
            result.events.clear();
            return result;
        }
        result.events.push_back(std::move(event));
    }
    result.ok = true;
    return result;
}

}  // namespace veldmoor::statsd
