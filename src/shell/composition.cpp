#include "shell/composition.h"

#include <thread>

#include "link/ctrl_channel.h"
#include "link/syslog_service.h"
#include "media/media_api.h"
#include "platform/firewall.h"
#include "platform/helper_client.h"
#include "platform/net.h"
#include "settings/autorun.h"
#include "settings/update_check.h"
#include "soft_dev/attach.h"
#include "soft_dev/audio_stream.h"
#include "soft_dev/call_stream.h"
#include "soft_dev/descriptors.h"
#include "soft_dev/gruu_store.h"
#include "soft_dev/hid_requests.h"
#include "soft_dev/lync_hooks.h"
#include "soft_dev/phone_sender.h"

namespace quor {

SoftDevHooks default_soft_dev_hooks() {
    // The device a real host sees answers its HID and audio-class requests
    // and serves its streaming and interrupt endpoints; without these a host
    // stalls on the report descriptor and the mixer controls.
    SoftDevHooks hooks;
    register_lync_hooks(hooks);
    register_audio_stream_hooks(hooks);
    return hooks;
}

SessionServices default_session_services() {
    SessionServices services;
    services.set_device_identity = [](const char* model, uint16_t vid, uint16_t pid,
                                      uint16_t release) {
        return set_device_identity(model, vid, pid, release);
    };
    services.start_device = [](Controller& controller) {
        std::thread(start_device_thread, std::ref(controller), default_soft_dev_hooks()).detach();
    };
    services.set_gruu = [](const char* gruu) { return set_gruu(gruu); };
    services.open_rtp_socket = [](uint16_t local_port, uint16_t remote_port, uint32_t remote_addr) {
        return open_rtp_socket(local_port, remote_port, remote_addr);
    };
    services.create_srtp_session = [](const char* remote_crypto) {
        return create_srtp_session(remote_crypto);
    };
    services.phone_paired = [](uint32_t phone) { phone_firewall_open(phone); };
    services.pairing_ended = [] { phone_firewall_close(); };
    return services;
}

ShellHooks default_shell_hooks() {
    ShellHooks h;
    h.start_update_check = [](Controller& controller) { ::start_update_check(controller); };
    h.load_srtp_library = [](int* error_code) { return quor::load_srtp_library(error_code); };
    h.init_srtp_library = [] { return quor::init_srtp_library(); };
    h.apply_autorun = [](int on) { return ApplyAutoRun(on); };
    h.add_firewall_exception = [](const std::string& image, const std::string& name) {
        quor::AddFirewallException(image, name);
    };
    h.net_startup = [] { return quor::net_startup(); };
    h.start_pair_session = [](Controller& controller) {
        std::thread(pair_session_thread, std::ref(controller), default_session_services()).detach();
    };
    h.stop_log_service = [] { quor::stop_log_service(nullptr); };
    h.toggle_log_service = [](Controller& controller) { quor::toggle_log_service(&controller); };
    h.send_log_to_pc = [] { quor::send_log_to_pc(); };
    h.send_log_to_phone = [] { quor::send_log_to_phone(); };
    h.send_srtp_close = [] { quor::send_srtp_close(); };
    h.send_gruu = [] { quor::send_gruu(); };
    h.close_hid_send_window = [] { quor::close_hid_send_window(); };
    return h;
}

void connect_device_to_channel() {
    set_phone_sender(&ctrl_channel_sender());
}

std::unique_ptr<CKestrowQuorConnectorDlg> make_controller(MainView& view, UiLoop& loop,
                                                          Clock& clock) {
    connect_device_to_channel();
    return std::make_unique<CKestrowQuorConnectorDlg>(view, loop, clock, default_shell_hooks());
}

}  // namespace quor
