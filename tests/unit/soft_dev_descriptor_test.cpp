// The emulated phone's descriptors, its identity, and the answers to
// requests addressed to the device and to an endpoint.
#include <map>
#include <set>

#include "soft_dev/descriptors.h"
#include "soft_dev/std_requests.h"
#include "soft_dev/usbip_pdu.h"
#include "unit/soft_dev_test_support.h"

namespace quor::test {
namespace {

Bytes converted(const Submit& s) {
    Bytes b = s.wire();
    usbip_header_to_host(b.data());
    return b;
}

std::string ascii_of(const uint8_t* desc) {
    std::string s;
    for (int i = 2; i + 1 < desc[0]; i += 2) {
        EXPECT_EQ(desc[i + 1], 0) << "code unit " << i / 2 << " above 0xFF";
        s += char(desc[i]);
    }
    return s;
}

Bytes string_descriptor(uint8_t index) {
    uint8_t slot[STRING_SLOT_SIZE];
    const int n = copy_string_descriptor(index, slot);
    return n < 0 ? Bytes{} : Bytes(slot, slot + n);
}

Bytes device_descriptor() {
    uint8_t d[DEVICE_DESCRIPTOR_SIZE];
    copy_device_descriptor(d);
    return Bytes(d, d + sizeof(d));
}

class Identity : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(set_device_identity("ABC", 0x1234, 0x5678, 0x0102), 0); }
};

TEST_F(Identity, FillsDeviceDescriptorAndPluginRecord) {
    EXPECT_EQ(device_descriptor(), (Bytes{0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x40, 0x34,
                                          0x12, 0x78, 0x56, 0x02, 0x01, 0x00, 0x00, 0x00, 0x01}));
    uint8_t record[PLUGIN_RECORD_SIZE];
    copy_plugin_record(record);
    EXPECT_EQ(Bytes(record, record + 16), (Bytes{0x01, 0x00, 0x01, 0x00, 0x34, 0x12, 0x78, 0x56,
                                                 0x02, 0x01, 0x00, 0x04, 0x00, 0x00, 0x00, 0x01}));
}

TEST_F(Identity, ComposesTheFourStringsFromTheModelName) {
    const Bytes s1 = string_descriptor(1);
    ASSERT_EQ(s1.size(), 36u);
    EXPECT_EQ(ascii_of(s1.data()), "Kestrow ABC Phone");
    const Bytes s5 = string_descriptor(5);
    ASSERT_EQ(s5.size(), 52u);
    EXPECT_EQ(ascii_of(s5.data()), "Kestrow ABC Audio Capture");
    EXPECT_EQ(Bytes(s5.begin(), s5.begin() + 4), (Bytes{0x34, 0x03, 0x4B, 0x00}));
    const Bytes s6 = string_descriptor(6);
    ASSERT_EQ(s6.size(), 54u);
    EXPECT_EQ(ascii_of(s6.data()), "Kestrow ABC Audio Playback");
    EXPECT_EQ(string_descriptor(4), s1);
}

TEST_F(Identity, BytesAboveAsciiBecomeOneCodeUnitEach) {
    ASSERT_EQ(set_device_identity("\xC3\xA9", 1, 2, 3), 0);
    const Bytes s1 = string_descriptor(1);
    ASSERT_EQ(s1.size(), 2u * (16 + 1));
    EXPECT_EQ(s1[2 + 2 * 8], 0xC3);
    EXPECT_EQ(s1[2 + 2 * 8 + 1], 0x00);
    EXPECT_EQ(s1[2 + 2 * 9], 0xA9);
}

TEST_F(Identity, RefusedIdentitiesChangeNothing) {
    const Bytes device = device_descriptor();
    const Bytes s6 = string_descriptor(6);
    EXPECT_EQ(set_device_identity(nullptr, 1, 2, 3), -1);
    EXPECT_EQ(set_device_identity("", 1, 2, 3), -1);
    EXPECT_EQ(set_device_identity("X", 0, 2, 3), -1);
    EXPECT_EQ(set_device_identity("X", 1, 0, 3), -1);
    EXPECT_EQ(set_device_identity("X", 1, 2, 0), -1);
    EXPECT_EQ(set_device_identity(std::string(104, 'M').c_str(), 1, 2, 3), -1);
    EXPECT_EQ(set_device_identity(std::string(239, 'M').c_str(), 1, 2, 3), -1);
    EXPECT_EQ(device_descriptor(), device);
    EXPECT_EQ(string_descriptor(6), s6);
}

