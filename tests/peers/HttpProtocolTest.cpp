// The HTTP source's protocol pieces: the request it sends, the response
// header it reads, the values it takes from that header, and the rules for
// time-outs and for reaching the next wanted block.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "peers/HttpRequest.h"
#include "peers/HttpResponse.h"
#include "peers/HttpStreamRules.h"
#include "peers/QHttpHeader.h"
#include "peers/SourceRateWatch.h"

namespace veldmoor {
namespace {

using namespace std::string_literals;

constexpr int64_t kKiB = 1024;

// Parses a header given whole and insists that it is complete.
QHttpHeader ParsedHeader(const std::string& text) {
    QHttpHeader header;
    EXPECT_EQ(header.Parse(text), HttpHeaderResult::kComplete) << text;
    return header;
}

// Every byte value, line feeds included, but no empty line anywhere.
std::string GarbageWithoutEmptyLine(size_t size) {
    std::string garbage;
    uint32_t state = 12345;
    while (garbage.size() < size) {
        state = state * 1103515245u + 12345u;
        char byte = static_cast<char>(state >> 24);
        const bool lineStart = garbage.empty() || garbage.back() == '\n' ||
                               (garbage.back() == '\r' && (garbage.size() < 2 || garbage[garbage.size() - 2] == '\n'));
        if (lineStart && byte == '\n') byte = 'y';
        garbage.push_back(byte);
    }
    return garbage;
}

bool HasLine(const std::string& request, const std::string& line) {
    return request.find("\r\n" + line + "\r\n") != std::string::npos;
}

// ---- the request ----------------------------------------------------------

HttpRequestFields MirrorRequest() {
    HttpRequestFields fields;
    fields.path = "/files/setup.exe";
    fields.host = "mirror.example";
    fields.refererBase = "http://mirror.example/files";
    return fields;
}

TEST(HttpRequestTest, FirstRequestIsTheNineLinesWithoutRange) {
    const std::string expected =
        "GET /files/setup.exe HTTP/1.1\r\n"
        "Host:mirror.example\r\n"
        "Accept:*/*\r\n"
        "Referer: http://mirror.example/files\r\n"
        "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98) Veldmoor/1.0.3\r\n"
        "Connection:Keep-Alive\r\n"
        "Pragma: no-cache\r\n"
        "Cache-Control: no-cache\r\n"
        "\r\n";
    EXPECT_EQ(BuildHttpRequest(MirrorRequest()), expected);
}

struct RequestCase {
    const char* name;
    void (*adjust)(HttpRequestFields&);
    std::vector<std::string> presentLines;
    std::vector<std::string> absentPrefixes;
};

class HttpRequestLinesTest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(HttpRequestLinesTest, CarriesTheExpectedLines) {
    HttpRequestFields fields = MirrorRequest();
    GetParam().adjust(fields);
    const std::string request = BuildHttpRequest(fields);
    ASSERT_FALSE(request.empty());
    EXPECT_TRUE(request.ends_with("Cache-Control: no-cache\r\n\r\n"));
    for (const std::string& line : GetParam().presentLines) EXPECT_TRUE(HasLine(request, line)) << line << "\n" << request;
    for (const std::string& prefix : GetParam().absentPrefixes) {
        EXPECT_EQ(request.find("\r\n" + prefix), std::string::npos) << prefix << "\n" << request;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpRequestLinesTest,
    ::testing::Values(
        RequestCase{"RangeFromAMebibyte", [](HttpRequestFields& f) { f.start = 1048576; },
                    {"Range: bytes=1048576-"}, {}},
        RequestCase{"EndAfterStart", [](HttpRequestFields& f) {
                        f.start = 100;
                        f.end = 199;
                    },
                    {"Range: bytes=100-199"}, {}},
        RequestCase{"EndNotAfterStartIsLeftOut", [](HttpRequestFields& f) {
                        f.start = 100;
                        f.end = 100;
                    },
                    {"Range: bytes=100-"}, {}},
        RequestCase{"EndFromPositionZero", [](HttpRequestFields& f) { f.end = 99; }, {"Range: bytes=0-99"}, {}},
        RequestCase{"PortOtherThan80InHost", [](HttpRequestFields& f) { f.port = 8080; },
                    {"Host:mirror.example:8080"}, {}},
        RequestCase{"ExplicitRefererWithoutBlank",
                    [](HttpRequestFields& f) { f.explicitReferer = "http://portal.example/"; },
                    {"Referer:http://portal.example/"}, {"Referer: "}},
        RequestCase{"Cookie", [](HttpRequestFields& f) { f.cookie = "session=1"; }, {"Set Cookie:0session=1"}, {}},
        RequestCase{"IfRangeWithAResumedRange", [](HttpRequestFields& f) {
                        f.start = 100;
                        f.end = 199;
                        f.ifRange = "\"v1\"";
                    },
                    {"Range: bytes=100-199", "If-Range: \"v1\""}, {}},
        RequestCase{"NoIfRangeFromPositionZero", [](HttpRequestFields& f) {
                        f.end = 99;
                        f.ifRange = "\"v1\"";
                    },
                    {"Range: bytes=0-99"}, {"If-Range"}},
        RequestCase{"NoCookieLineWithoutCookie", [](HttpRequestFields&) {}, {}, {"Set Cookie", "Range"}}),
    [](const ::testing::TestParamInfo<RequestCase>& param) { return std::string(param.param.name); });

TEST(HttpRequestTest, RefusesFieldsThatWouldBreakTheRequest) {
    const std::vector<std::pair<const char*, void (*)(HttpRequestFields&)>> refusals = {
        {"CR in path", [](HttpRequestFields& f) { f.path = "/a\r\nX-Injected: 1"; }},
        {"LF in host", [](HttpRequestFields& f) { f.host = "mirror\nX: 1"; }},
        {"NUL in referer base", [](HttpRequestFields& f) { f.refererBase = std::string_view("http://m\0x", 10); }},
        {"CR in explicit referer", [](HttpRequestFields& f) { f.explicitReferer = "a\rb"; }},
        {"LF in cookie", [](HttpRequestFields& f) { f.cookie = "a\nb"; }},
        {"CR in If-Range", [](HttpRequestFields& f) {
             f.start = 1;
             f.ifRange = "\"v\"\r\nX: 1";
         }},
        {"empty path", [](HttpRequestFields& f) { f.path = ""; }},
        {"empty host", [](HttpRequestFields& f) { f.host = ""; }},
        {"port 0", [](HttpRequestFields& f) { f.port = 0; }},
        {"port 65536", [](HttpRequestFields& f) { f.port = 65536; }},
        {"negative start", [](HttpRequestFields& f) { f.start = -1; }},
    };
    for (const auto& [what, adjust] : refusals) {
        HttpRequestFields fields = MirrorRequest();
        adjust(fields);
        EXPECT_EQ(BuildHttpRequest(fields), "") << what;
    }
}

TEST(HttpRequestTest, SplitsTheUrlIntoRefererBaseAndPath) {
    struct Case {
        const char* url;
        const char* refererBase;
        const char* path;
    };
    const Case cases[] = {
        {"http://mirror/files/setup.exe", "http://mirror/files", "/files/setup.exe"},
        {"http://mirror:8080/setup.exe", "http://mirror:8080", "/setup.exe"},
        {"http://mirror/", "http://mirror", "/"},
        {"http://mirror", "http://mirror", "/"},
        {"http://mirror/get?file=a/b", "http://mirror/get?file=a", "/get?file=a/b"},
        {"mirror/setup.exe", "mirror", "/setup.exe"},
    };
    for (const Case& c : cases) {
        const HttpUrlParts parts = SplitHttpUrl(c.url);
        EXPECT_EQ(parts.refererBase, c.refererBase) << c.url;
        EXPECT_EQ(parts.path, c.path) << c.url;
    }
}

TEST(HttpRequestTest, MakesRedirectTargetsAbsolute) {
    struct Case {
        std::string location;
        int32_t port;
        const char* expected;
    };
    const Case cases[] = {
        {"/x", 8080, "http://mirror:8080/x"},
        {"/x", 80, "http://mirror/x"},
        {"x/y.exe", 80, "http://mirror/x/y.exe"},
        {"  /x  ", 80, "http://mirror/x"},
        {"http://other/setup.exe", 8080, "http://other/setup.exe"},
        {"HTTP://Other/setup.exe", 80, "HTTP://Other/setup.exe"},
        {"ftp://files/setup.exe", 80, "ftp://files/setup.exe"},
        // Kept whole, so that the address is refused as a source, not fetched from the old host.
        {"https://secure/setup.exe", 80, "https://secure/setup.exe"},
        {"//cdn.example/setup.exe", 8080, "http://cdn.example/setup.exe"},
        {"", 80, ""},
        {"   ", 80, ""},
        {"/a\rb", 80, ""},
        {"/a\0b"s, 80, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AbsoluteRedirectUrl(c.location, "mirror", c.port), c.expected) << c.location << " port " << c.port;
    }
}

// ---- header parsing -------------------------------------------------------

TEST(QHttpHeaderTest, ReadsStatusLineAndLinesAndStopsAtTheEmptyLine) {
    const std::string header = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-99/5000\r\nServer: x\r\n\r\n";
    QHttpHeader parsed;
    ASSERT_EQ(parsed.Parse(header + "BODY\r\n\r\nmore"), HttpHeaderResult::kComplete);
    EXPECT_EQ(parsed.GetHeaderLength(), header.size());
    EXPECT_TRUE(parsed.HasStatusLine());
    EXPECT_EQ(parsed.GetVersion(), "1.1");
    EXPECT_EQ(parsed.GetStatusCode(), 206);
    EXPECT_EQ(parsed.GetReason(), "Partial Content");
    EXPECT_EQ(parsed.GetLines(), (std::vector<std::string>{"Content-Range: bytes 0-99/5000", "Server: x"}));
}

struct StatusLineCase {
    const char* line;
    const char* version;
    int32_t code;
    const char* reason;
};

TEST(QHttpHeaderTest, StatusLineVariants) {
    const StatusLineCase cases[] = {
        {"HTTP/1.0 404 Not Found", "1.0", 404, "Not Found"},
        {"HTTP/1.1  200   OK", "1.1", 200, "OK"},
        {"HTTP/1.1 200", "1.1", 200, ""},
        {"HTTP 302 Found", "1.0", 302, "Found"},
        {"HTTP/2 301 Moved", "2", 301, "Moved"},
        {"HTTP/1.1 abc Broken", "1.1", 0, "Broken"},
        {"HTTP/1.1 -200 Negative", "1.1", 0, "Negative"},
        {"HTTP/1.1 99999999999 Overflow", "1.1", 0, "Overflow"},
        {"HTTP/1.1 20x0 Mixed", "1.1", 0, "Mixed"},
        {"HTTP", "1.0", 0, ""},
    };
    for (const StatusLineCase& c : cases) {
        const QHttpHeader header = ParsedHeader(std::string(c.line) + "\r\nA: b\r\n\r\n");
        EXPECT_TRUE(header.HasStatusLine()) << c.line;
        EXPECT_EQ(header.GetVersion(), c.version) << c.line;
        EXPECT_EQ(header.GetStatusCode(), c.code) << c.line;
        EXPECT_EQ(header.GetReason(), c.reason) << c.line;
        EXPECT_EQ(header.GetLines(), std::vector<std::string>{"A: b"}) << c.line;
    }
}

TEST(QHttpHeaderTest, FirstLineWithoutStatusIsKeptWhenItIsAHeaderLine) {
    const QHttpHeader headerOnly = ParsedHeader("Content-Length: 5000\r\nServer: s\r\n\r\n");
    EXPECT_FALSE(headerOnly.HasStatusLine());
    EXPECT_EQ(headerOnly.GetStatusCode(), 0);
    EXPECT_EQ(headerOnly.GetVersion(), "1.0");
    EXPECT_EQ(headerOnly.GetValue("Content-Length"), "5000");
    EXPECT_EQ(headerOnly.GetLines().size(), 2u);

    const QHttpHeader garbageFirst = ParsedHeader("garbage first line\r\nServer: s\r\n\r\n");
    EXPECT_FALSE(garbageFirst.HasStatusLine());
    EXPECT_EQ(garbageFirst.GetLines(), std::vector<std::string>{"Server: s"});
}

// A response arriving one byte at a time is incomplete up to the last byte of
// its empty line, then complete with the same result as when given whole.
TEST(QHttpHeaderTest, SplitReadsByteByByte) {
    const std::vector<std::string> headers = {
        "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Type: x\r\n\r\n",
        "HTTP/1.1 200 OK\nContent-Length: 10\n\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 10\n\r\n",
    };
    for (const std::string& header : headers) {
        const std::string stream = header + "0123456789";
        QHttpHeader incremental;
        size_t completedAt = 0;
        for (size_t length = 0; length <= stream.size() && completedAt == 0; ++length) {
            if (incremental.Parse(reinterpret_cast<const uint8_t*>(stream.data()), length) ==
                HttpHeaderResult::kComplete)
                completedAt = length;
        }
        EXPECT_EQ(completedAt, header.size()) << header;
        const QHttpHeader whole = ParsedHeader(stream);
        EXPECT_EQ(incremental.GetHeaderLength(), whole.GetHeaderLength());
        EXPECT_EQ(incremental.GetStatusCode(), 200);
        EXPECT_EQ(incremental.GetLines(), whole.GetLines());
        EXPECT_EQ(incremental.GetValue("content-length"), "10");
    }
}

TEST(QHttpHeaderTest, WaitsWhileAtMostTwoBytesAreThere) {
    QHttpHeader header;
    EXPECT_EQ(header.Parse("\n\n"), HttpHeaderResult::kIncomplete);
    EXPECT_EQ(header.Parse("\r\n"), HttpHeaderResult::kIncomplete);
    EXPECT_EQ(header.Parse("\n\nx"), HttpHeaderResult::kComplete);
    EXPECT_EQ(header.GetHeaderLength(), 1u);
    EXPECT_FALSE(header.HasStatusLine());
    EXPECT_TRUE(header.GetLines().empty());
}

TEST(QHttpHeaderTest, NeverReadsPastTheGivenLength) {
    // The bytes beyond the length would complete the header if they were read.
    const std::string text = "HTTP/1.1 200 OK\r\nA: b\r\n\r\n";
    QHttpHeader header;
    EXPECT_EQ(header.Parse(reinterpret_cast<const uint8_t*>(text.data()), text.size() - 1),
              HttpHeaderResult::kIncomplete);
    EXPECT_FALSE(header.IsComplete());
    EXPECT_EQ(header.Parse(reinterpret_cast<const uint8_t*>(text.data()), text.size()), HttpHeaderResult::kComplete);
}

TEST(QHttpHeaderTest, LooksUpByNameIgnoringCase) {
    const QHttpHeader header = ParsedHeader(
        "HTTP/1.1 200 OK\r\n"
        "Content-Length-Extra: 1\r\n"
        "Location\r\n"
        "content-LENGTH   : \t\x01 5000 \r\n"
        "Content-Length: 7\r\n"
        "X-Empty:\r\n"
        "X-Binary: a\0b\r\n\r\n"s);
    EXPECT_EQ(header.GetValue("Content-Length"), "5000 ");  // the first whole-name match
    EXPECT_EQ(header.GetValue("CONTENT-LENGTH-EXTRA"), "1");
    EXPECT_EQ(header.GetValue("X-Empty"), "");
    EXPECT_EQ(header.GetValue("X-Binary"), "a\0b"s);
    EXPECT_EQ(header.GetValue("Location"), std::nullopt);  // a name without a colon is no header
    EXPECT_EQ(header.GetValue("Content"), std::nullopt);
    EXPECT_EQ(header.GetValue("Missing"), std::nullopt);
    EXPECT_EQ(header.GetValue(""), std::nullopt);
}

TEST(QHttpHeaderTest, RefusesAHeaderThatDoesNotEndWithin64KiB) {
    const std::string start = "HTTP/1.1 200 OK\r\nX: ";
    const std::string end = "\r\n\r\n";

    std::string fits = start + std::string(QHttpHeader::kMaxBytes - start.size() - end.size(), 'a') + end;
    ASSERT_EQ(fits.size(), QHttpHeader::kMaxBytes);
    EXPECT_EQ(ParsedHeader(fits + "body").GetHeaderLength(), QHttpHeader::kMaxBytes);

    std::string tooLong = start + std::string(QHttpHeader::kMaxBytes - start.size() - end.size() + 1, 'a') + end;
    QHttpHeader header;
    EXPECT_EQ(header.Parse(std::string_view(tooLong).substr(0, QHttpHeader::kMaxBytes - 1)),
              HttpHeaderResult::kIncomplete);
    EXPECT_EQ(header.Parse(tooLong), HttpHeaderResult::kTooLarge);
    EXPECT_FALSE(header.IsComplete());

    // Many short lines count the same as one long one.
    std::string manyLines = "HTTP/1.1 200 OK\r\n";
    while (manyLines.size() < QHttpHeader::kMaxBytes) manyLines += "X: y\r\n";
    QHttpHeader lines;
    EXPECT_EQ(lines.Parse(manyLines + "\r\n"), HttpHeaderResult::kTooLarge);
}

TEST(QHttpHeaderTest, GarbageNeverCompletesWithoutAnEmptyLine) {
    const std::string garbage = GarbageWithoutEmptyLine(QHttpHeader::kMaxBytes);
    QHttpHeader header;
    EXPECT_EQ(header.Parse(std::string_view(garbage).substr(0, 1000)), HttpHeaderResult::kIncomplete);
    EXPECT_EQ(header.Parse(garbage), HttpHeaderResult::kTooLarge);

    // Binary bytes inside lines are kept as they are.
    const QHttpHeader binary = ParsedHeader("\x01\xff\r\nA\0: \x80\r\n\r\n"s);
    EXPECT_FALSE(binary.HasStatusLine());
    EXPECT_EQ(binary.GetLines(), std::vector<std::string>{"A\0: \x80"s});
}

TEST(QHttpHeaderTest, ClearStartsOverForTheNextResponse) {
    QHttpHeader header;
    ASSERT_EQ(header.Parse("HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\n"), HttpHeaderResult::kComplete);
    // A complete header stays as it is until cleared.
    EXPECT_EQ(header.Parse("HTTP/1.1 200 OK\r\n\r\n"), HttpHeaderResult::kComplete);
    EXPECT_EQ(header.GetStatusCode(), 302);

    header.Clear();
    EXPECT_FALSE(header.IsComplete());
    EXPECT_EQ(header.GetHeaderLength(), 0u);
    EXPECT_EQ(header.GetVersion(), "1.0");
    EXPECT_TRUE(header.GetLines().empty());
    ASSERT_EQ(header.Parse("HTTP/1.1 200 OK\r\n\r\n"), HttpHeaderResult::kComplete);
    EXPECT_EQ(header.GetStatusCode(), 200);
    EXPECT_EQ(header.GetValue("Location"), std::nullopt);
}

TEST(QHttpHeaderTest, AShorterBufferThanBeforeIsSearchedAfresh) {
    QHttpHeader header;
    EXPECT_EQ(header.Parse("HTTP/1.1 200 OK\r\nA: b\r\n"), HttpHeaderResult::kIncomplete);
    EXPECT_EQ(header.Parse("X: y\n\n"), HttpHeaderResult::kComplete);
    EXPECT_EQ(header.GetLines(), std::vector<std::string>{"X: y"});
}

// ---- values from the response ----------------------------------------------

TEST(HttpResponseTest, ClassifiesStatusCodes) {
    const std::pair<int32_t, HttpStatusClass> cases[] = {
        {200, HttpStatusClass::kSuccess},     {206, HttpStatusClass::kSuccess},
        {299, HttpStatusClass::kSuccess},     {301, HttpStatusClass::kRedirect},
        {307, HttpStatusClass::kRedirect},    {404, HttpStatusClass::kClientError},
        {416, HttpStatusClass::kClientError}, {503, HttpStatusClass::kServerError},
        {0, HttpStatusClass::kOther},         {100, HttpStatusClass::kOther},
        {199, HttpStatusClass::kOther},       {600, HttpStatusClass::kOther},
        {-200, HttpStatusClass::kOther},
    };
    for (const auto& [code, expected] : cases) EXPECT_EQ(ClassifyHttpStatus(code), expected) << code;
}

TEST(HttpResponseTest, FileSizeFromContentRangeElseContentLength) {
    struct Case {
        const char* lines;
        int64_t size;
        bool lengthUnknown;
    };
    const Case cases[] = {
        {"Content-Range: bytes 0-99/5000\r\n", 5000, false},
        {"Content-Length: 5000\r\n", 5000, false},
        {"Content-Range: bytes 0-99/5000\r\nContent-Length: 100\r\n", 5000, false},
        {"Content-Length: 100\r\nContent-Range: bytes 0-99/5000\r\n", 5000, false},
        {"Content-Range: bytes 0-99\r\nContent-Length: 100\r\n", 0, false},
        {"Content-Range: bytes 0-99/*\r\n", 0, false},
        {"content-length:   42  \r\n", 42, false},
        {"Content-Length: 9223372036854775807\r\n", std::numeric_limits<int64_t>::max(), false},
        {"", 0, true},
        // Out of range, signed or mixed numbers are refused, never wrapped or cut.
        {"Content-Length: 9223372036854775808\r\n", 0, true},
        {"Content-Length: 18446744073709556616\r\n", 0, true},
        {"Content-Length: -5\r\n", 0, true},
        {"Content-Length: 5x\r\n", 0, true},
        {"Content-Length: 5 000\r\n", 0, true},
        {"Content-Range: bytes 0-99/18446744073709556616\r\n", 0, false},
        {"Content-Range: bytes 0-99/-5000\r\n", 0, false},
    };
    for (const Case& c : cases) {
        const HttpFileSize size = FileSizeFromHeader(ParsedHeader("HTTP/1.1 200 OK\r\n"s + c.lines + "\r\n"));
        EXPECT_EQ(size.size, c.size) << c.lines;
        EXPECT_EQ(size.lengthUnknown, c.lengthUnknown) << c.lines;
    }
}

TEST(HttpResponseTest, ContentRangeStart) {
    const std::pair<const char*, std::optional<int64_t>> cases[] = {
        {"bytes 100-199/5000", 100},
        {"bytes 0-99/5000", 0},
        {"BYTES 1048576-2097151/5000000", 1048576},
        {"bytes=100-199/5000", 100},
        {"100-199/5000", 100},
        {"bytes 100-199/*", 100},
        {"bytes 100-199", 100},
        {"bytes 200-100/5000", std::nullopt},
        {"bytes 0-5000/5000", std::nullopt},
        {"bytes */5000", std::nullopt},
        {"bytes100-199/5000", std::nullopt},
        {"bytes -1-2/5000", std::nullopt},
        {"bytes 99999999999999999999-99999999999999999999/*", std::nullopt},
        {"bytes", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(ContentRangeStart(value), expected) << value;
}

// A ranged request counts as answered only by data at the requested place: a
// 206 whose range starts there, or one that starts a little before it (the
// gap is read and dropped). A 200 starts at byte 0.
TEST(HttpResponseTest, BodyMustStartAtTheRequestedPosition) {
    struct Case {
        const char* header;
        int64_t requested;
        std::optional<int64_t> skip;
    };
    const Case cases[] = {
        {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 1048576-2097151/5000000\r\n", 1048576, 0},
        {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 1000000-2097151/5000000\r\n", 1048576, 48576},
        {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-4999999/5000000\r\n", 1048576, std::nullopt},
        {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 2000000-2097151/5000000\r\n", 1048576, std::nullopt},
        {"HTTP/1.1 206 Partial\r\nContent-Length: 100\r\n", 1048576, std::nullopt},
        {"HTTP/1.1 206 Partial\r\nContent-Range: bytes 0-99/5000\r\n", 0, 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5000000\r\n", 1048576, std::nullopt},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5000000\r\n", 100 * kKiB, 100 * kKiB},
        {"HTTP/1.1 200 OK\r\nContent-Length: 5000000\r\n", 0, 0},
        {"HTTP/1.1 204 No Content\r\n", 0, std::nullopt},
        {"Content-Length: 5000000\r\n", 0, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BytesBeforeRequestedStart(ParsedHeader(c.header + "\r\n"s), c.requested), c.skip)
            << c.header << " at " << c.requested;
    }
}

TEST(HttpResponseTest, FileNameFromContentDisposition) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {R"(attachment; filename="setup.exe"; size=5)", "setup.exe"},
        {R"(attachment; filename="a;b.exe")", "a;b.exe"},
        {R"(attachment; filename="with blank.exe")", "with blank.exe"},
        {R"(attachment; filename="unterminated.exe)", "unterminated.exe"},
        {"attachment; filename=setup.exe", "setup.exe"},
        {"attachment; filename=setup.exe ; size=5", "setup.exe"},
        {"attachment; FileName=Setup.EXE", "Setup.EXE"},
        {R"(attachment; filename="../../home/user/.profile")", ".profile"},
        {R"(attachment; filename="C:\Windows\evil.exe")", "evil.exe"},
        {R"(attachment; filename="..")", std::nullopt},
        {R"(attachment; filename="")", std::nullopt},
        {"attachment; filename=", std::nullopt},
        {"attachment; filename=\"a\x01" "b\"", std::nullopt},
        {"inline", std::nullopt},
        {"attachment; filename*=UTF-8''setup.exe", std::nullopt},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(FileNameFromDisposition(value), expected) << value;
}

TEST(HttpResponseTest, FileNameFromResponse) {
    struct Case {
        const char* lines;
        const char* currentName;
        const char* expected;
    };
    const Case cases[] = {
        {"", "", "index.htm"},
        {"", "setup.exe", "setup.exe"},
        {"Content-Disposition: attachment; filename=\"new.exe\"\r\n", "setup.exe", "new.exe"},
        {"Content-Disposition: attachment; filename=\"new.exe\"\r\n", "", "new.exe"},
        {"Content-Disposition: inline\r\n", "setup.exe", "setup.exe"},
        {"Content-Disposition: inline\r\n", "", "index.htm"},
    };
    for (const Case& c : cases) {
        const QHttpHeader header = ParsedHeader("HTTP/1.1 200 OK\r\n"s + c.lines + "\r\n");
        EXPECT_EQ(FileNameFromResponse(header, c.currentName), c.expected) << c.lines << " / " << c.currentName;
    }
}

TEST(HttpResponseTest, FileVersionPrefersTheETag) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"ETag: \"5f1-2a\"\r\nLast-Modified: Thu, 10 Dec 2026 10:00:00 GMT\r\n", "\"5f1-2a\""},
        {"Last-Modified: Thu, 10 Dec 2026 10:00:00 GMT\r\n", "Thu, 10 Dec 2026 10:00:00 GMT"},
        {"ETag:   W/\"x\"  \r\n", "W/\"x\""},
    };
    for (const auto& [lines, expected] : cases) {
        const QHttpHeader header = ParsedHeader("HTTP/1.1 200 OK\r\n"s + lines + "\r\n");
        EXPECT_EQ(FileVersionOf(header), expected) << lines;
    }
}

TEST(HttpResponseTest, AnHtmlPageIsNotTheFileUnlessAPageWasAskedFor) {
    struct Case {
        const char* type;
        const char* path;
        bool notTheFile;
    };
    const Case cases[] = {
        {"text/html; charset=utf-8", "/pub/setup.exe", true},
        {"TEXT/HTML", "/setup.exe?mirror=2", true},
        {"text/html", "/docs/index.html", false},
        {"text/html", "/", false},
        {"application/octet-stream", "/setup.exe", false},
        {nullptr, "/setup.exe", false},
    };
    for (const Case& c : cases) {
        const std::string lines = c.type ? "Content-Type: "s + c.type + "\r\n" : ""s;
        const QHttpHeader header = ParsedHeader("HTTP/1.1 200 OK\r\n" + lines + "\r\n");
        EXPECT_EQ(IsHtmlInsteadOfFile(header, c.path), c.notTheFile) << lines << c.path;
    }
}

TEST(HttpResponseTest, ABodyCodedBeyondChunkedFramingIsNamed) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"", std::nullopt},
        {"Content-Encoding: identity\r\n", std::nullopt},
        {"Transfer-Encoding: chunked\r\n", std::nullopt},
        {"Transfer-Encoding: identity, Chunked\r\n", std::nullopt},
        {"Content-Encoding: gzip\r\n", "Content-Encoding: gzip"},
        {"content-encoding:  BR \r\n", "Content-Encoding: BR"},
        {"Content-Encoding: identity, deflate\r\n", "Content-Encoding: identity, deflate"},
        {"Transfer-Encoding: gzip, chunked\r\n", "Transfer-Encoding: gzip, chunked"},
        // Shown to the user: no control bytes, and not without end.
        {"Content-Encoding: x\x1b[2J\r\n", "Content-Encoding: x?[2J"},
        {"Content-Encoding: " + std::string(100, 'z') + "\r\n", "Content-Encoding: " + std::string(40, 'z') + "..."},
    };
    for (const auto& [lines, expected] : cases) {
        const QHttpHeader header = ParsedHeader("HTTP/1.1 200 OK\r\n" + lines + "\r\n");
        EXPECT_EQ(UnsupportedBodyCoding(header), expected) << lines;
    }
}

// ---- stream rules -----------------------------------------------------------

TEST(SourceRateWatchTest, AWindowUnderTheLeastRateIsTooSlow) {
    using Verdict = SourceRateWatch::Verdict;
    constexpr int64_t kStart = 1'700'000'000;
    const auto runWindow = [&](SourceRateWatch& watch, uint64_t& received, uint64_t perSecond) {
        Verdict verdict = Verdict::kWatching;
        for (int64_t second = 1; second <= SourceRateWatch::kWindowSeconds; ++second) {
            received += perSecond;
            verdict = watch.Observe(kStart + second, received);
            if (second < SourceRateWatch::kWindowSeconds) {
                EXPECT_EQ(verdict, Verdict::kWatching) << second;
            }
        }
        return verdict;
    };
    for (const auto& [perSecond, expected] : {std::pair{uint64_t{1024}, Verdict::kKeptUp},
                                              std::pair{uint64_t{1023}, Verdict::kTooSlow},
                                              std::pair{uint64_t{0}, Verdict::kTooSlow}}) {
        SourceRateWatch watch;
        uint64_t received = 500;
        watch.Restart(kStart, received);
        EXPECT_EQ(runWindow(watch, received, perSecond), expected) << perSecond;
        if (expected == Verdict::kTooSlow) {
            EXPECT_EQ(watch.WindowBytes(), perSecond * SourceRateWatch::kWindowSeconds);
        }
    }
}

TEST(SourceRateWatchTest, GapsCountAsOneSecondAndRestartsOpenANewWindow) {
    using Verdict = SourceRateWatch::Verdict;
    constexpr int64_t kStart = 1'700'000'000;
    SourceRateWatch watch;
    watch.Restart(kStart, 0);
    // The clock jumps by a minute: the source could not be read meanwhile.
    EXPECT_EQ(watch.Observe(kStart + 60, 10), Verdict::kWatching);
    // Many steps within one second count once.
    for (int step = 0; step < 100; ++step) EXPECT_EQ(watch.Observe(kStart + 60, 10), Verdict::kWatching);
    for (int64_t second = 61; second < 60 + SourceRateWatch::kWindowSeconds - 1; ++second)
        EXPECT_EQ(watch.Observe(kStart + second, 10), Verdict::kWatching) << second;
    EXPECT_EQ(watch.Observe(kStart + 59 + SourceRateWatch::kWindowSeconds, 10), Verdict::kTooSlow);
    // A restart (the job's own budget held the source back) forgets the slow seconds.
    watch.Restart(kStart + 100, 10);
    EXPECT_EQ(watch.Observe(kStart + 100 + SourceRateWatch::kWindowSeconds - 1, 10), Verdict::kWatching);
    EXPECT_EQ(watch.Observe(kStart + 100 + SourceRateWatch::kWindowSeconds, 10), Verdict::kWatching)
        << "one gap of many seconds is one second";
    // A reopened connection whose count starts again is not slow for it.
    SourceRateWatch reopened;
    reopened.Restart(kStart, 1'000'000);
    EXPECT_EQ(reopened.Observe(kStart + 1, 5), Verdict::kWatching);
}

TEST(HttpStreamRulesTest, TimesOutAfterTheSilenceLimit) {
    struct Case {
        bool headerComplete;
        int32_t rate;
        int64_t silentSeconds;
        bool timedOut;
    };
    const Case cases[] = {
        {false, 0, 15, false},   {false, 0, 16, true},    {true, 0, 30, false},
        {true, 0, 31, true},     {false, 1, 30, false},   {false, 1, 31, true},
        {true, 2047, 60, false}, {true, 2047, 61, true},  {true, 2048, 31, true},
        {true, 100000, 31, true}, {false, -1, 16, true},  {true, 500, -5, false},
    };
    const int64_t lastActivity = 1'700'000'000;
    for (const Case& c : cases) {
        EXPECT_EQ(IsHttpTimedOut(c.headerComplete, c.rate, lastActivity, lastActivity + c.silentSeconds), c.timedOut)
            << "header " << c.headerComplete << " rate " << c.rate << " silent " << c.silentSeconds;
    }
}

TEST(HttpStreamRulesTest, ReadsOnToNearBlocksAndRestartsForOthers) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    struct Case {
        int64_t wanted;
        int64_t stream;
        HttpStreamDecision decision;
    };
    const Case cases[] = {
        {1048576, 1048576, HttpStreamDecision::kReadOn},
        {1048576 + 100 * kKiB, 1048576, HttpStreamDecision::kReadOn},
        {128 * kKiB, 0, HttpStreamDecision::kReadOn},
        {128 * kKiB + 1, 0, HttpStreamDecision::kRestart},
        {1048576 + 200 * kKiB, 1048576, HttpStreamDecision::kRestart},
        {1048576 - 16384, 1048576, HttpStreamDecision::kRestart},
        {kMax, 0, HttpStreamDecision::kRestart},
        {std::numeric_limits<int64_t>::min(), kMax, HttpStreamDecision::kRestart},
        {0, -1, HttpStreamDecision::kRestart},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DecideHttpStream(c.wanted, c.stream), c.decision) << c.wanted << " from " << c.stream;
    }
}

