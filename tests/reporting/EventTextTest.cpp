#include <gtest/gtest.h>

#include "reporting/EventText.h"
#include "reporting/SystemInfo.h"
#include "tests/reporting/ReportingTestSupport.h"

namespace veldmoor::reporting {
namespace {

const EventIdentity kIdentity{"772", "1.0.3.7", "v0.122.13.20", "1"};

// The fragment of an event that carries nothing but the identity.
const std::string kEmptyFragment =
    R"(,"DVersion":"1.8","GameID":"772","AppVersion":"1.0.3.7","GVersion":"v0.122.13.20","Dchannel":"1",)"
    R"("Serverip":"","Httpresult":"","Totaltime":"0","Intime":"0","Totalbytes":"0","Intotalbytes":"0",)"
    R"("Averagespeed":"0","Progress":"","Httptotalbytes":"0","Inhttptotalbytes":"0","Httpaveragespeed":"0",)"
    R"("P2ptotalbytes":"0","Inp2ptotalbytes":"0","P2paveragespeed":"0","Corruptpakid":"0","Filename":"",)"
    R"("Url":"","Errormsg":"")";

struct FragmentCase {
    const char* name;
    EventFields fields;
    std::string expected;
};

EventFields Progress(uint64_t seconds, uint64_t bytes, uint64_t speed, const char* progress, uint64_t http,
                     uint64_t httpSpeed, uint64_t peer, uint64_t peerSpeed) {
    EventFields fields;
    fields.totalSeconds = seconds;
    fields.totalBytes = bytes;
    fields.averageSpeed = speed;
    fields.progressText = progress;
    fields.httpBytes = http;
    fields.httpAverageSpeed = httpSpeed;
    fields.peerBytes = peer;
    fields.peerAverageSpeed = peerSpeed;
    return fields;
}

TEST(EventTextTest, FragmentsOfASequenceOfEventsMatchTextsBuiltByHand) {
    EventFields pieceCheck;
    pieceCheck.serverAddress = "btnode://10.0.0.5:6881";
    pieceCheck.corruptPiece = 37;
    pieceCheck.fileName = "Emberhold Setup.exe";
    EventFields quoted;
    quoted.fileName = "C:\\Games\\安装.exe";
    quoted.errorText = "say \"hi\"\tthen\nstop \x01 100%";
    EventFields badBytes;
    badBytes.errorText = "bad \xFF\xC3 end";

    // One growth memory across the table: the order of the rows matters.
    const std::vector<FragmentCase> cases = {
        {"simple event", {}, kEmptyFragment},
        {"first progress",
         Progress(10, 1000, 100, "12.34%", 600, 60, 400, 40),
         R"(,"DVersion":"1.8","GameID":"772","AppVersion":"1.0.3.7","GVersion":"v0.122.13.20","Dchannel":"1",)"
         R"("Serverip":"","Httpresult":"","Totaltime":"10","Intime":"10","Totalbytes":"1000","Intotalbytes":"1000",)"
         R"("Averagespeed":"100","Progress":"12.34%","Httptotalbytes":"600","Inhttptotalbytes":"600","Httpaveragespeed":"60",)"
         R"("P2ptotalbytes":"400","Inp2ptotalbytes":"400","P2paveragespeed":"40","Corruptpakid":"0","Filename":"",)"
         R"("Url":"","Errormsg":"")"},
        {"zeros between leave the memory alone", {}, kEmptyFragment},
        {"second progress ten seconds later",
         Progress(20, 3000, 150, "45%", 1000, 50, 2000, 100),
         R"(,"DVersion":"1.8","GameID":"772","AppVersion":"1.0.3.7","GVersion":"v0.122.13.20","Dchannel":"1",)"
         R"("Serverip":"","Httpresult":"","Totaltime":"20","Intime":"10","Totalbytes":"3000","Intotalbytes":"2000",)"
         R"("Averagespeed":"150","Progress":"45%","Httptotalbytes":"1000","Inhttptotalbytes":"400","Httpaveragespeed":"50",)"
         R"("P2ptotalbytes":"2000","Inp2ptotalbytes":"1600","P2paveragespeed":"100","Corruptpakid":"0","Filename":"",)"
         R"("Url":"","Errormsg":"")"},
        {"no growth gives 0",
         Progress(20, 3000, 150, "45%", 1000, 50, 2000, 100),
         R"(,"DVersion":"1.8","GameID":"772","AppVersion":"1.0.3.7","GVersion":"v0.122.13.20","Dchannel":"1",)"
         R"("Serverip":"","Httpresult":"","Totaltime":"20","Intime":"0","Totalbytes":"3000","Intotalbytes":"0",)"
         R"("Averagespeed":"150","Progress":"45%","Httptotalbytes":"1000","Inhttptotalbytes":"0","Httpaveragespeed":"50",)"
         R"("P2ptotalbytes":"2000","Inp2ptotalbytes":"0","P2paveragespeed":"100","Corruptpakid":"0","Filename":"",)"
         R"("Url":"","Errormsg":"")"},
        {"piece check",
         pieceCheck,
         R"(,"DVersion":"1.8","GameID":"772","AppVersion":"1.0.3.7","GVersion":"v0.122.13.20","Dchannel":"1",)"
         R"("Serverip":"btnode://10.0.0.5:6881","Httpresult":"","Totaltime":"0","Intime":"0","Totalbytes":"0",)"
         R"("Intotalbytes":"0","Averagespeed":"0","Progress":"","Httptotalbytes":"0","Inhttptotalbytes":"0",)"
         R"("Httpaveragespeed":"0","P2ptotalbytes":"0","Inp2ptotalbytes":"0","P2paveragespeed":"0","Corruptpakid":"37",)"
         R"("Filename":"Emberhold Setup.exe","Url":"","Errormsg":"")"},
        {"quotes, backslashes, controls and non-ASCII are escaped",
         quoted,
         R"(,"DVersion":"1.8","GameID":"772","AppVersion":"1.0.3.7","GVersion":"v0.122.13.20","Dchannel":"1",)"
         R"("Serverip":"","Httpresult":"","Totaltime":"0","Intime":"0","Totalbytes":"0","Intotalbytes":"0",)"
         R"("Averagespeed":"0","Progress":"","Httptotalbytes":"0","Inhttptotalbytes":"0","Httpaveragespeed":"0",)"
         R"("P2ptotalbytes":"0","Inp2ptotalbytes":"0","P2paveragespeed":"0","Corruptpakid":"0",)"
         R"("Filename":"C:\\Games\\安装.exe","Url":"","Errormsg":"say \"hi\"\tthen\nstop \u0001 100%")"},
        {"bytes that are not UTF-8 become U+FFFD",
         badBytes,
         R"(,"DVersion":"1.8","GameID":"772","AppVersion":"1.0.3.7","GVersion":"v0.122.13.20","Dchannel":"1",)"
         R"("Serverip":"","Httpresult":"","Totaltime":"0","Intime":"0","Totalbytes":"0","Intotalbytes":"0",)"
         R"("Averagespeed":"0","Progress":"","Httptotalbytes":"0","Inhttptotalbytes":"0","Httpaveragespeed":"0",)"
         R"("P2ptotalbytes":"0","Inp2ptotalbytes":"0","P2paveragespeed":"0","Corruptpakid":"0","Filename":"",)"
         R"("Url":"","Errormsg":"bad �� end")"},
    };
    GrowthMemory growth;
    for (const FragmentCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FormatFragment(kIdentity, c.fields, growth.Take(c.fields)), c.expected);
    }
}

TEST(EventTextTest, EventTextWrapsTheInformationObjectWithAndWithoutHardware) {
    const SystemDescription system = test::FixedSystem();
    EXPECT_EQ(BuildEventText(InformationObjectText(system, 0, "1A2B3C4D"), kEmptyFragment),
              "{{\"Mac\":\"02-fc-00-00-00-01;8e-af-2c-60-61-a3\",\"MachId\":\"0123456789ABCDEF\",\"OS\":\"61120641\","
              "\"Sessionid\":\"1A2B3C4D\"}\n" + kEmptyFragment + "}");
    EXPECT_EQ(InformationObjectText(system, kHardwareAll, "1A2B3C4D"),
              "{\"CPU\":{\"CPU\":[{\"CPU_Architecture\":\"x64\",\"CPU_Manufacturer\":\"AuthenticAMD\","
              "\"CPU_Name\":\"AMD EPYC\",\"CPU_Type\":\"Central Processor\"}]},"
              "\"Mac\":\"02-fc-00-00-00-01;8e-af-2c-60-61-a3\",\"MachId\":\"0123456789ABCDEF\","
              "\"Memory\":{\"Memory\":[],\"Memory_Total_Capacity\":\"8589934592\"},\"OS\":\"61120641\","
              "\"Sessionid\":\"1A2B3C4D\",\"Video_Card\":{\"Video_Card\":[]}}\n");
    EXPECT_EQ(InformationObjectText(system, kHardwareMemory, "1A2B3C4D"),
              "{\"Mac\":\"02-fc-00-00-00-01;8e-af-2c-60-61-a3\",\"MachId\":\"0123456789ABCDEF\","
              "\"Memory\":{\"Memory\":[],\"Memory_Total_Capacity\":\"8589934592\"},\"OS\":\"61120641\","
              "\"Sessionid\":\"1A2B3C4D\"}\n");
}

TEST(EventTextTest, BatchBodyIsTheUrlEncodedCompactArray) {
    // [{"code":"11030000","info":"a \"b\" \u4e2d %_\n"}] and the writer's line break.
    EXPECT_EQ(BuildBatchBody({{"11030000", "a \"b\" 中 %_\n"}}),
              "data=%5B%7B%22code%22%3A%2211030000%22%2C%22info%22%3A%22a_%5C%22b%5C%22_%5Cu4e2d_%25%5F%5Cn%22%7D%5D%0A");
    EXPECT_EQ(BuildBatchBody({{"1", "x"}, {"2", "y"}}),
              "data=%5B%7B%22code%22%3A%221%22%2C%22info%22%3A%22x%22%7D%2C%7B%22code%22%3A%222%22%2C%22info%22%3A%22y%22%7D%5D%0A");
    EXPECT_EQ(UrlEncode("Az09 _%é"), "Az09_%5F%25%C3%A9");
}

TEST(EventTextTest, WholeBatchOfOneEventMatchesTextBuiltByHand) {
    const std::string info = BuildEventText(InformationObjectText(test::FixedSystem(), 0, "1A2B3C4D"), kEmptyFragment);
    // The JSON string of the info: quotes escaped, the line break as \n.
    std::string quotedInfo;
    for (const char c : info) {
        if (c == '"') quotedInfo += "\\\"";
        else if (c == '\n') quotedInfo += "\\n";
        else quotedInfo += c;
    }
    const std::string array = "[{\"code\":\"11030000\",\"info\":\"" + quotedInfo + "\"}]\n";
    EXPECT_EQ(BuildBatchBody({{"11030000", info}}), "data=" + UrlEncode(array));
}

TEST(SystemInfoTest, IdentifiersAddressesAndDescriptorFollowTheirForms) {
    EXPECT_EQ(MachineIdNoticeText("0123456789ABCDEF"), "0x01234567, 0x89ABCDEF");
    EXPECT_EQ(MachineIdNoticeText("0123456789ABCDE"), "");
    EXPECT_EQ(FormatAdapterAddresses({{0x02, 0xfc, 0, 0, 0, 1}, {0x8e, 0xaf, 0x2c, 0x60, 0x61, 0xa3}}),
              "02-fc-00-00-00-01;8e-af-2c-60-61-a3");
    EXPECT_EQ(FormatAdapterAddresses({}), "");

    const std::string id = MachineIdFrom("3d1219c7c4c5404aaa1f6d2a48adfda4");
    EXPECT_EQ(id.size(), 16u);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(id, MachineIdFrom("3d1219c7c4c5404aaa1f6d2a48adfda4"));
    EXPECT_EQ(id.find("3D1219C7"), std::string::npos) << "the raw installation id must not show through";
    EXPECT_NE(id, MachineIdFrom("3d1219c7c4c5404aaa1f6d2a48adfda5"));
    EXPECT_EQ(MachineIdFrom(""), "0000000000000000");

    EXPECT_EQ(OsDescriptor("6.1.0-18-amd64", "12", "x86_64", "en"), "61120641");
    EXPECT_EQ(OsDescriptor("5.15.0", "22.04", "i686", "zh"), "515224320");
    EXPECT_EQ(OsDescriptor("", "", "armv7l", "ru"), "0000322");
}

TEST(SystemInfoTest, ThisMachineIsDescribed) {
    const SystemDescription& system = ThisSystem();
    EXPECT_EQ(system.machineId.size(), 16u);
    EXPECT_FALSE(system.osDescriptor.empty());
    ASSERT_TRUE(system.processor["CPU"].isArray());
    EXPECT_GE(system.processor["CPU"].size(), 1u);
    EXPECT_NE(system.memory["Memory_Total_Capacity"].asString(), "");
}

}  // namespace
}  // namespace veldmoor::reporting
