// A HID report descriptor read item by item: the reports it declares (kind,
// id, size) and the checks a host's HID parser applies (items inside the
// buffer, known tags, collections and push/pop balanced, report ids valid and
// not mixed with unnumbered reports, ranges in order, sizes within limits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host_text.h"

struct HidReport {
    enum Kind { INPUT, OUTPUT, FEATURE };
    Kind kind = INPUT;
    uint8_t id = 0;     // 0: the descriptor uses no report ids
    uint64_t bits = 0;  // without the report id byte
};

struct HidReportSummary {
    size_t length = 0;
    int items = 0;
    int collections = 0;
    int applications = 0;
    std::vector<HidReport> reports;  // in order of first appearance
};

void parse_hid_report(const uint8_t* p, size_t len, HidReportSummary* summary, CheckList* checks);

// "hid report-descriptor 457 bytes reports: in 1(2) out 6(1) feature 17(4)"
// with each report's size in bytes (bits rounded up) and decimal ids.
std::string format_hid_reports(const HidReportSummary& summary);