TEST(HttpStreamRulesTest, LeadingRunLength) {
    auto blocks = [](std::initializer_list<int32_t> numbers) {
        std::vector<BlockRequest> pending;
        for (const int32_t number : numbers) {
            BlockRequest request;
            request.block = number;
            pending.push_back(request);
        }
        return pending;
    };
    constexpr int32_t kMaxBlock = std::numeric_limits<int32_t>::max();
    const std::pair<std::vector<BlockRequest>, int32_t> cases[] = {
        {blocks({}), 0},
        {blocks({5}), 1},
        {blocks({5, 6, 7, 9, 10}), 3},
        {blocks({5, 5, 6}), 1},
        {blocks({7, 6}), 1},
        {blocks({kMaxBlock, std::numeric_limits<int32_t>::min()}), 1},
    };
    for (const auto& [pending, run] : cases) EXPECT_EQ(LeadingRunLength(pending), run);
}

TEST(HttpStreamRulesTest, ARequestAsksForAboutTwoSecondsWithinTheRangeAndTheFile) {
    constexpr int64_t kMiB = 1024 * kKiB;
    EXPECT_EQ(HttpRequestChunkBytes(0), 2 * kMiB) << "a modest first chunk";
    EXPECT_EQ(HttpRequestChunkBytes(100 * 1024), kMiB) << "never below 1 MiB";
    EXPECT_EQ(HttpRequestChunkBytes(3 * 1024 * 1024), 6 * kMiB);
    EXPECT_EQ(HttpRequestChunkBytes(3 * 1024 * 1024 + 1000), 6 * kMiB) << "whole blocks only";
    EXPECT_EQ(HttpRequestChunkBytes(3 * 1024 * 1024 + 8192), 6 * kMiB + 16 * kKiB);
    EXPECT_EQ(HttpRequestChunkBytes(std::numeric_limits<int32_t>::max()), 64 * kMiB) << "never above 64 MiB";

    struct Case {
        int64_t start, chunk, rangeEnd, fileSize, end;
    };
    const Case cases[] = {
        {0, 2 * kMiB, 0, 0, 2 * kMiB},                // nothing known: one chunk
        {0, 2 * kMiB, kMiB, 10 * kMiB, kMiB},         // the range ends first
        {5 * kMiB, 8 * kMiB, 0, 6 * kMiB, 6 * kMiB},  // the file ends first
        {5 * kMiB, kMiB, 4 * kMiB, 0, 6 * kMiB},      // a range behind the start does not count
        {7, 0, 0, 0, 8},                              // never empty
    };
    for (const Case& c : cases)
        EXPECT_EQ(HttpPlannedRequestEnd(c.start, c.chunk, c.rangeEnd, c.fileSize), c.end) << c.start << " " << c.rangeEnd;
}

