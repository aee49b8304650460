// What the update check reads from upgrade.xml and when it offers an update.
#include "settings/update_check.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(ExtractTag, InnerTextAfterTheFirstGreaterThanSign) {
    EXPECT_EQ(extract_tag("version", "<a><version>2.1.0.0</version></a>"), "2.1.0.0");
    EXPECT_EQ(extract_tag("version", "<version kind=\"x\">2.1.0.0</version>"), "2.1.0.0");
    EXPECT_EQ(extract_tag("setup", "<setup></setup>"), "");
    // A prefix match: a longer name that starts with the asked one counts.
    EXPECT_EQ(extract_tag("version", "<versions>1.2</version>"), "1.2");
    // The first opening text wins, even when a later one would fit better.
    EXPECT_EQ(extract_tag("setup", "<setup>a</setup><setup>b</setup>"), "a");
}

TEST(ExtractTag, NothingWithoutOpeningOrClosingTextOrAGreaterThanSignOfItsOwn) {
    EXPECT_EQ(extract_tag("version", "no tags at all"), std::nullopt);
    EXPECT_EQ(extract_tag("version", "<version>2.1.0.0"), std::nullopt);
    EXPECT_EQ(extract_tag("version", "2.1.0.0</version>"), std::nullopt);
    EXPECT_EQ(extract_tag("version", "<version</version>"), std::nullopt);
    EXPECT_EQ(extract_tag("version", "<version 2.1.0.0</version> trailing >"), std::nullopt);
    EXPECT_EQ(extract_tag("version", ""), std::nullopt);
}

TEST(VersionNumber, DottedAddressGrammar) {
    EXPECT_EQ(version_number("2.0.14.0"), 0x02000E00u);
    EXPECT_EQ(version_number("2.1.0.0"), 0x02010000u);
    EXPECT_EQ(version_number("2.0.14.1"), 0x02000E01u);
    // Fewer parts, octal and hexadecimal parts.
    EXPECT_EQ(version_number("2.65536"), 0x02010000u);
    EXPECT_EQ(version_number("0x2.0.016.1"), 0x02000E01u);
    for (const char* bad :
         {"abc", "", "2.0.14.256", "2.0.14.0.1", "255.255.255.255", " 2.1.0.0", "2.1.0.0x"})
        EXPECT_EQ(version_number(bad), 0xFFFFFFFFu) << '"' << bad << '"';
}

TEST(WebAddress, OnlyHttpAndHttpsWithSomethingAfterTheScheme) {
    for (const char* good : {"http://example.test/setup.exe", "https://example.test/q?x=1",
                             "HTTPS://Example.test/Setup.exe"})
        EXPECT_TRUE(is_web_address(good)) << good;
    for (const char* bad : {"file:///usr/bin/xterm", "/usr/bin/xterm", "xterm", "C:\\setup.exe",
                            "ftp://example.test/setup", "http://", " https://example.test/",
                            "https://example.test/\nrm -rf /", "javascript:alert(1)", ""})
        EXPECT_FALSE(is_web_address(bad)) << bad;
}

std::string file_with(const std::string& version, const std::string& setup) {
    return "<?xml version=\"1.0\"?>\n<upgrade>\n  <version>" + version + "</version>\n  <setup>" +
           setup + "</setup>\n</upgrade>\n";
}

TEST(UpdateFile, NewerVersionsWithAWebInstallerAreOffered) {
    const std::string setup = "https://updates.example.test/Quor/Setup 2.1.exe";
    for (const char* newer : {"2.0.14.1", "2.1.0.0", "3.0.0.0"}) {
        UpdateOffer offer;
        ASSERT_EQ(evaluate_update_file(file_with(newer, setup), &offer), 0) << newer;
        EXPECT_EQ(offer.version, newer);
        EXPECT_EQ(offer.setup, setup) << "handed on unchanged";
    }
}

TEST(UpdateFile, NothingIsOfferedForOlderEqualOrInvalidVersionsOrABadInstaller) {
    const std::string setup = "http://updates.example.test/setup.exe";
    const std::string cases[] = {
        file_with("2.0.14.0", setup),
        file_with("2.0.13.9", setup),
        file_with("255.255.255.255", setup),
        file_with("abc", setup),
        // Only digits and dots: what follows a blank would reach the question.
        file_with("9.9.9.9 <a href=\"http://evil.test/\">update</a>", setup),
        file_with("9.9.9.9\n<b>now</b>", setup),
        file_with("0x9.0.0.0", setup),
        file_with("2.1.0.0", ""),
        "<version>2.1.0.0</version>",
        file_with("2.1.0.0", "file:///usr/bin/xterm"),
        file_with("2.1.0.0", "/usr/bin/xterm"),
        "<html><body>404 Not Found</body></html>",
        // The content counts up to its first NUL.
        std::string("<version>2.1.0.0</version>") + '\0' + "<setup>http://x.test/s</setup>",
    };
    for (const std::string& content : cases) {
        UpdateOffer offer;
        EXPECT_EQ(evaluate_update_file(content, &offer), -1) << content;
    }
}

TEST(UpdateLocations, HostFromTheEnvironmentForTestsAndTheTemporaryFolder) {
    unsetenv("QUOR_UPDATE_HOST");
    EXPECT_EQ(update_url(), "http://updates.kestrow.example:8080/Quor/upgrade.xml");
    setenv("QUOR_UPDATE_HOST", "127.0.0.1", 1);
    EXPECT_EQ(update_url(), "http://127.0.0.1:8080/Quor/upgrade.xml");
    unsetenv("QUOR_UPDATE_HOST");
    unsetenv("TMPDIR");
    EXPECT_EQ(update_file_dir(), "/tmp/");
    setenv("TMPDIR", "/var/tmp/me", 1);
    EXPECT_EQ(update_file_dir(), "/var/tmp/me/");
    setenv("TMPDIR", "relative", 1);
    EXPECT_EQ(update_file_dir(), "/tmp/");
    unsetenv("TMPDIR");
}

}  // namespace
