#include "soft_dev/attach.h"

#include <cstring>
#include <mutex>
#include <thread>

#include "base/diag_log.h"
#include "platform/event.h"
#include "soft_dev/audio_stream.h"
#include "soft_dev/call_stream.h"
#include "soft_dev/descriptors.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/phone_msgs.h"
#include "soft_dev/phone_sender.h"
#include "soft_dev/request_queue.h"
#include "soft_dev/soft_dev_hooks.h"
#include "soft_dev/softdev_thread.h"

namespace quor {

namespace {
constexpr int STOP_POLL_MS = 500;
constexpr int ALIVE_POLL_MS = 200;
constexpr int THREADS_START_MS = 100;
constexpr int UNPLUG_DELAY_MS = 1000;

// Looks the bus up, opens it and plugs the device in. 0 with the port when
// attached; -1 after logging why not. *OPENED tells whether the bus must be
// closed.
int attach_device(DeviceContext& device, VirtualBus& bus, int* port, bool* opened) {
    char path[VBUS_PATH_SIZE];
    if (bus.find_vbus_device_path(path, sizeof(path)) != 0) {
        quor_log("STARTDEV: Get DevPath failed\n");
        return -1;
    }
    quor_log("STARTDEV: DevPath %s\n", path);
    if (bus.open_device(path) != 0) {
        quor_log("STARTDEV: Open device file failed\n");
        return -1;
    }
    *opened = true;
    *port = get_free_port(bus);
    if (*port <= 0) {
        quor_log("STARTDEV: Open port failed\n");
        return -1;
    }
    for (int budget = PLUGIN_RETRIES; plugin_device(bus, *port) != 0; --budget) {
        device.clock.sleep_ms(PLUGIN_RETRY_MS);
        if (budget == 0) {
            quor_log("STARTDEV: Import device failed\n");
            return -1;
        }
    }
    return 0;
}

// Per-attachment state of the HID conversation and the reports. The stop
// request is not among them: it was cleared when the attachment began, and
// a stop asked for during the look-up and plug-in must still count.
void clear_attachment_state() {
    g_dev.usb_host_gone = 0;
    g_lync.signout_request_pending = 0;
    g_lync.signin_request_pending = 0;
    g_lync.signin_failed_pending = 0;
    g_lync.hid_send_window = 0;
    g_lync.hungup_pending = 0;
    g_lync.hungup_pre_pending = 0;
    g_lync.lync_status_word = 0;
    g_lync.dialog_active = 0;
    g_lync.srtp_stream_active = 0;
    g_lync.text_target_is_name = 0;
    g_lync.sel12_capture_pending = 0;
}

// Runs the attached device until the stop request, then unplugs it. A host
// that drops the device ends the pairing of GENERATION as a lost link.
void serve_device(DeviceContext& device, VirtualBus& bus, int port, int generation) {
    Clock& clock = device.clock;
    clear_attachment_state();
    if (g_dev.softdev_alive || g_dev.intr_thread_alive) {
        quor_log("STARTDEV: Some thread is alive, exit now\n");
    } else {
        g_dev.intr_queue.clear();
        std::thread softdev(softdev_thread, std::ref(device), std::ref(bus));
        std::thread interrupt;
        if (const auto& worker = device.hooks.interrupt_worker)
            interrupt = std::thread(worker, std::ref(device), std::ref(bus));
        clock.sleep_ms(THREADS_START_MS);
        // Only a pairing still in progress becomes paired here: the phone's
        // SIGNED_IN (or SIGNED_OUT) that came meanwhile stands, and a
        // pairing that ended meanwhile (the time-out, an unpair) or was
        // superseded is not shown paired again.
        device.controller.SetStateIf(
            [generation](unsigned state) {
                return state == STATE_PAIRING && g_dev.stop == DEV_RUN &&
                       phone_sender().pairing_generation() == generation;
            },
            STATE_PAIRED_SIGNED_OUT);
        if (g_dev.stop == DEV_RUN && is_paired_state(device.controller.State()) &&
            !device.controller.IsMinimized() && device.controller.Settings().auto_min == 1)
            device.controller.PostMinimize();

        bool host_loss_told = false;
        while (g_dev.stop == DEV_RUN) {
            if (g_dev.usb_host_gone && !host_loss_told) {
                // Nobody would use the phone again until the user unpaired:
                // the pairing ends, and is made again when so set, which
                // plugs the device in anew.
                host_loss_told = true;
                quor_log("STARTDEV: The USB host dropped the device, unpairing\n");
                device.controller.LinkLost(generation);
            }
            clock.sleep_ms(STOP_POLL_MS);
        }
        const EventHandle shutdown = open_named_event(EVENT_SOFTDEV_SHUTDOWN, EventReset::MANUAL);
        shutdown->set();
        while (g_dev.softdev_alive || g_dev.intr_thread_alive) clock.sleep_ms(ALIVE_POLL_MS);
        softdev.join();
        if (interrupt.joinable()) interrupt.join();
        g_dev.intr_queue.clear();
    }
    clock.sleep_ms(UNPLUG_DELAY_MS);
    const uint8_t unplug_record[UNPLUG_RECORD_SIZE] = {uint8_t(port), 0, 0, 0};
    bus.unplug(unplug_record, sizeof(unplug_record));
}

// The phone learns that the pairing failed; a paired window (the phone's
// SIGNED_IN can come before the device is plugged in) shows the unpairing.
// A pairing that fails here cannot succeed until the user mends the bus
// (loads vhci_hcd, gives the program its rights): the user is told once,
// instead of the program pairing again and again in silence. A pairing
// that is already being ended tells nobody.
void attachment_failed(DeviceContext& device) {
    if (device.controller.State() == STATE_PAIRING) {
        device.controller.SetDriverFailedMsg();
        raise_dev_stop();
        phone_sender().send_byte(UNPAIR);
    }
    const unsigned state = device.controller.State();
    if (state == STATE_PAIRED_SIGNED_OUT || state == STATE_PAIRED_SIGNED_IN) {
        device.controller.SetDriverFailedMsg();
        device.controller.SetState(STATE_UNPAIRING);
    }
}

// Whether STATE still shows the pairing this attachment served. It does not
// once the pairing time-out has returned the window to Not Paired (and
// perhaps begun the re-pair countdown), or when a newer pairing has begun:
// that state is not the ending attachment's to change.
bool shows_this_pairing(unsigned state, int generation) {
    return phone_sender().pairing_generation() == generation && state != STATE_NOT_PAIRED &&
           state != STATE_WAITING;
}

// Whatever stopped the previous attachment is over: its stop request is
// cleared while this pairing goes on (pairing, or paired already when the
// phone's SIGNED_IN came first). A stop asked for this pairing while the
// attachment waited counts: whoever asks for one moves the state away
// first (to Not Paired or Unpairing), so a pairing found over after the
// clear gets its stop back.
void clear_previous_stop(DeviceContext& device, int generation) {
    const auto going_on = [&] {
        const unsigned state = device.controller.State();
        return phone_sender().pairing_generation() == generation &&
               (state == STATE_PAIRING || is_paired_state(state));
    };
    if (!going_on()) return;
    int previous = DEV_STOP;
    g_dev.stop.compare_exchange_strong(previous, DEV_RUN);
    if (!going_on()) raise_dev_stop();
}
}  // namespace

int get_free_port(VirtualBus& bus) {
    uint8_t status[PORT_STATUS_SIZE];
    if (bus.port_status(status, sizeof(status)) != int(PORT_STATUS_SIZE)) return -1;
    for (size_t i = 1; i < PORT_STATUS_SIZE; ++i)
        if (status[i] == 0) return int(i);
    return -1;
}

int plugin_device(VirtualBus& bus, int port) {
    uint8_t device[DEVICE_DESCRIPTOR_SIZE];
    copy_device_descriptor(device);
    bus.describe_device(device, sizeof(device), CONFIG_DESCRIPTOR, sizeof(CONFIG_DESCRIPTOR));
    uint8_t record[PLUGIN_RECORD_SIZE];
    copy_plugin_record(record);
    record[PLUGIN_RECORD_PORT] = uint8_t(port);
    return bus.plugin(record, sizeof(record)) == 0 ? 0 : 1;
}

int run_attachment(DeviceContext& device, VirtualBus& bus) {
    // One attachment at a time. A pairing can begin while the previous
    // attachment still shuts down (the pairing time-out returned the window
    // to Not Paired while the device was being plugged in, and the user or
    // the re-pair countdown paired again at once): its device must wait for
    // the unplug, and must not clear the stop request that the previous
    // attachment's threads are still to see.
    static std::mutex one_attachment;
    const std::lock_guard serialized(one_attachment);
    const int generation = phone_sender().pairing_generation();
    clear_previous_stop(device, generation);
    int port = 0;
    bool opened = false;
    if (attach_device(device, bus, &port, &opened) == 0)
        serve_device(device, bus, port, generation);
    else
        attachment_failed(device);

    if (opened) bus.close_device();
    // A pairing that ends in the middle of a call (the phone's unpair, a
    // dropped link, the watchdog) leaves the call's stream open: its socket
    // would hold the RTP port, and the next call's answer could not bind it
    // and would run on this call's keys.
    release_call_stream();
    if (const auto& release = device.hooks.release_gruu) release();
    if (g_dev.stop == DEV_STOP_AND_EXIT)
        device.controller.EndDialog();
    else
        device.controller.SetStateIf(
            [generation](unsigned state) { return shows_this_pairing(state, generation); },
            STATE_NOT_PAIRED);
    return 0;
}

int start_device_thread(Controller& controller, SoftDevHooks hooks) {
    DeviceContext device(controller, std::move(hooks));
    const std::unique_ptr<VirtualBus> bus = make_virtual_bus();
    return run_attachment(device, *bus);
}

}  // namespace quor
