// The texts the device list and the add-device dialog show for a device's state, and
// the address texts a user types.
#include <deviceio/DeviceIO.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <clocale>
#include <string>

TEST(StatusTexts, DeviceList)
{
    const VideoMode signal{1280, 1024, 75000}, none{0, 0, 0}, half{1280, 0, 0};
    EXPECT_STREQ(DeviceListStatusText(LoginOpen, true, false, signal), "Device OK");
    EXPECT_STREQ(DeviceListStatusText(LoginAccepted, true, false, none), "No signal");
    EXPECT_STREQ(DeviceListStatusText(LoginAccepted, true, false, half), "No signal");
    EXPECT_STREQ(DeviceListStatusText(LoginError, false, true, none), "Connecting...");
    EXPECT_STREQ(DeviceListStatusText(LoginError, false, false, none), "Not found");
    EXPECT_STREQ(DeviceListStatusText(LoginError, true, false, none), "Login failed");
    EXPECT_STREQ(DeviceListStatusText(LoginDenied, true, false, signal), "Login failed");
    EXPECT_STREQ(DeviceListStatusText(LoginGaveUp, true, false, signal), "Login failed");
    EXPECT_STREQ(DeviceListStatusText(7, true, false, signal), "Not found");
}

TEST(StatusTexts, AddDeviceDialog)
{
    EXPECT_EQ(AddDialogStatusText(LoginOpen, "Tessaline", "TS0001", {1280, 1024, 75000}, ""),
              "Tessaline s/n TS0001 is found and working fine");
    EXPECT_EQ(AddDialogStatusText(LoginAccepted, "Dorrivan", "D9", {0, 0, 0}, "pw"),
              "Dorrivan s/n D9 is found, no signal detected");
    EXPECT_EQ(AddDialogStatusText(LoginError, "x", "y", {}, ""), "Login error");
    EXPECT_EQ(AddDialogStatusText(LoginDenied, "x", "y", {}, ""), "Access denied, password needed");
    EXPECT_EQ(AddDialogStatusText(LoginGaveUp, "x", "y", {}, "secret"), "Login failed");
    EXPECT_EQ(AddDialogStatusText(-1, "x", "y", {}, ""), "Login error");
}

TEST(StatusTexts, ModelNamesAndVideoMode)
{
    EXPECT_STREQ(ModelNameForType(3, "f"), "Tessaline");
    EXPECT_STREQ(ModelNameForType(18, "f"), "Tessaline");
    EXPECT_STREQ(ModelNameForType(13, "f"), "");
    EXPECT_STREQ(ModelNameForType(19, "fallback"), "fallback");
    EXPECT_STREQ(ModelNameForType(0xFFFFFFFF, nullptr), nullptr);
    EXPECT_EQ(FormatVideoMode({1920, 1080, 59940}), "1920x1080 59.9 Hz");
    // The same in a process switched to a comma locale, as the application is.
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr) << "scripts/bootstrap makes the locale";
    EXPECT_EQ(FormatVideoMode({1280, 1024, 75000}), "1280x1024 75.0 Hz");
    EXPECT_EQ(FormatVideoMode({640, 480, 72809}), "640x480 72.8 Hz");
    std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(AddressTexts, ParseAsTheUserTypesThem)
{
    AddressRecord r;
    ASSERT_TRUE(ParseDeviceAddressNumeric("  10.1.2.3", &r));
    EXPECT_EQ(ntohl(r.address), 0x0A010203u);
    EXPECT_EQ(ntohs(r.port), DEFAULT_DEVICE_PORT);
    ASSERT_TRUE(ParseDeviceAddressNumeric("10.1.2.3: 0x1F90 ", &r));
    EXPECT_EQ(ntohs(r.port), 8080);
    ASSERT_TRUE(ParseDeviceAddressNumeric("10.1.2.3:010", &r));
    EXPECT_EQ(ntohs(r.port), 8);
    ASSERT_TRUE(ParseDeviceAddress("localhost:5558", &r));
    EXPECT_EQ(ntohl(r.address), 0x7F000001u);
    for (const char *bad : {"", "   ", ":5557", "10.1.2.3:", "10.1.2.3:0", "10.1.2.3:65536", "10.1.2.3:-1",
                            "10.1.2.3:12 3", "10.1.2.3:09", "10.1.2.3:0x", "10.1.2.3:5557:1"})
        EXPECT_FALSE(ParseDeviceAddressNumeric(bad, &r)) << bad;
}