TEST_F(Identity, LongestModelNameFillsTheLongestStringToItsLimit) {
    ASSERT_EQ(set_device_identity(std::string(103, 'M').c_str(), 1, 2, 3), 0);
    const Bytes s6 = string_descriptor(6);
    ASSERT_EQ(s6.size(), 254u);  // 126 characters
    EXPECT_EQ(ascii_of(s6.data()), "Kestrow " + std::string(103, 'M') + " Audio Playback");
}

TEST(FixedStrings, LanguageSerialHidAndVendorStrings) {
    EXPECT_EQ(string_descriptor(0), (Bytes{0x04, 0x03, 0x09, 0x04}));
    EXPECT_EQ(ascii_of(string_descriptor(3).data()), "0000000000");
    EXPECT_EQ(string_descriptor(3).size(), 22u);
    EXPECT_EQ(ascii_of(string_descriptor(7).data()), "HID Interface");
    EXPECT_EQ(string_descriptor(7).size(), 28u);
    EXPECT_EQ(ascii_of(string_descriptor(0x21).data()), "UCQ11111000001001");
    EXPECT_EQ(string_descriptor(0x21).size(), 36u);
    for (int i : {2, 8, 32, 34, 255}) EXPECT_TRUE(string_descriptor(uint8_t(i)).empty()) << i;
}

// Walks the configuration as a host's parser would.
TEST(Configuration, DescriptorsChainUpAndDescribeFourInterfaces) {
    const uint8_t* c = CONFIG_DESCRIPTOR;
    ASSERT_EQ(c[0], 9);
    ASSERT_EQ(c[1], 2);
    EXPECT_EQ(get_le16(c + 2), CONFIG_DESCRIPTOR_SIZE);
    EXPECT_EQ(c[4], 4);  // interfaces
    std::set<uint8_t> interfaces;
    std::vector<uint8_t> endpoints;
    size_t ac_header_at = 0, ac_end = 0;
    uint16_t hid_report_length = 0;
    size_t at = 0;
    while (at < CONFIG_DESCRIPTOR_SIZE) {
        const uint8_t len = c[at];
        ASSERT_GE(len, 2u) << "at " << at;
        ASSERT_LE(at + len, CONFIG_DESCRIPTOR_SIZE) << "at " << at;
        const uint8_t type = c[at + 1];
        if (type == 4) {
            interfaces.insert(c[at + 2]);
            if (ac_header_at && !ac_end) ac_end = at;
        }
        if (type == 5) endpoints.push_back(c[at + 2]);
        if (type == 0x24 && c[at + 2] == 1 && c[at + 3] == 0) ac_header_at = at;
        if (type == 0x21) hid_report_length = get_le16(c + at + 7);
        at += len;
    }
    EXPECT_EQ(at, CONFIG_DESCRIPTOR_SIZE);
    EXPECT_EQ(interfaces, (std::set<uint8_t>{0, 1, 2, 3}));
    EXPECT_EQ(endpoints, (std::vector<uint8_t>{0x01, 0x82, 0x83}));
    ASSERT_NE(ac_header_at, 0u);
    EXPECT_EQ(get_le16(c + ac_header_at + 5), ac_end - ac_header_at);  // class-specific total
    EXPECT_EQ(hid_report_length, HID_REPORT_DESCRIPTOR_SIZE);
}

