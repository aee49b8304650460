// The nine settings that the settings dialog edits, their reading and
// writing in config.ini, and the integer reading of its edits. Plain C++, so
// the save order and its failures are tested without a window.
#pragma once

#include <functional>
#include <string>

namespace quor {

struct ParameterValues {
    int m_nAutoMin = 0;
    int m_nAutoPair = 0;
    int m_nAutoRun = 0;
    int m_nAutoRepair = 0;
    int m_nAsNmDev = 0;
    int m_nPairTimeout = 0;
    int m_nRepairTime = 0;
    int m_nRetryTimes = 0;
    int m_nResendGruu = 0;
};

// The settings dialog's control ids (template 106).
enum SettingsControlId : int {
    IDC_CANCEL_SETTINGS = 1008,
    IDC_AUTO_RUN = 1009,
    IDC_AUTO_PAIR = 1010,
    IDC_AUTO_MIN = 1011,
    IDC_AUTO_REPAIR = 1012,
    IDC_REPAIR_TIME = 1013,
    IDC_RETRY_TIMES = 1014,
    IDC_PAIR_TIMEOUT = 1015,
    IDC_OK_SETTINGS = 1018,
    IDC_RESEND_GRUU = 1019,
    IDC_AS_NM_DEV = 1028,
};

// A control of the dialog and the value it shows.
struct ParameterControl {
    int id;
    int ParameterValues::*value;
};
// The check boxes, and the edits, in the order the dialog exchanges them
// (an edit whose text is no number stops the exchange there).
inline constexpr ParameterControl PARAMETER_CHECKS[] = {
    {IDC_AUTO_MIN, &ParameterValues::m_nAutoMin},
    {IDC_AUTO_PAIR, &ParameterValues::m_nAutoPair},
    {IDC_AUTO_RUN, &ParameterValues::m_nAutoRun},
    {IDC_AUTO_REPAIR, &ParameterValues::m_nAutoRepair},
    {IDC_AS_NM_DEV, &ParameterValues::m_nAsNmDev},
};
inline constexpr ParameterControl PARAMETER_EDITS[] = {
    {IDC_PAIR_TIMEOUT, &ParameterValues::m_nPairTimeout},
    {IDC_REPAIR_TIME, &ParameterValues::m_nRepairTime},
    {IDC_RETRY_TIMES, &ParameterValues::m_nRetryTimes},
    {IDC_RESEND_GRUU, &ParameterValues::m_nResendGruu},
};

// Reads the nine keys from the file at PATH with their defaults, writing a
// missing key's default back at once.
void load_parameters(const std::string& path, ParameterValues* values);

// Applies start with the desktop session: 1 success, 0 failure.
using ApplyAutoRunFn = std::function<int(int on)>;

// Writes the values to the file at PATH: AutoMin, AutoPair, AutoRepair, then
// applies AutoRun (AUTORUN_FAILED is called when that fails, and the save
// goes on), then AutoRun, AsNmDev, PairTimeout, RepairTime, RetryTimes,
// ResendGruu. Stops at the first write that fails and returns -1; 0 when
// every key was written.
int save_parameters(const std::string& path, const ParameterValues& values,
                    const ApplyAutoRunFn& apply_autorun,
                    const std::function<void()>& autorun_failed);

// Reads an edit's text as "%d" does: the first 63 characters, blanks
// skipped, an optional sign and decimal digits, anything after them ignored.
// 0 with the value, or -1 when no number starts the text.
int scan_int(const std::string& text, int* value);

}  // namespace quor
