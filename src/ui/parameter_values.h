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