// Sizes of every report the HID report descriptor declares, by kind and id,
// from a plain walk of its short items.
TEST(HidReportDescriptor, DeclaresTheReportsOfThePhone) {
    std::map<std::pair<char, int>, int> bits;
    int report_size = 0, report_count = 0, report_id = 0, depth = 0, max_depth = 0;
    size_t at = 0;
    while (at < HID_REPORT_DESCRIPTOR_SIZE) {
        const uint8_t prefix = HID_REPORT_DESCRIPTOR[at];
        ASSERT_NE(prefix, 0xFE) << "long item at " << at;
        const size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        ASSERT_LE(at + 1 + size, HID_REPORT_DESCRIPTOR_SIZE);
        uint32_t value = 0;
        for (size_t i = 0; i < size; ++i)
            value |= uint32_t(HID_REPORT_DESCRIPTOR[at + 1 + i]) << (8 * i);
        switch (prefix & 0xFC) {
            case 0x74:
                report_size = int(value);
                break;
            case 0x94:
                report_count = int(value);
                break;
            case 0x84:
                report_id = int(value);
                break;
            case 0x80:
                bits[{'I', report_id}] += report_size * report_count;
                break;
            case 0x90:
                bits[{'O', report_id}] += report_size * report_count;
                break;
            case 0xB0:
                bits[{'F', report_id}] += report_size * report_count;
                break;
            case 0xA0:
                max_depth = std::max(max_depth, ++depth);
                break;
            case 0xC0:
                --depth;
                break;
            default:
                break;
        }
        ASSERT_GE(depth, 0) << "end collection without a collection at " << at;
        at += 1 + size;
    }
    EXPECT_EQ(at, HID_REPORT_DESCRIPTOR_SIZE);
    EXPECT_EQ(depth, 0);
    const std::map<std::pair<char, int>, int> expected = {
        {{'I', 0x01}, 16},  {{'I', 0x05}, 8},   {{'O', 0x06}, 8},  {{'O', 0x03}, 256},
        {{'I', 0x04}, 256}, {{'F', 0x11}, 32},  {{'F', 0x12}, 32}, {{'O', 0x13}, 8},
        {{'O', 0x14}, 16},  {{'O', 0x15}, 136}, {{'O', 0x16}, 16},
    };
    EXPECT_EQ(bits, expected);
}

// Requests addressed to the device, answered through a recording bus.
class DeviceRequests : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(set_device_identity("ABC", 0x1234, 0x5678, 0x0102), 0); }

    // The request's reply, or nothing; RESULT gets the handler's result.
    Bytes ask(const Submit& s, int* result = nullptr) {
        FakeBus bus;
        Bytes req = converted(s);
        const int r = process_standard_device_requests(bus, req.data(), req.size());
        if (result) *result = r;
        EXPECT_LE(bus.replies.size(), 1u);
        return bus.replies.empty() ? Bytes{} : bus.replies[0];
    }
    static Bytes data_of(const Bytes& reply) { return Bytes(reply.begin() + 48, reply.end()); }
};

TEST_F(DeviceRequests, DeviceDescriptorWhateverLengthIsAsked) {
    for (uint16_t w_length : {8, 18, 64, 255}) {
        const Bytes r = ask(control(7, 0x80, 6, 0x0100, 0, w_length));
        ASSERT_EQ(r.size(), 48u + 18) << w_length;
        EXPECT_EQ(get_le32(&r[USBIP_LENGTH]), 18u);
        EXPECT_EQ(data_of(r), device_descriptor());
    }
}

