#include "netenv/DeviceInformation.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/netenv/UpnpFakes.h"

namespace veldmoor {
namespace {

std::string DeviceWithLists(int services, int children) {
    std::string document = "<root><device><friendlyName>R</friendlyName><serviceList>";
    for (int i = 0; i < services; ++i) document += "<service/>";
    document += "</serviceList><deviceList>";
    for (int i = 0; i < children; ++i) document += "<device/>";
    return document + "</deviceList></device></root>";
}

TEST(DeviceInformationTest, ReadsTheRootDeviceOfTheDescription) {
    const DeviceInformation device = ReadDeviceInformation(test::kRouterDescription, test::kRouterDescriptionUrl);
    EXPECT_EQ(device.FriendlyName(), "Test Router");
    EXPECT_EQ(device.Get(DeviceProperty::kDeviceType), "urn:schemas-upnp-org:device:InternetGatewayDevice:1");
    EXPECT_EQ(device.Get(DeviceProperty::kUniqueDeviceName), "uuid:11111111-2222-3333-4444-555555555555");
    EXPECT_EQ(device.Get(DeviceProperty::kManufacturerName), "Example Networks");
    EXPECT_EQ(device.Get(DeviceProperty::kManufacturerUrl), "http://example.com/");
    EXPECT_EQ(device.Get(DeviceProperty::kModelName), "EX-1");
    EXPECT_EQ(device.Get(DeviceProperty::kModelNumber), "7");
    EXPECT_EQ(device.Get(DeviceProperty::kModelDescription), "Home gateway");
    EXPECT_EQ(device.Get(DeviceProperty::kSerialNumber), "00001");
    EXPECT_EQ(device.Get(DeviceProperty::kUpc), "");
    EXPECT_EQ(device.Get(DeviceProperty::kPresentationUrl), "http://192.168.1.1:5000/");
    // Only the GIF icon counts, relative to the description's folder.
    EXPECT_EQ(device.Get(DeviceProperty::kIconUrl), "http://192.168.1.1:5000/desc/images/icon.gif");
    EXPECT_EQ(device.Get(DeviceProperty::kChildren), "Yes: One child");
    EXPECT_EQ(device.Get(DeviceProperty::kServices), "Yes: One service");
    EXPECT_EQ(device.Get(DeviceProperty::kTopmost), "This is a topmost device");
    EXPECT_EQ(device.Get(DeviceProperty::kDescriptionUrl), test::kRouterDescriptionUrl);
    EXPECT_EQ(device.Get(DeviceProperty::kSpecVersion), "1.0");
}

TEST(DeviceInformationTest, CountTextsForServicesAndChildren) {
    const struct {
        int count;
        const char* services;
        const char* children;
    } cases[] = {
        {0, "No: Zero services", "No: Zero children"},
        {1, "Yes: One service", "Yes: One child"},
        {3, "Yes: 3 services", "Yes: 3 children"},
    };
    for (const auto& c : cases) {
        const DeviceInformation device = ReadDeviceInformation(DeviceWithLists(c.count, c.count), "http://h/d.xml");
        EXPECT_EQ(device.Get(DeviceProperty::kServices), c.services);
        EXPECT_EQ(device.Get(DeviceProperty::kChildren), c.children);
    }
}

TEST(DeviceInformationTest, UrlBaseWinsOverTheDescriptionAddress) {
    const DeviceInformation device = ReadDeviceInformation(
        "<root><URLBase>http://10.0.0.1:80/base/</URLBase><device><presentationURL>ui</presentationURL>"
        "<iconList><icon><mimetype>image/gif</mimetype><url>/i.gif</url></icon></iconList></device></root>",
        "http://10.0.0.1:5000/root.xml");
    EXPECT_EQ(device.Get(DeviceProperty::kPresentationUrl), "http://10.0.0.1:80/base/ui");
    EXPECT_EQ(device.Get(DeviceProperty::kIconUrl), "http://10.0.0.1:80/i.gif");
    EXPECT_EQ(device.Get(DeviceProperty::kUrlBase), "http://10.0.0.1:80/base/");
}

TEST(DeviceInformationTest, RefusesDocumentsThatAreNoDescription) {
    const std::string oversized =
        "<root><device><friendlyName>" + std::string(DeviceDescription::kMaxDocumentBytes, 'x') +
        "</friendlyName></device></root>";
    for (const std::string& document :
         {std::string(), std::string("not xml"), std::string("<root><device><friendlyName>R</root>"),
          std::string("<root><nodevice/></root>"), oversized}) {
        DeviceDescription description;
        EXPECT_FALSE(description.Parse(document, "http://h/d.xml")) << document.substr(0, 40);
        EXPECT_TRUE(ReadDeviceInformation(document, "http://h/d.xml").FriendlyName().empty());
    }
}

}  // namespace
}  // namespace veldmoor
