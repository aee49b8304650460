// The softphone's side of the HID conversation with the phone, as commands
// of quor-host-sim: the report descriptor and feature reports, presence,
// sign-in credentials in chunks of report 3, polls that open the phone's
// send window while the interrupt endpoint is read, the call dialog, and the
// display name and reference texts. Streaming alternate settings are the
// plain set-interface command.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host_connection.h"
#include "host_output.h"
#include "lync_input.h"

struct SoftphoneCommand {
    enum Kind { HID, PRESENCE, CREDENTIAL, SIGN_IN, REQUEST, POLL, DIALOG, NAME, REFERENCE };
    Kind kind = HID;
    std::vector<std::string> texts;  // credential, sign-in, name, reference
    uint8_t status[2] = {};          // presence
    uint8_t value = 0;               // request code, dialog state, poll on (1) / off (0)
};

extern const char* const SOFTPHONE_COMMAND_HELP;

// WORDS is LINE split at blanks. 0 with CMD, 1 when the line is not a
// softphone command, -1 with the reason.
int parse_softphone_command(const std::vector<std::string>& words, const std::string& line,
                            SoftphoneCommand* cmd, std::string* error);

class Softphone {
  public:
    Softphone(HostConnection& conn, HostOutput& out, int timeout_ms)
        : m_conn(conn), m_out(out), m_timeout_ms(timeout_ms) {}
    ~Softphone() { stop_polling(); }
    Softphone(const Softphone&) = delete;
    Softphone& operator=(const Softphone&) = delete;

    // Runs CMD and prints its result line. 0, or -1 when the device is gone.
    int run(const SoftphoneCommand& cmd);
    // Ends the polling, unlinking the interrupt request it left pending.
    void stop_polling();

  private:
    // SET_REPORT of REPORT (its id first) to the HID interface: the
    // transfer's status, or a negative errno-style value when the device is
    // gone (then -1 is returned by run()).
    int set_report(const std::vector<uint8_t>& report, int32_t* status);
    int get(uint8_t request_type, uint8_t request, uint16_t value, uint16_t length,
            const char* what);
    int send_credential(const std::string& text);
    int send_text(uint8_t selector, const std::string& utf8, const char* what);
    void poll_loop();
    void report_input(const UrbResult& r);

    HostConnection& m_conn;
    HostOutput& m_out;
    int m_timeout_ms;
    std::mutex m_control;  // one control transfer of the softphone at a time
    std::atomic<bool> m_polling{false};
    std::thread m_poller;
    LyncInputDecoder m_decoder;  // poller thread only
    int m_polls = 0;             // poller thread only
};