// The configuration as the host reads it, field by field: each descriptor
// at its offset, each field (width in bytes, little-endian value) as the
// phone's configuration is defined.
TEST_F(DeviceRequests, ConfigurationDescribesThePhone) {
    struct Field {
        Field(uint32_t v, size_t w = 1) : value(v), width(w) {}
        uint32_t value;
        size_t width;
    };
    const auto w2 = [](uint32_t v) { return Field(v, 2); };
    const auto w3 = [](uint32_t v) { return Field(v, 3); };
    struct Descriptor {
        size_t offset;
        const char* what;
        std::vector<Field> fields;
    };
    // clang-format off
    const Descriptor expected[] = {
        {0, "configuration", {9, 2, w2(217), 4, 1, 0, 0x80, 250}},
        {9, "interface 0", {9, 4, 0, 0, 0, 1, 1, 0, 4}},
        {18, "audio-control header", {10, 0x24, 1, w2(0x0100), w2(70), 2, 1, 2}},
        {28, "input terminal 1", {12, 0x24, 2, 1, w2(0x0403), 3, 1, w2(0x0004), 5, 5}},
        {40, "feature unit 6", {9, 0x24, 6, 6, 1, 1, 0x03, 0x00, 0}},
        {49, "output terminal 2", {9, 0x24, 3, 2, w2(0x0101), 4, 6, 5}},
        {58, "input terminal 4", {12, 0x24, 2, 4, w2(0x0101), 2, 1, w2(0x0004), 6, 6}},
        {70, "feature unit 5", {9, 0x24, 6, 5, 4, 1, 0x03, 0x00, 0}},
        {79, "output terminal 3", {9, 0x24, 3, 3, w2(0x0403), 1, 5, 6}},
        {88, "interface 1 alt 0", {9, 4, 1, 0, 0, 1, 2, 0, 5}},
        {97, "interface 1 alt 1", {9, 4, 1, 1, 1, 1, 2, 0, 5}},
        {106, "speaker streaming", {7, 0x24, 1, 4, 255, w2(0x0001)}},
        {113, "speaker format", {11, 0x24, 2, 1, 1, 2, 16, 1, w3(48000)}},
        {124, "endpoint 0x01", {9, 5, 0x01, 0x0D, w2(96), 1, 0, 0}},
        {133, "endpoint 0x01 audio", {7, 0x25, 1, 0x01, 0, w2(0)}},
        {140, "interface 2 alt 0", {9, 4, 2, 0, 0, 1, 2, 0, 6}},
        {149, "interface 2 alt 1", {9, 4, 2, 1, 1, 1, 2, 0, 6}},
        {158, "microphone streaming", {7, 0x24, 1, 2, 255, w2(0x0001)}},
        {165, "microphone format", {11, 0x24, 2, 1, 1, 2, 16, 1, w3(48000)}},
        {176, "endpoint 0x82", {9, 5, 0x82, 0x0D, w2(96), 1, 0, 0}},
        {185, "endpoint 0x82 audio", {7, 0x25, 1, 0x01, 0, w2(0)}},
        {192, "interface 3", {9, 4, 3, 0, 1, 3, 0, 0, 7}},
        {201, "HID", {9, 0x21, w2(0x0101), 0, 1, 0x22, w2(457)}},
        {210, "endpoint 0x83", {7, 5, 0x83, 0x03, w2(64), 10}},
    };
    // clang-format on
    const Bytes config = data_of(ask(control(1, 0x80, 6, 0x0200, 0, 255)));
    ASSERT_EQ(config.size(), 217u);
    size_t at = 0;
    for (const Descriptor& d : expected) {
        ASSERT_EQ(at, d.offset) << d.what;
        for (size_t i = 0; i < d.fields.size(); ++i) {
            const Field& f = d.fields[i];
            uint32_t value = 0;
            for (size_t b = 0; b < f.width; ++b) value |= uint32_t(config[at + b]) << (8 * b);
            EXPECT_EQ(value, f.value) << d.what << ", field " << i << " at offset " << at;
            at += f.width;
        }
    }
    EXPECT_EQ(at, config.size());
}

TEST_F(DeviceRequests, ConfigurationHeaderForNineBytesElseTheWhole) {
    const Bytes nine = ask(control(1, 0x80, 6, 0x0200, 0, 9));
    ASSERT_EQ(nine.size(), 57u);
    EXPECT_EQ(data_of(nine), Bytes(CONFIG_DESCRIPTOR, CONFIG_DESCRIPTOR + 9));
    const Bytes all = ask(control(2, 0x80, 6, 0x0200, 0, 255));
    ASSERT_EQ(all.size(), 265u);
    EXPECT_EQ(get_le32(&all[USBIP_LENGTH]), 217u);
    EXPECT_EQ(data_of(all), Bytes(CONFIG_DESCRIPTOR, CONFIG_DESCRIPTOR + 217));
    // The reply is never cut to wLength by the device logic.
    EXPECT_EQ(ask(control(3, 0x80, 6, 0x0200, 0, 100)).size(), 265u);
}

TEST_F(DeviceRequests, StringsWithHeadsAnswerFourBytesWhenFourAreAsked) {
    EXPECT_EQ(data_of(ask(control(1, 0x80, 6, 0x0307, 0x0409, 4))),
              (Bytes{0x1C, 0x03, 0x48, 0x00}));
    EXPECT_EQ(data_of(ask(control(2, 0x80, 6, 0x0307, 0x0409, 255))), string_descriptor(7));
    EXPECT_EQ(data_of(ask(control(3, 0x80, 6, 0x0305, 0x0409, 4))),
              (Bytes{0x34, 0x03, 0x4B, 0x00}));
    // String 1 has no head: asked for 4 bytes it still comes whole.
    EXPECT_EQ(data_of(ask(control(4, 0x80, 6, 0x0301, 0x0409, 4))), string_descriptor(1));
    EXPECT_EQ(data_of(ask(control(5, 0x80, 6, 0x0300, 0, 255))), string_descriptor(0));
    EXPECT_EQ(data_of(ask(control(6, 0x80, 6, 0x0321, 0x0409, 255))).size(), 36u);
}

// A string descriptor as USB lays it out: bLength, type 3, then each
// character as one little-endian 16-bit code unit.
Bytes usb_string(const std::string& text) {
    Bytes d{uint8_t(2 * (text.size() + 1)), 0x03};
    for (char c : text) {
        d.push_back(uint8_t(c));
        d.push_back(0);
    }
    return d;
}

