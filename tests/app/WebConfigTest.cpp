// Building the browser command for a device's administration page.
#include <app/WebConfig.h>

#include <gtest/gtest.h>

namespace {

using Args = std::vector<std::string>;

TEST(WebConfig, UrlKeepsHostsAndPortsAndEncodesWhatCouldRedirectIt)
{
    EXPECT_EQ(MakeAdminUrl("10.0.0.7"), "http://10.0.0.7/admin");
    EXPECT_EQ(MakeAdminUrl("grabber.lan:8080"), "http://grabber.lan:8080/admin");
    EXPECT_EQ(MakeAdminUrl("[fe80::1]:81"), "http://[fe80::1]:81/admin");
    // Text that would move the browser to another host, path or fragment stays inside
    // the host part, encoded.
    EXPECT_EQ(MakeAdminUrl("grabber@evil.example"), "http://grabber%40evil.example/admin");
    EXPECT_EQ(MakeAdminUrl("evil.example/x?y#"), "http://evil.example%2Fx%3Fy%23/admin");
    EXPECT_EQ(MakeAdminUrl("a b\"%\t\xC3\xA9"), "http://a%20b%22%25%09%C3%A9/admin");
}

TEST(WebConfig, PercentOneIsReplacedOtherwiseTheUrlIsAppended)
{
    const std::string url = "http://10.0.0.7:81/admin";
    auto launch = BuildBrowserLaunch("/usr/bin/browser %1", url);
    ASSERT_TRUE(launch);
    EXPECT_EQ(launch->program, "/usr/bin/browser");
    EXPECT_EQ(launch->argv, (Args{"/usr/bin/browser", url}));

    launch = BuildBrowserLaunch("  /usr/bin/browser --flag", url);
    ASSERT_TRUE(launch);
    EXPECT_EQ(launch->argv, (Args{"/usr/bin/browser", "--flag", url}));

    // Only the first "%1" is replaced; "%1" glued to other text is replaced in place.
    launch = BuildBrowserLaunch("b --url=%1 %1", url);
    ASSERT_TRUE(launch);
    EXPECT_EQ(launch->argv, (Args{"b", "--url=" + url, "%1"}));

    // A "%" not followed by "1" counts as no insert.
    launch = BuildBrowserLaunch("b %2", url);
    ASSERT_TRUE(launch);
    EXPECT_EQ(launch->argv, (Args{"b", "%2", url}));
}

TEST(WebConfig, QuotedProgramAndOddCommands)
{
    const std::string url = "http://h/admin";
    auto launch = BuildBrowserLaunch("\"/opt/My Browser/run\" \"%1\"", url);
    ASSERT_TRUE(launch);
    EXPECT_EQ(launch->program, "/opt/My Browser/run");
    EXPECT_EQ(launch->argv, (Args{"/opt/My Browser/run", url}));

    // "%1" as the very first characters is not an insert: the URL is appended.
    launch = BuildBrowserLaunch("%1", url);
    ASSERT_TRUE(launch);
    EXPECT_EQ(launch->argv, (Args{"%1", url}));

    EXPECT_FALSE(BuildBrowserLaunch("", url));
    EXPECT_FALSE(BuildBrowserLaunch("   \t ", url));
    EXPECT_FALSE(BuildBrowserLaunch("\"\" %1", url));
}

TEST(WebConfig, UrlWithSpacesStaysOneArgument)
{
    const std::string url = MakeAdminUrl("a b\"c");
    auto launch = BuildBrowserLaunch("browser \"%1\" --x", url);
    ASSERT_TRUE(launch);
    EXPECT_EQ(launch->argv, (Args{"browser", url, "--x"}));
    EXPECT_EQ(DefaultBrowserLaunch(url).argv, (Args{"xdg-open", url}));
}

}  // namespace
