#include "hid_report.h"

#include "platform/byte_order.h"

namespace {

constexpr uint8_t ITEM_MAIN = 0;
constexpr uint8_t ITEM_GLOBAL = 1;
constexpr uint8_t ITEM_LOCAL = 2;
constexpr uint8_t LONG_ITEM = 0xFE;

constexpr uint8_t MAIN_INPUT = 0x8;
constexpr uint8_t MAIN_OUTPUT = 0x9;
constexpr uint8_t MAIN_COLLECTION = 0xA;
constexpr uint8_t MAIN_FEATURE = 0xB;
constexpr uint8_t MAIN_END_COLLECTION = 0xC;

constexpr uint8_t GLOBAL_LOGICAL_MIN = 1;
constexpr uint8_t GLOBAL_LOGICAL_MAX = 2;
constexpr uint8_t GLOBAL_REPORT_SIZE = 7;
constexpr uint8_t GLOBAL_REPORT_ID = 8;
constexpr uint8_t GLOBAL_REPORT_COUNT = 9;
constexpr uint8_t GLOBAL_PUSH = 10;
constexpr uint8_t GLOBAL_POP = 11;

constexpr uint8_t LOCAL_USAGE_MIN = 1;
constexpr uint8_t LOCAL_USAGE_MAX = 2;
constexpr uint8_t LOCAL_DELIMITER = 10;

constexpr uint8_t COLLECTION_APPLICATION = 1;
constexpr uint32_t COLLECTION_LAST_STANDARD = 6;
constexpr uint32_t COLLECTION_FIRST_VENDOR = 0x80;

// Limits of the Linux HID core.
constexpr uint32_t MAX_REPORT_SIZE = 256;     // bits per field
constexpr uint32_t MAX_REPORT_COUNT = 12288;  // fields per item
constexpr uint32_t MAX_REPORT_BYTES = 4096;   // a whole report with its id
constexpr size_t MAX_PUSH_DEPTH = 16;

struct Globals {
    bool has_size = false;
    bool has_count = false;
    bool has_logical_min = false;
    bool has_logical_max = false;
    uint32_t size = 0;
    uint32_t count = 0;
    uint8_t id = 0;
    int64_t logical_min = 0;
    int64_t logical_max = 0;
};

struct Locals {
    bool has_usage_min = false;
    bool has_usage_max = false;
    uint32_t usage_min = 0;
    uint32_t usage_max = 0;
};

class ReportParser {
  public:
    ReportParser(HidReportSummary* summary, CheckList* checks)
        : m_summary(summary), m_checks(checks) {}

    void item(uint8_t tag, uint8_t type, size_t offset, uint32_t udata, int32_t sdata);
    void finish();

  private:
    void main_item(uint8_t tag, size_t offset, uint32_t udata);
    void global_item(uint8_t tag, size_t offset, uint32_t udata, int32_t sdata);
    void local_item(uint8_t tag, size_t offset, uint32_t udata);
    void add_field(HidReport::Kind kind, size_t offset);