// Model names at the limit: 103 bytes make "Kestrow <model> Audio Playback"
// 126 characters, a 254-byte descriptor; 104 bytes are refused and leave the
// strings of the identity before. Each string is read whole (wLength 255)
// and with short wLengths: 4 gives the head of strings 4 to 7 only, and no
// other length cuts a reply.
TEST_F(DeviceRequests, StringsOfTheLongestModelNamesComeWholeAndExact) {
    std::string longest;
    for (int i = 0; i < 102; ++i) longest += char('A' + i % 26);
    longest += '\xE9';
    ASSERT_EQ(set_device_identity(longest.c_str(), 0x2F1C, 0x0455, 0x0214), 0);
    const std::string refused = longest + "Z";
    EXPECT_EQ(set_device_identity(refused.c_str(), 0x2F1C, 0x0455, 0x0214), -1);

    const std::map<int, Bytes> strings = {
        {0, {0x04, 0x03, 0x09, 0x04}},
        {1, usb_string("Kestrow " + longest + " Phone")},
        {3, usb_string("0000000000")},
        {4, usb_string("Kestrow " + longest + " Phone")},
        {5, usb_string("Kestrow " + longest + " Audio Capture")},
        {6, usb_string("Kestrow " + longest + " Audio Playback")},
        {7, usb_string("HID Interface")},
        {0x21, usb_string("UCQ11111000001001")},
    };
    ASSERT_EQ(strings.at(6).size(), 254u);
    uint32_t seqnum = 1;
    for (const auto& [index, whole] : strings) {
        const bool has_head = index >= 4 && index <= 7;
        for (uint16_t w_length : {255, 2, 4, 9, 64, 253}) {
            const Bytes r =
                ask(control(seqnum++, 0x80, 6, uint16_t(0x0300 | index), 0x0409, w_length));
            const Bytes expected =
                has_head && w_length == 4 ? Bytes(whole.begin(), whole.begin() + 4) : whole;
            ASSERT_EQ(r.size(), 48u + expected.size()) << index << " " << w_length;
            EXPECT_EQ(get_le32(&r[USBIP_LENGTH]), expected.size());
            EXPECT_EQ(data_of(r), expected) << index << " " << w_length;
        }
    }
}

TEST_F(DeviceRequests, UnknownStringsAreLoggedAndLeftUnanswered) {
    for (int index : {2, 8, 32, 34}) {
        LogCapture log;
        int result = 0;
        EXPECT_TRUE(
            ask(control(1, 0x80, 6, uint16_t(0x0300 | index), 0x0409, 255), &result).empty());
        EXPECT_EQ(result, -1);
        EXPECT_EQ(log.text(), "STDDEV: What's precdata[2] " + std::to_string(index) + "!\n");
    }
}

TEST_F(DeviceRequests, OtherDescriptorTypesGetAnEmptySuccessThenALogLine) {
    LogCapture log;
    const Bytes r = ask(control(9, 0x80, 6, 0x0600, 0, 10));  // device qualifier
    ASSERT_EQ(r.size(), 48u);
    EXPECT_EQ(get_le32(&r[USBIP_LENGTH]), 0u);
    EXPECT_EQ(get_le32(&r[USBIP_STATUS]), 0u);
    EXPECT_EQ(log.text(), "STDDEV: What's precdata[3] 6!\n");
}

TEST_F(DeviceRequests, ConfigurationAndInterfaceQueriesAreLeftToTheBus) {
    const struct {
        uint8_t type, request;
        const char* line;
    } cases[] = {{0x80, 8, "STDDEV: Get Configuration Request\n"},
                 {0x00, 9, "STDDEV: Set Configuration Request\n"},
                 {0x80, 10, "STDDEV: Get Interface Request\n"}};
    for (const auto& c : cases) {
        LogCapture log;
        int result = 0;
        EXPECT_TRUE(ask(control(1, c.type, c.request, 1, 0, c.type ? 1 : 0), &result).empty());
        EXPECT_EQ(result, -1);
        EXPECT_EQ(log.text(), c.line);
    }
}

TEST_F(DeviceRequests, GetStatusAnswersItsTwoStatusBytes) {
    const Bytes r = ask(control(3, 0x80, 0, 0, 0, 2));
    ASSERT_EQ(r.size(), 50u);
    EXPECT_EQ(get_le32(&r[USBIP_LENGTH]), 2u);
    EXPECT_EQ(data_of(r), (Bytes{0, 0}));
}

