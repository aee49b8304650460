#include "soft_dev/audio_requests.h"

#include "base/diag_log.h"
#include "platform/byte_order.h"
#include "platform/event.h"
#include "soft_dev/audio_stream.h"
#include "soft_dev/call_stream.h"
#include "soft_dev/call_texts.h"
#include "soft_dev/class_reply.h"
#include "soft_dev/dev_globals.h"
#include "soft_dev/lync_state.h"
#include "soft_dev/softdev_thread.h"
#include "soft_dev/usbip_pdu.h"

namespace quor {

namespace {
enum AudioInterface : uint8_t { IF_CONTROL = 0, IF_SPEAKER = 1, IF_MICROPHONE = 2 };
enum ControlSelector : uint8_t { SEL_MUTE = 1, SEL_VOLUME = 2 };
enum AudioRequest : uint8_t {
    SET_CUR = 0x01,
    GET_CUR = 0x81,
    GET_MIN = 0x82,
    GET_MAX = 0x83,
    GET_RES = 0x84,
};
constexpr uint8_t SET_INTERFACE = 0x0B;
constexpr uint8_t ALT_IDLE = 0;
constexpr uint8_t ALT_ACTIVE = 1;

int reply(VirtualBus& bus, const uint8_t* req, const uint8_t* data, size_t n) {
    SEND_CLASS_REPLY(bus, req, ReplyHeader::CONTROL, data, n,
                     "process_audio_class_specific_requests");
    return 0;
}

int reply_u16(VirtualBus& bus, const uint8_t* req, uint16_t value) {
    uint8_t data[2];
    put_le16(data, value);
    return reply(bus, req, data, sizeof(data));
}

// A SET_CUR whose data stage is shorter than the control's value is
// dropped: nothing changes and the host gets no success.
bool has_data(const uint8_t* req, size_t len, size_t need) {
    if (request_data_len(req, len) >= need) return true;
    quor_log("AUDIODEV: SET_CUR with %zu of %zu data bytes dropped\n", request_data_len(req, len),
             need);
    return false;
}

int mute_request(VirtualBus& bus, const uint8_t* req, size_t len) {
    switch (req[PDU_REQUEST]) {
        case SET_CUR:
            if (!has_data(req, len, 1)) return -1;
            g_lync.mute_setting = req[PDU_DATA];
            return reply(bus, req, nullptr, 0);
        case GET_CUR: {
            const uint8_t value = g_lync.mute_setting;
            return reply(bus, req, &value, 1);
        }
        default:
            return -1;
    }
}

int volume_request(VirtualBus& bus, const uint8_t* req, size_t len) {
    switch (req[PDU_REQUEST]) {
        case SET_CUR:
            if (!has_data(req, len, 2)) return -1;
            g_lync.volume_setting = get_le16(req + PDU_DATA);
            return reply(bus, req, nullptr, 0);
        case GET_CUR:
            return reply_u16(bus, req, g_lync.volume_setting);
        case GET_MIN:
            return reply_u16(bus, req, VOLUME_MIN);
        case GET_MAX:
            return reply_u16(bus, req, VOLUME_MAX);
        case GET_RES:
            return reply_u16(bus, req, VOLUME_RES);
        default:
            quor_log("AUDIODEV: What's precdata[1] %d!\n", req[PDU_REQUEST]);
            return -1;
    }
}

int control_interface(VirtualBus& bus, const uint8_t* req, size_t len) {
    switch (req[PDU_VALUE_HIGH]) {
        case SEL_MUTE:
            return mute_request(bus, req, len);
        case SEL_VOLUME:
            return volume_request(bus, req, len);
        default:
            return reply(bus, req, nullptr, 0);
    }
}

bool may_open_stream(Controller& controller) {
    const unsigned state = controller.State();
    return g_lync.srtp_stream_active == 0 && controller.Settings().as_nm_dev == 1 &&
           (state == STATE_PAIRED_SIGNED_OUT || state == STATE_PAIRED_SIGNED_IN);
}

// False when no invitation could be made.
bool open_stream_for_audio() {
    if (open_call_stream("HIDDEV: Invite to create srtp stream (audio dev)\n") != 0) return false;
    clear_call_texts();
    return true;
}

void set_stream_event(const char* name, bool on) {
    const EventHandle e = open_named_event(name, EventReset::MANUAL);
    if (on)
        e->set();
    else
        e->reset();
}

// A direction's start/stop event is set while the host has it selected.
bool stream_selected(const char* name) {
    return open_named_event(name, EventReset::MANUAL)->wait(0) == 0;
}

// A direction fell idle while the other is not selected: the stream closes
// in 500 ms unless a direction becomes active first. The other direction's
// started flag is not enough: its worker lowers it on its first request, and
// a Linux host runs playback and capture as independent streams, so a
// microphone still recording would lose the phone's audio half a second
// after the speaker stopped.
void arm_idle_close(Controller& controller, const std::atomic<int>& other_started,
                    const char* other_event) {
    if (g_lync.srtp_stream_active == 0 || controller.Settings().as_nm_dev != 1 ||
        other_started != 0 || stream_selected(other_event))
        return;
    controller.StartTimer(TIMER_MEDIA_IDLE, MEDIA_IDLE_DELAY_MS);
    quor_log("HIDDEV: Close srtp stream (timmer)\n");
}

void speaker_setting(Controller& controller, uint8_t alt) {
    if (alt == ALT_ACTIVE) {
        quor_log("AUDIODEV: Spk Active\n");
        controller.StopTimer(TIMER_MEDIA_IDLE);
        if (may_open_stream(controller)) open_stream_for_audio();
        g_lync.pb_stream_started = 1;
        set_stream_event(EVENT_PB_START_STOP, true);
    } else if (alt == ALT_IDLE) {
        quor_log("AUDIODEV: Spk Idle\n");
        arm_idle_close(controller, g_lync.cp_stream_started, EVENT_CP_START_STOP);
        g_lync.pb_stream_started = 0;
        set_stream_event(EVENT_PB_START_STOP, false);
    }
}

void microphone_setting(Controller& controller, uint8_t alt) {
    if (alt == ALT_ACTIVE) {
        quor_log("AUDIODEV: Mic Active RtpActive: %d\n", g_lync.srtp_stream_active.load());
        controller.StopTimer(TIMER_MEDIA_IDLE);
        // A call dialog opens what could not be opened here.
        if (!may_open_stream(controller) || !open_stream_for_audio()) g_lync.invite_on_dialog = 1;
        g_lync.cp_stream_started = 1;
        clear_last_capture_frame();
        set_stream_event(EVENT_CP_START_STOP, true);
    } else if (alt == ALT_IDLE) {
        quor_log("AUDIODEV: Mic Idle RtpActive: %d\n", g_lync.srtp_stream_active.load());
        arm_idle_close(controller, g_lync.pb_stream_started, EVENT_PB_START_STOP);
        g_lync.invite_on_dialog = 0;
        g_lync.cp_stream_started = 0;
        set_stream_event(EVENT_CP_START_STOP, false);
    }
}
}  // namespace

int process_audio_class_specific_requests(Controller& controller, VirtualBus& bus,
                                          const uint8_t* req, size_t len) {
    const uint8_t interface = req[PDU_INDEX_LOW];
    switch (interface) {
        case IF_CONTROL:
            return control_interface(bus, req, len);
        case IF_SPEAKER:
        case IF_MICROPHONE:
            if (req[PDU_REQUEST] != SET_INTERFACE) return -1;
            if (interface == IF_SPEAKER)
                speaker_setting(controller, req[PDU_VALUE_LOW]);
            else
                microphone_setting(controller, req[PDU_VALUE_LOW]);
            return reply(bus, req, nullptr, 0);
        default:
            quor_log("AUDIODEV: What's precdata[4] %d!\n", interface);
            return -1;
    }
}

}  // namespace quor