    HidReportSummary* m_summary;
    CheckList* m_checks;
    Globals m_globals;
    Locals m_locals;
    std::vector<Globals> m_stack;
    int m_depth = 0;
    int m_delimiter = 0;
    bool m_numbered = false;
    bool m_unnumbered = false;
};

const char* kind_name(HidReport::Kind kind) {
    return kind == HidReport::INPUT ? "in" : kind == HidReport::OUTPUT ? "out" : "feature";
}

void ReportParser::item(uint8_t tag, uint8_t type, size_t offset, uint32_t udata, int32_t sdata) {
    ++m_summary->items;
    switch (type) {
        case ITEM_MAIN:
            main_item(tag, offset, udata);
            break;
        case ITEM_GLOBAL:
            global_item(tag, offset, udata, sdata);
            break;
        case ITEM_LOCAL:
            local_item(tag, offset, udata);
            break;
        default:
            m_checks->fail("hid report descriptor: reserved item type at offset %zu", offset);
            break;
    }
}

void ReportParser::add_field(HidReport::Kind kind, size_t offset) {
    const Globals& g = m_globals;
    if (m_depth == 0) {
        m_checks->fail("hid report descriptor: %s item outside any collection at offset %zu",
                       kind_name(kind), offset);
    }
    if (!g.has_size || g.size == 0 || g.size > MAX_REPORT_SIZE) {
        m_checks->fail("hid report descriptor: %s item at offset %zu with report size %u",
                       kind_name(kind), offset, g.size);
        return;
    }
    if (!g.has_count || g.count == 0 || g.count > MAX_REPORT_COUNT) {
        m_checks->fail("hid report descriptor: %s item at offset %zu with report count %u",
                       kind_name(kind), offset, g.count);
        return;
    }
    if (g.has_logical_min && g.has_logical_max && g.logical_min > g.logical_max) {
        m_checks->fail("hid report descriptor: logical range %lld..%lld at offset %zu",
                       static_cast<long long>(g.logical_min), static_cast<long long>(g.logical_max),
                       offset);
    }
    if (m_locals.has_usage_min && m_locals.has_usage_max &&
        m_locals.usage_min > m_locals.usage_max) {
        m_checks->fail("hid report descriptor: usage range %x..%x at offset %zu",
                       m_locals.usage_min, m_locals.usage_max, offset);
    }
    (g.id ? m_numbered : m_unnumbered) = true;
    for (HidReport& r : m_summary->reports) {
        if (r.kind == kind && r.id == g.id) {
            r.bits += static_cast<uint64_t>(g.size) * g.count;
            return;
        }
    }
    m_summary->reports.push_back({kind, g.id, static_cast<uint64_t>(g.size) * g.count});
}

void ReportParser::main_item(uint8_t tag, size_t offset, uint32_t udata) {
    switch (tag) {
        case MAIN_INPUT:
            add_field(HidReport::INPUT, offset);
            break;
        case MAIN_OUTPUT:
            add_field(HidReport::OUTPUT, offset);
            break;
        case MAIN_FEATURE:
            add_field(HidReport::FEATURE, offset);
            break;
        case MAIN_COLLECTION:
            if (udata > COLLECTION_LAST_STANDARD && udata < COLLECTION_FIRST_VENDOR) {
                m_checks->fail("hid report descriptor: reserved collection type %u at offset %zu",
                               udata, offset);
            }
            ++m_summary->collections;
            if (m_depth == 0 && udata == COLLECTION_APPLICATION) ++m_summary->applications;
            ++m_depth;
            break;
        case MAIN_END_COLLECTION:
            if (m_depth == 0) {
                m_checks->fail(
                    "hid report descriptor: end collection without a collection at "
                    "offset %zu",
                    offset);
            } else {
                --m_depth;
            }
            break;
        default:
            m_checks->fail("hid report descriptor: unknown main item tag %x at offset %zu", tag,
                           offset);
            break;
    }
    m_locals = Locals();
}

void ReportParser::global_item(uint8_t tag, size_t offset, uint32_t udata, int32_t sdata) {
    Globals& g = m_globals;
    switch (tag) {
        case GLOBAL_LOGICAL_MIN:
            g.logical_min = sdata;
            g.has_logical_min = true;
            break;
        case GLOBAL_LOGICAL_MAX:
            // Read as unsigned unless the minimum is negative, as the Linux parser does.
            g.logical_max = g.logical_min < 0 ? static_cast<int64_t>(sdata) : udata;
            g.has_logical_max = true;
            break;
        case GLOBAL_REPORT_SIZE:
            g.size = udata;
            g.has_size = true;
            break;
        case GLOBAL_REPORT_ID:
            if (udata == 0 || udata > 255) {
                m_checks->fail("hid report descriptor: report id %u at offset %zu", udata, offset);
            } else {
                g.id = static_cast<uint8_t>(udata);
            }
            break;
        case GLOBAL_REPORT_COUNT:
            g.count = udata;
            g.has_count = true;
            break;
        case GLOBAL_PUSH:
            if (m_stack.size() >= MAX_PUSH_DEPTH) {
                m_checks->fail("hid report descriptor: push nested too deep at offset %zu", offset);
            } else {
                m_stack.push_back(g);
            }
            break;
        case GLOBAL_POP:
            if (m_stack.empty()) {
                m_checks->fail("hid report descriptor: pop without push at offset %zu", offset);
            } else {
                g = m_stack.back();
                m_stack.pop_back();
            }
            break;
        default:
            if (tag > GLOBAL_POP) {
                m_checks->fail("hid report descriptor: unknown global item tag %x at offset %zu",
                               tag, offset);
            }
            break;  // usage page, physical range, unit: no bearing on the layout
    }
}

void ReportParser::local_item(uint8_t tag, size_t offset, uint32_t udata) {
    switch (tag) {
        case LOCAL_USAGE_MIN:
            m_locals.usage_min = udata;
            m_locals.has_usage_min = true;
            break;
        case LOCAL_USAGE_MAX:
            m_locals.usage_max = udata;
            m_locals.has_usage_max = true;
            break;
        case LOCAL_DELIMITER:
            if (udata == 1) {
                ++m_delimiter;
            } else if (m_delimiter == 0) {
                m_checks->fail(
                    "hid report descriptor: closing delimiter without opening at "
                    "offset %zu",
                    offset);
            } else {
                --m_delimiter;
            }
            break;
        default:
            if (tag == 6 || tag > LOCAL_DELIMITER) {
                m_checks->fail("hid report descriptor: unknown local item tag %x at offset %zu",
                               tag, offset);
            }
            break;
    }
}

void ReportParser::finish() {
    if (m_depth != 0) {
        m_checks->fail("hid report descriptor: %d collection(s) not closed", m_depth);
    }
    if (!m_stack.empty()) m_checks->fail("hid report descriptor: push without pop");
    if (m_delimiter != 0) m_checks->fail("hid report descriptor: delimiter not closed");
    if (m_numbered && m_unnumbered) {
        m_checks->fail("hid report descriptor: reports with and without report ids");
    }
    for (const HidReport& r : m_summary->reports) {
        uint64_t bytes = (r.bits + 7) / 8 + (r.id ? 1 : 0);
        if (bytes > MAX_REPORT_BYTES) {
            m_checks->fail("hid report descriptor: %s report %u is %llu bytes long",
                           kind_name(r.kind), r.id, static_cast<unsigned long long>(bytes));
        }
    }
    if (m_summary->reports.empty()) m_checks->fail("hid report descriptor: declares no report");
}

}  // namespace