TEST_F(DeviceRequests, SettersAndOtherRequestsGetAnEmptySuccess) {
    for (uint8_t request : {0, 1, 3, 5, 7, 11, 12, 200}) {
        int result = -1;
        const Bytes r = ask(control(0x102, 0x00, request, 1, 0, 0), &result);
        ASSERT_EQ(r.size(), 48u) << int(request);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(Bytes(r.begin(), r.begin() + 8), (Bytes{3, 0, 0, 0, 2, 1, 0, 0}));
    }
}

TEST(EndpointRequests, LogTheEndpointAndAnswerWithAnEmptySuccess) {
    const struct {
        uint16_t index;
        const char* line;
    } cases[] = {{0x83, "EDPDEV: Ctrl request for Interrupt IN endpoint\n"},
                 {0x01, "EDPDEV: Ctrl request for ISOCH OUT endpoint\n"},
                 {0x82, "EDPDEV: Ctrl request for ISOCH IN endpoint\n"},
                 {0x05, "EDPDEV: Unknown Endpoint\n"},
                 {0x00, "EDPDEV: Unknown Endpoint\n"}};
    for (const auto& c : cases) {
        FakeBus bus;
        // CLEAR_FEATURE(ENDPOINT_HALT), and a SET_CUR carrying 3 bytes of data.
        for (const Submit& s :
             {control(5, 0x02, 1, 0, c.index, 0), control(6, 0x22, 1, 0x0100, c.index, 3)}) {
            LogCapture log;
            Bytes req = converted(s);
            EXPECT_EQ(process_endpoint_requests(bus, req.data(), req.size()), 0);
            EXPECT_EQ(log.text(), c.line);
        }
        ASSERT_EQ(bus.replies.size(), 2u);
        for (const Bytes& r : bus.replies) {
            ASSERT_EQ(r.size(), 48u);
            EXPECT_EQ(get_le32(&r[USBIP_COMMAND]), USBIP_RET_SUBMIT);
            EXPECT_EQ(get_le32(&r[USBIP_LENGTH]), 0u);
        }
    }
}

// Of the standard requests only GET_STATUS and the ENDPOINT_HALT feature
// are for an endpoint; the others are left for the bus to stall.
TEST(EndpointRequests, StandardRequestsNotForAnEndpointAreLeftUnanswered) {
    const Submit stalled[] = {
        control(1, 0x82, 12, 0, 0x01, 2),       // SYNCH_FRAME: no packet-size pattern
        control(2, 0x82, 12, 0, 0x82, 2),       // SYNCH_FRAME
        control(3, 0x82, 6, 0x0100, 0x83, 18),  // GET_DESCRIPTOR
        control(4, 0x02, 3, 1, 0x83, 0),        // SET_FEATURE of an unknown feature
        control(5, 0x82, 10, 0, 0x82, 1),       // GET_INTERFACE
    };
    for (const Submit& s : stalled) {
        FakeBus bus;
        LogCapture log;
        Bytes req = converted(s);
        EXPECT_EQ(process_endpoint_requests(bus, req.data(), req.size()), -1) << s.seqnum;
        EXPECT_TRUE(bus.replies.empty()) << s.seqnum;
    }
    FakeBus bus;
    LogCapture log;
    Bytes req = converted(control(6, 0x02, 3, 0, 0x83, 0));  // SET_FEATURE(ENDPOINT_HALT)
    EXPECT_EQ(process_endpoint_requests(bus, req.data(), req.size()), 0);
    ASSERT_EQ(bus.replies.size(), 1u);
    EXPECT_EQ(bus.replies[0].size(), 48u);
}

TEST(EndpointRequests, GetStatusSaysTheEndpointIsNotHalted) {
    FakeBus bus;
    LogCapture log;
    Bytes req = converted(control(5, 0x82, 0, 0, 0x83, 2));
    EXPECT_EQ(process_endpoint_requests(bus, req.data(), req.size()), 0);
    ASSERT_EQ(bus.replies.size(), 1u);
    ASSERT_EQ(bus.replies[0].size(), 50u);
    EXPECT_EQ(get_le32(&bus.replies[0][USBIP_LENGTH]), 2u);
    EXPECT_EQ(bus.replies[0][48] | bus.replies[0][49], 0);
}

}  // namespace
}  // namespace quor::test
