#include <gtest/gtest.h>

#include <string>

#include "tools/veldmoor-statsd/RequestHead.h"

namespace veldmoor::statsd {
namespace {

constexpr size_t kBodyLimit = 1000;

struct HeadCase {
    const char* name;
    std::string head;
    int status;
};

class RequestHeadTest : public testing::TestWithParam<HeadCase> {};

TEST_P(RequestHeadTest, TakesOrRefusesWithTheRightStatus) {
    HttpRequest request;
    size_t contentLength = 7;
    const HeadVerdict verdict = ParseRequestHead(GetParam().head, kBodyLimit, request, contentLength);
    EXPECT_EQ(verdict.status, GetParam().status) << verdict.reason;
    EXPECT_EQ(verdict.reason.empty(), GetParam().status == 0);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Heads, RequestHeadTest,
    testing::Values(
        HeadCase{"Post", "POST /batch HTTP/1.1\r\nHost: a\r\nContent-Length: 12", 0},
        HeadCase{"GetWithoutHostOnOld", "GET /report HTTP/1.0", 0},
        HeadCase{"TabInsideValue", "GET / HTTP/1.1\r\nHost: a\r\nUser-Agent: probe\tone", 0},
        HeadCase{"NulInValue", "GET / HTTP/1.1\r\nHost: a\r\nX-Note: a\0b"s, 400},
        HeadCase{"BellInValue", "GET / HTTP/1.1\r\nHost: a\r\nX-Note: a\ab", 400},
        HeadCase{"BareCarriageReturnInValue", "GET / HTTP/1.1\r\nHost: a\rb", 400},
        HeadCase{"BareLineFeedInValue", "GET / HTTP/1.1\r\nHost: a\nX-Injected: 1", 400},
        HeadCase{"ControlInTarget", "GET /a\x01z HTTP/1.1\r\nHost: a", 400},
        HeadCase{"DeleteInTarget", "GET /a\x7fz HTTP/1.1\r\nHost: a", 400},
        HeadCase{"LowerCaseMethod", "get / HTTP/1.1\r\nHost: a", 400},
        HeadCase{"SpaceBeforeColon", "GET / HTTP/1.1\r\nHost : a", 400},
        HeadCase{"MissingHost", "GET / HTTP/1.1", 400},
        HeadCase{"RepeatedLength", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\ncontent-length: 1", 400},
        HeadCase{"SignedLength", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: +1", 400},
        HeadCase{"PostWithoutLength", "POST / HTTP/1.1\r\nHost: a", 411},
        HeadCase{"Chunked", "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked", 411},
        HeadCase{"BodyOverLimit", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1001", 413},
        HeadCase{"UnknownVersion", "GET / HTTP/2.0", 505}),
    [](const testing::TestParamInfo<HeadCase>& heads) { return std::string(heads.param.name); });

TEST(RequestHeadFieldsTest, NamesAreLowerCaseAndValuesTrimmed) {
    HttpRequest request;
    size_t contentLength = 0;
    ASSERT_EQ(ParseRequestHead("POST /batch?x=1 HTTP/1.1\r\nHOST:  stats \t\r\nContent-Length: 0012", kBodyLimit, request,
                               contentLength)
                  .status,
              0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/batch?x=1");
    EXPECT_EQ(request.headers.at("host"), "stats");
    EXPECT_EQ(contentLength, 12u);
}

}  // namespace
}  // namespace veldmoor::statsd