void parse_hid_report(const uint8_t* p, size_t len, HidReportSummary* summary, CheckList* checks) {
    *summary = HidReportSummary();
    summary->length = len;
    ReportParser parser(summary, checks);
    size_t off = 0;
    while (off < len) {
        uint8_t prefix = p[off];
        if (prefix == LONG_ITEM) {
            size_t size = off + 1 < len ? p[off + 1] : 0;
            if (off + 3 + size > len) {
                checks->fail("hid report descriptor: long item at offset %zu runs past the end",
                             off);
                break;
            }
            ++summary->items;
            off += 3 + size;
            continue;
        }
        static const size_t SIZES[] = {0, 1, 2, 4};
        size_t size = SIZES[prefix & 0x03];
        if (off + 1 + size > len) {
            checks->fail("hid report descriptor: item %02x at offset %zu runs past the end", prefix,
                         off);
            break;
        }
        const uint8_t* d = p + off + 1;
        uint32_t udata = size == 0 ? 0 : size == 1 ? d[0] : size == 2 ? get_le16(d) : get_le32(d);
        int32_t sdata = size == 0   ? 0
                        : size == 1 ? static_cast<int8_t>(d[0])
                        : size == 2 ? static_cast<int16_t>(get_le16(d))
                                    : static_cast<int32_t>(get_le32(d));
        parser.item(static_cast<uint8_t>(prefix >> 4), static_cast<uint8_t>((prefix >> 2) & 0x03),
                    off, udata, sdata);
        off += 1 + size;
    }
    parser.finish();
}

std::string format_hid_reports(const HidReportSummary& summary) {
    std::string s = strfmt("hid report-descriptor %zu bytes reports:", summary.length);
    for (const HidReport& r : summary.reports) {
        s += strfmt(" %s %u(%llu)", kind_name(r.kind), r.id,
                    static_cast<unsigned long long>((r.bits + 7) / 8));
    }
    return s;
}
