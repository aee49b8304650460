// The host simulator's descriptor checkers, on the phone's exact descriptor
// bytes and on damaged copies of them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio_desc.h"
#include "config_desc.h"
#include "hid_report.h"
#include "host_sim_test_device.h"
#include "host_text.h"
#include "usb_descriptors.h"

namespace {

using test_device::configuration;
using test_device::report_descriptor;

const std::map<uint8_t, std::string> STRINGS = {
    {4, "\"Kestrow Q55 Phone\""},
    {5, "\"Kestrow Q55 Audio Capture\""},
    {6, "\"Kestrow Q55 Audio Playback\""},
    {7, "\"HID Interface\""},
};

// Parses a configuration with every check; the failures.
std::vector<std::string> config_failures(const std::vector<uint8_t>& bytes) {
    CheckList checks;
    ConfigDesc config;
    if (parse_config(bytes.data(), bytes.size(), &config, &checks) == 0) {
        AudioFunction audio;
        parse_audio(config, &audio, &checks);
    }
    return checks.failures();
}

// (offset, new value) pairs.
using Patches = std::vector<std::pair<size_t, uint8_t>>;

std::vector<uint8_t> patched(std::vector<uint8_t> bytes, const Patches& patches) {
    for (const auto& [offset, value] : patches) bytes.at(offset) = value;
    return bytes;
}

std::vector<std::string> report_failures(const std::vector<uint8_t>& bytes) {
    CheckList checks;
    HidReportSummary summary;
    parse_hid_report(bytes.data(), bytes.size(), &summary, &checks);
    return checks.failures();
}

// True when one failure contains TEXT.
bool has_failure(const std::vector<std::string>& failures, const std::string& text) {
    for (const std::string& f : failures) {
        if (f.find(text) != std::string::npos) return true;
    }
    return false;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

}  // namespace

TEST(HostSimDeviceDescriptor, PhoneDescriptorPassesAndPrintsItsIdentity) {
    std::vector<uint8_t> d = test_device::device_descriptor();
    DeviceDesc dev;
    CheckList checks;
    ASSERT_EQ(0, parse_device_descriptor(d.data(), d.size(), &dev, &checks));
    EXPECT_TRUE(checks.empty()) << joined(checks.failures());
    EXPECT_EQ("device vid=2f1c pid=0455 bcd=0214 class=00 maxpacket0=64 configs=1",
              format_device(dev));
    EXPECT_EQ(0x0110, dev.bcd_usb);
}

TEST(HostSimDeviceDescriptor, FaultsAreNamed) {
    struct Case {
        Patches patches;
        const char* failure;
    } cases[] = {
        {{{0, 0x11}}, "bLength 17"},
        {{{7, 0x21}}, "bMaxPacketSize0 33"},
        {{{8, 0x00}, {9, 0x00}}, "idVendor 0"},
        {{{17, 0x00}}, "no configuration"},
        {{{3, 0x1A}}, "bcdUSB 1a10"},
        {{{5, 0x01}}, "class 00 with subclass 01"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bad = patched(test_device::device_descriptor(), c.patches);
        DeviceDesc dev;
        CheckList checks;
        ASSERT_EQ(0, parse_device_descriptor(bad.data(), bad.size(), &dev, &checks));
        EXPECT_TRUE(has_failure(checks.failures(), c.failure)) << c.failure << "\n"
                                                               << joined(checks.failures());
    }
    std::vector<uint8_t> d = test_device::device_descriptor();
    DeviceDesc dev;
    CheckList checks;
    EXPECT_EQ(-1, parse_device_descriptor(d.data(), 17, &dev, &checks));
    std::vector<uint8_t> wrong_type = patched(d, {{1, 0x02}});
    EXPECT_EQ(-1, parse_device_descriptor(wrong_type.data(), 18, &dev, &checks));
}

TEST(HostSimDeviceDescriptor, FirstReadMustBeAPrefixOfAtLeastEightBytes) {
    std::vector<uint8_t> d = test_device::device_descriptor();
    CheckList ok, short_read, differs;
    check_device_first_read(d, d, &ok);
    EXPECT_TRUE(ok.empty());
    check_device_first_read(std::vector<uint8_t>(d.begin(), d.begin() + 7), d, &short_read);
    EXPECT_TRUE(has_failure(short_read.failures(), "first read gave 7 bytes"));
    check_device_first_read(patched(d, {{8, 0x99}}), d, &differs);
    EXPECT_TRUE(has_failure(differs.failures(), "byte 8 is 99 in the first read, 1c later"));
}

TEST(HostSimStrings, TextsAreQuotedAndBrokenDescriptorsNamed) {
    std::string text;
    CheckList checks;
    std::vector<uint8_t> s4 = test_device::string_by_index(4);
    ASSERT_EQ(0, parse_string_descriptor(4, s4.data(), s4.size(), &text, &checks));
    EXPECT_EQ("\"Kestrow Q55 Phone\"", text);
    EXPECT_TRUE(checks.empty());

    // '"', '\', e-acute, a control character and a surrogate pair.
    std::vector<uint8_t> odd = {14, 3, '"', 0, '\\', 0, 0xE9, 0, 0x01, 0, 0x3D, 0xD8, 0x00, 0xDE};
    ASSERT_EQ(0, parse_string_descriptor(9, odd.data(), odd.size(), &text, &checks));
    EXPECT_EQ("\"\\\"\\\\\xC3\xA9\\u0001\xF0\x9F\x98\x80\"", text);

    std::vector<uint8_t> truncated(s4.begin(), s4.end() - 2);
    ASSERT_EQ(0, parse_string_descriptor(4, truncated.data(), truncated.size(), &text, &checks));
    EXPECT_EQ("\"Kestrow Q55 Phon\"", text);
    EXPECT_TRUE(has_failure(checks.failures(), "string 4: bLength 36 but 34 bytes received"));

    CheckList bad;
    std::vector<uint8_t> wrong_type = {4, 2, 'A', 0};
    EXPECT_EQ(-1, parse_string_descriptor(5, wrong_type.data(), 4, &text, &bad));
    EXPECT_EQ(-1, parse_string_descriptor(5, wrong_type.data(), 1, &text, &bad));
    EXPECT_EQ(2u, bad.failures().size());
}

TEST(HostSimStrings, LanguageList) {
    std::vector<uint16_t> langs;
    CheckList checks;
    std::vector<uint8_t> s0 = test_device::string_by_index(0);
    ASSERT_EQ(0, parse_language_list(s0.data(), s0.size(), &langs, &checks));
    EXPECT_EQ(std::vector<uint16_t>({0x0409}), langs);
    EXPECT_TRUE(checks.empty());
    std::vector<uint8_t> none = {2, 3};
    EXPECT_EQ(-1, parse_language_list(none.data(), none.size(), &langs, &checks));
    std::vector<uint8_t> zero = {6, 3, 0, 0, 0x07, 0x04};
    ASSERT_EQ(0, parse_language_list(zero.data(), zero.size(), &langs, &checks));
    EXPECT_EQ(std::vector<uint16_t>({0x0407}), langs);
    EXPECT_TRUE(has_failure(checks.failures(), "language id 0"));
}

TEST(HostSimConfig, PhoneConfigurationPassesEveryCheck) {
    std::vector<uint8_t> bytes = configuration();
    EXPECT_EQ(std::vector<std::string>(), config_failures(bytes));

    CheckList checks;
    uint16_t total = 0;
    ASSERT_EQ(0, parse_config_head(bytes.data(), 9, &total, &checks));
    EXPECT_EQ(217, total);
}

TEST(HostSimConfig, ReportLinesDescribeTheWholeTree) {
    std::vector<uint8_t> bytes = configuration();
    CheckList checks;
    ConfigDesc config;
    ASSERT_EQ(0, parse_config(bytes.data(), bytes.size(), &config, &checks));
    AudioFunction audio;
    parse_audio(config, &audio, &checks);
    EXPECT_EQ(std::set<uint8_t>({5, 6}), audio_string_indices(audio));
    ClassLines lines;
    format_audio(audio, STRINGS, &lines);
    std::vector<std::string> want = {
        "config 1 interfaces=4 power=500mA total=217",
        "interface 0 alt 0 class=01 sub=01 proto=00 endpoints=0 string=\"Kestrow Q55 Phone\"",
        "audio header adc=0100 total=70 streaming=1,2",
        "audio input-terminal 1 type=0403 assoc=3 channels=1 config=0004 string=\"Kestrow Q55 "
        "Audio Capture\"",
        "audio feature-unit 6 source=1 channels=1 controls=03,00",
        "audio output-terminal 2 type=0101 assoc=4 source=6 string=\"Kestrow Q55 Audio Capture\"",
        "audio input-terminal 4 type=0101 assoc=2 channels=1 config=0004 string=\"Kestrow Q55 "
        "Audio Playback\"",
        "audio feature-unit 5 source=4 channels=1 controls=03,00",
        "audio output-terminal 3 type=0403 assoc=1 source=5 string=\"Kestrow Q55 Audio "
        "Playback\"",
        "interface 1 alt 0 class=01 sub=02 proto=00 endpoints=0 string=\"Kestrow Q55 Audio "
        "Capture\"",
        "interface 1 alt 1 class=01 sub=02 proto=00 endpoints=1 string=\"Kestrow Q55 Audio "
        "Capture\"",
        "audio streaming link=4 delay=255 format=0001",
        "audio format type=1 channels=1 subframe=2 bits=16 rates=48000",
        "endpoint 0x01 iso out maxpacket=96 interval=1",
        "audio endpoint controls=01 lock-units=0 lock-delay=0",
        "interface 2 alt 0 class=01 sub=02 proto=00 endpoints=0 string=\"Kestrow Q55 Audio "
        "Playback\"",
        "interface 2 alt 1 class=01 sub=02 proto=00 endpoints=1 string=\"Kestrow Q55 Audio "
        "Playback\"",
        "audio streaming link=2 delay=255 format=0001",
        "audio format type=1 channels=1 subframe=2 bits=16 rates=48000",
        "endpoint 0x82 iso in maxpacket=96 interval=1",
        "audio endpoint controls=01 lock-units=0 lock-delay=0",
        "interface 3 alt 0 class=03 sub=00 proto=00 endpoints=1 string=\"HID Interface\"",
        "hid 3 version=0101 country=0 report-length=457",
        "endpoint 0x83 interrupt in maxpacket=64 interval=10",
    };
    EXPECT_EQ(joined(want), joined(format_config(config, STRINGS, lines)));
}

TEST(HostSimConfig, EachDamageIsNamed) {
    struct Case {
        Patches patches;
        const char* failure;
    } cases[] = {
        {{{2, 0xDA}}, "wTotalLength 218 but 217 bytes received"},
        {{{4, 0x05}}, "bNumInterfaces 5 but 4 interfaces"},
        {{{5, 0x00}}, "bConfigurationValue 0"},
        {{{7, 0x00}}, "bmAttributes 0x00"},
        {{{8, 0xFB}}, "502 mA"},
        {{{210, 0x08}}, "runs past the end"},
        {{{124, 0x00}}, "has bLength 0"},
        {{{196, 0x02}}, "bNumEndpoints 2 but 1 endpoint descriptors"},
        {{{23, 0x47}}, "wTotalLength 71 but the class descriptors add up to 70"},
        {{{26, 0x05}}, "streaming interface 5 does not exist"},
        {{{44, 0x09}}, "feature-unit 6: source 9 does not exist"},
        {{{44, 0x02}}, "feature-unit 6: source 2 is an output terminal"},
        {{{34, 0x04}}, "input-terminal 1: associated terminal 4 is not an output terminal"},
        {{{36, 0x07}}, "channel config 0007 names more than 1 channels"},
        {{{43, 0x04}}, "audio id 4 used twice"},
        {{{109, 0x09}}, "terminal link 9 is no USB streaming input terminal"},
        {{{161, 0x04}}, "terminal link 4 is no USB streaming output terminal"},
        {{{119, 0x11}}, "17 bits do not fit 2-byte subframes"},
        {{{120, 0x02}}, "format type I bLength 11 for 2 rates, expected 14"},
        {{{117, 0x02}}, "format has 2 channels, terminal 4 carries 1"},
        {{{128, 0x40}}, "max packet 64 is less than the 96 bytes of 1 ms at 48000 Hz"},
        {{{126, 0x11}}, "endpoint 0x11: not a valid endpoint address"},
        {{{178, 0x01}}, "endpoint 0x01 used by interfaces 1 and 2"},
        {{{187, 0x02}}, "endpoint 0x82: no class-specific endpoint descriptor"},
        {{{207, 0x23}}, "first HID class descriptor has type 0x23"},
        {{{213, 0x02}}, "HID without an interrupt IN endpoint"},
        {{{216, 0x00}}, "interrupt bInterval 0"},
        {{{91, 0x01}}, "interface 1 alt 1 appears twice"},
        {{{141, 0x01}}, "descriptor type 0x01 at offset 140 inside a configuration"},
        {{{27, 0x01}}, "interface 2: audio streaming interface not listed"},
        {{{44, 0x02}}, "channels of source 2 unknown (missing or a loop)"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> f = config_failures(patched(configuration(), c.patches));
        EXPECT_TRUE(has_failure(f, c.failure)) << "want " << c.failure << "\n" << joined(f);
    }
}

TEST(HostSimConfig, FeatureUnitControlsMustMatchTheSourceChannels) {
    // Feature unit 6 one control byte longer: controls for a second channel
    // that its source does not have. The lengths around it are kept right.
    std::vector<uint8_t> bytes = configuration();
    bytes.insert(bytes.begin() + 48, 0x00);
    bytes[40] = 0x0A;
    bytes[2] = 218;
    bytes[23] = 71;
    std::vector<std::string> f = config_failures(bytes);
    ASSERT_EQ(1u, f.size()) << joined(f);
    EXPECT_TRUE(has_failure(f, "controls for 2 channels, source 1 has 1")) << joined(f);
}

TEST(HostSimConfig, EveryTruncationIsReportedAndReadsStayInBounds) {
    std::vector<uint8_t> bytes = configuration();
    for (size_t len = 0; len < bytes.size(); ++len) {
        // A copy of exactly LEN bytes, so a read past it is caught by the
        // sanitizer builds.
        std::vector<uint8_t> part(bytes.begin(), bytes.begin() + static_cast<long>(len));
        EXPECT_FALSE(config_failures(part).empty()) << "length " << len;
    }
}

TEST(HostSimConfig, HeadRead) {
    CheckList checks;
    uint16_t total = 0;
    std::vector<uint8_t> bytes = configuration();
    EXPECT_EQ(-1, parse_config_head(bytes.data(), 3, &total, &checks));
    std::vector<uint8_t> small = patched(bytes, {{2, 0x05}, {3, 0x00}});
    EXPECT_EQ(-1, parse_config_head(small.data(), 9, &total, &checks));
    EXPECT_TRUE(has_failure(checks.failures(), "wTotalLength 5"));
    EXPECT_EQ(0, parse_config_head(bytes.data(), 217, &total, &checks));
    EXPECT_TRUE(has_failure(checks.failures(), "217 bytes for a 9-byte request"));
}

TEST(HostSimHidReport, PhoneReportDescriptorDeclaresItsReports) {
    std::vector<uint8_t> bytes = report_descriptor();
    CheckList checks;
    HidReportSummary summary;
    parse_hid_report(bytes.data(), bytes.size(), &summary, &checks);
    EXPECT_TRUE(checks.empty()) << joined(checks.failures());
    EXPECT_EQ(3, summary.applications);
    EXPECT_EQ(
        "hid report-descriptor 457 bytes reports: in 1(2) in 5(1) out 6(1) out 3(32) in 4(32) "
        "feature 17(4) feature 18(4) out 19(1) out 20(2) out 21(17) out 22(2)",
        format_hid_reports(summary));
}

TEST(HostSimHidReport, BrokenDescriptorsAreNamed) {
    std::vector<uint8_t> good = report_descriptor();
    std::vector<uint8_t> missing_end(good.begin(), good.end() - 1);
    std::vector<uint8_t> extra_end = good;
    extra_end.push_back(0xC0);
    std::vector<uint8_t> cut_item(good.begin(), good.begin() + 456);
    cut_item.back() = 0x26;  // logical maximum with 2 data bytes, none left
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* failure;
    } cases[] = {
        {"unclosed", missing_end, "1 collection(s) not closed"},
        {"extra end", extra_end, "end collection without a collection at offset 457"},
        {"cut item", cut_item, "item 26 at offset 455 runs past the end"},
        {"report id 0",
         {0xA1, 0x01, 0x85, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0},
         "report id 0 at offset 2"},
        {"no size", {0xA1, 0x01, 0x95, 0x01, 0x81, 0x02, 0xC0}, "report size 0"},
        {"no count", {0xA1, 0x01, 0x75, 0x08, 0x81, 0x02, 0xC0}, "report count 0"},
        {"outside collection", {0x75, 0x08, 0x95, 0x01, 0x81, 0x02}, "outside any collection"},
        {"mixed ids",
         {0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x02, 0x81, 0x02, 0xC0},
         "reports with and without report ids"},
        {"logical range",
         {0xA1, 0x01, 0x15, 0x05, 0x25, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0},
         "logical range 5..1"},
        {"usage range",
         {0xA1, 0x01, 0x19, 0x09, 0x29, 0x02, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0},
         "usage range 9..2"},
        {"pop", {0xB4}, "pop without push"},
        {"push", {0xA4, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0}, "push without pop"},
        {"main tag", {0xD1, 0x00}, "unknown main item tag d"},
        {"long item", {0xFE, 0x05, 0x01, 0x00}, "long item at offset 0 runs past the end"},
        {"huge report",
         {0xA1, 0x01, 0x75, 0xFF, 0x96, 0x00, 0x02, 0x81, 0x02, 0xC0},
         "is 16320 bytes long"},
        {"empty", {}, "declares no report"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> f = report_failures(c.bytes);
        EXPECT_TRUE(has_failure(f, c.failure)) << c.name << "\n" << joined(f);
    }
}

TEST(HostSimHidReport, SignedAndUnsignedRangesReadAsTheLinuxParserDoes) {
    // Logical minimum -1 makes 0xFF a signed maximum of -1; minimum 0 makes it 255.
    std::vector<uint8_t> signed_range = {0xA1, 0x01, 0x15, 0xFF, 0x25, 0xFF, 0x75,
                                         0x08, 0x95, 0x01, 0x81, 0x02, 0xC0};
    std::vector<uint8_t> unsigned_range = signed_range;
    unsigned_range[3] = 0x00;
    EXPECT_TRUE(report_failures(signed_range).empty());
    EXPECT_TRUE(report_failures(unsigned_range).empty());
    signed_range[5] = 0xFE;  // -1..-2
    EXPECT_TRUE(has_failure(report_failures(signed_range), "logical range -1..-2"));
}