TEST(HttpStreamRulesTest, ARunEndsWithTheLastWholeBlockOfTheBody) {
    const std::vector<BlockRequest> pending = {{4, 16384, 0}, {5, 16384, 0}, {6, 100, 0}};
    EXPECT_EQ(RunLengthWithin(pending, 3, 7 * 16384), 3);
    EXPECT_EQ(RunLengthWithin(pending, 3, 6 * 16384 + 100), 3);
    EXPECT_EQ(RunLengthWithin(pending, 3, 6 * 16384 + 99), 2);
    EXPECT_EQ(RunLengthWithin(pending, 2, 7 * 16384), 2);
    EXPECT_EQ(RunLengthWithin(pending, 3, 5 * 16384 - 1), 0);
}

TEST(HttpResponseTest, TheBodyFramingSaysWhetherTheConnectionCarriesAnotherRequest) {
    struct Case {
        const char* head;
        std::optional<int64_t> framedLength;
        bool chunked;
        bool anotherRequest;
    };
    const Case cases[] = {
        {"HTTP/1.1 206 Partial\r\nContent-Length: 100\r\n", 100, false, true},
        {"HTTP/1.1 206 Partial\r\nContent-Length: 100\r\nConnection: close\r\n", 100, false, false},
        {"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n", 100, false, false},
        {"HTTP/1.0 200 OK\r\nContent-Length: 100\r\nConnection: Keep-Alive\r\n", 100, false, true},
        // Only the server's close ends this body.
        {"HTTP/1.1 200 OK\r\n", std::nullopt, false, false},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n", std::nullopt, true, true},
        // With a coding, Content-Length does not frame the body.
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\nContent-Length: 5\r\n", std::nullopt, true, true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n", std::nullopt, false, false},
    };
    for (const Case& c : cases) {
        const QHttpHeader header = ParsedHeader(std::string(c.head) + "\r\n");
        EXPECT_EQ(FramedBodyLength(header), c.framedLength) << c.head;
        EXPECT_EQ(IsChunkedBody(header), c.chunked) << c.head;
        EXPECT_EQ(AllowsAnotherRequest(header), c.anotherRequest) << c.head;
    }
}

}  // namespace
}  // namespace veldmoor
