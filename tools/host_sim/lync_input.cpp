#include "lync_input.h"

#include <algorithm>

#include "host_text.h"

namespace {

constexpr uint8_t TELEPHONY_REPORT = 0x01;
constexpr uint8_t VENDOR_REPORT = 0x04;
constexpr size_t VENDOR_REPORT_SIZE = 33;
constexpr size_t FIRST_PIECE_TEXT = 29;
constexpr size_t NEXT_PIECE_TEXT = 31;

enum VendorCode : uint8_t {
    SIGNOUT_REQUEST = 0xC2,
    ACKNOWLEDGE = 0xC1,
    SIGNIN = 0xC3,  // request, or failure with 05 40 after 04 00
    GRUU_FIRST = 0x42,
    GRUU_MIDDLE = 0x02,
    GRUU_LAST = 0x82,
};

}  // namespace

void LyncInputDecoder::gruu_piece(const uint8_t* data, size_t n, std::vector<std::string>* lines,
                                  std::vector<std::string>* failed) {
    if (n < VENDOR_REPORT_SIZE) {
        failed->push_back(strfmt("gruu piece of %zu bytes, expected 33", n));
        return;
    }
    const uint8_t code = data[1];
    if (code == GRUU_FIRST) {
        if (m_gruu_open) failed->push_back("gruu first piece before the last of the previous");
        m_gruu_open = true;
        m_gruu_total = data[2];
        m_gruu_pieces = 1;
        m_gruu.assign(reinterpret_cast<const char*>(data + 4),
                      std::min(m_gruu_total, FIRST_PIECE_TEXT));
        return;
    }
    if (!m_gruu_open) {
        failed->push_back(strfmt("gruu piece %02x without a first piece", code));
        return;
    }
    ++m_gruu_pieces;
    const size_t left = m_gruu_total - m_gruu.size();
    if (code == GRUU_MIDDLE) {
        if (left < NEXT_PIECE_TEXT)
            failed->push_back(strfmt("gruu middle piece with only %zu bytes left", left));
        m_gruu.append(reinterpret_cast<const char*>(data + 2), std::min(left, NEXT_PIECE_TEXT));
        return;
    }
    if (left > NEXT_PIECE_TEXT - 1)
        failed->push_back(strfmt("gruu last piece with %zu bytes left", left));
    m_gruu.append(reinterpret_cast<const char*>(data + 2), std::min(left, NEXT_PIECE_TEXT));
    m_gruu_open = false;
    lines->push_back(strfmt("input gruu length=%zu pieces=%d text=%s", m_gruu.size(), m_gruu_pieces,
                            m_gruu.c_str()));
}

std::vector<std::string> LyncInputDecoder::decode(const uint8_t* data, size_t n,
                                                  std::vector<std::string>* failed) {
    std::vector<std::string> lines;
    if (n == 0) {
        ++m_empty;
        return lines;
    }
    if (data[0] == TELEPHONY_REPORT && n == 3 && data[2] == 0 && (data[1] == 0 || data[1] == 3)) {
        lines.push_back(data[1] == 0 ? "input hungup-pre" : "input hungup");
        return lines;
    }
    if (data[0] == VENDOR_REPORT && n >= 2) {
        switch (data[1]) {
            case SIGNOUT_REQUEST:
                lines.push_back("input signout-request");
                return lines;
            case ACKNOWLEDGE:
                lines.push_back("input ack");
                return lines;
            case SIGNIN:
                lines.push_back(n >= 6 && data[4] == 0x05 && data[5] == 0x40
                                    ? "input signin-failed"
                                    : "input signin-request");
                return lines;
            case GRUU_FIRST:
            case GRUU_MIDDLE:
            case GRUU_LAST:
                gruu_piece(data, n, &lines, failed);
                return lines;
            default:
                break;
        }
    }
    lines.push_back("input other data=" + hex_string(data, n));
    return lines;
}
