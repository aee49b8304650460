#include "ui/parameter_values.h"

#include <cctype>
#include <cstdint>

#include "settings/config.h"
#include "settings/ini_store.h"

namespace quor {

namespace {
// The dialog framework reads at most this many characters of an edit.
constexpr size_t EDIT_READ_LIMIT = 63;

int write_value(const std::string& path, const char* key, int value) {
    return ini_write_string(path, CONFIG_SECTION, key, std::to_string(value).c_str());
}
}  // namespace

void load_parameters(const std::string& path, ParameterValues* v) {
    v->m_nAutoMin = ReadConfigValue(path, "AutoMin", 1);
    v->m_nAutoPair = ReadConfigValue(path, "AutoPair", 1);
    v->m_nAutoRepair = ReadConfigValue(path, "AutoRepair", 1);
    v->m_nAutoRun = ReadConfigValue(path, "AutoRun", 1);
    v->m_nAsNmDev = ReadConfigValue(path, "AsNmDev", 0);
    v->m_nPairTimeout = ReadConfigValue(path, "PairTimeout", 10);
    v->m_nRepairTime = ReadConfigValue(path, "RepairTime", 15);
    v->m_nRetryTimes = ReadConfigValue(path, "RetryTimes", 0);
    v->m_nResendGruu = ReadConfigValue(path, "ResendGruu", 15);
}

int save_parameters(const std::string& path, const ParameterValues& v,
                    const ApplyAutoRunFn& apply_autorun,
                    const std::function<void()>& autorun_failed) {
    if (write_value(path, "AutoMin", v.m_nAutoMin) != 0) return -1;
    if (write_value(path, "AutoPair", v.m_nAutoPair) != 0) return -1;
    if (write_value(path, "AutoRepair", v.m_nAutoRepair) != 0) return -1;
    if (apply_autorun(v.m_nAutoRun) == 0) autorun_failed();
    const std::pair<const char*, int> rest[] = {
        {"AutoRun", v.m_nAutoRun},         {"AsNmDev", v.m_nAsNmDev},
        {"PairTimeout", v.m_nPairTimeout}, {"RepairTime", v.m_nRepairTime},
        {"RetryTimes", v.m_nRetryTimes},   {"ResendGruu", v.m_nResendGruu},
    };
    for (const auto& [key, value] : rest)
        if (write_value(path, key, value) != 0) return -1;
    return 0;
}

int scan_int(const std::string& text, int* value) {
    const std::string head = text.substr(0, EDIT_READ_LIMIT);
    size_t at = 0;
    while (at < head.size() && isspace(static_cast<unsigned char>(head[at]))) ++at;
    bool negative = false;
    if (at < head.size() && (head[at] == '+' || head[at] == '-')) negative = head[at++] == '-';
    // Digits beyond 32 bits wrap, as the platform's scanf does; no range is
    // checked.
    uint32_t magnitude = 0;
    const size_t first_digit = at;
    while (at < head.size() && head[at] >= '0' && head[at] <= '9')
        magnitude = magnitude * 10 + uint32_t(head[at++] - '0');
    if (at == first_digit) return -1;
    *value = int32_t(negative ? 0u - magnitude : magnitude);
    return 0;
}

}  // namespace quor
