// The SRTP library's entry points on top of libsrtp2, one context per call:
// an inbound template keyed with the phone's line, and one outgoing stream
// per SSRC keyed with our own line.
#include "srtp_kit/srtp_kit.h"

#include <srtp2/srtp.h>

#include <atomic>
#include <cstring>
#include <new>

#include "srtp_kit/crypto_line.h"

struct srtp_kit_session {
    srtp_t ctx = nullptr;
    uint8_t local_key[srtp_kit::KEY_AND_SALT_LEN] = {};

    srtp_kit_session() = default;
    srtp_kit_session(const srtp_kit_session&) = delete;
    srtp_kit_session& operator=(const srtp_kit_session&) = delete;
    // libsrtp wipes the keys it derived; the master key is ours to wipe.
    ~srtp_kit_session() {
        if (ctx != nullptr) srtp_dealloc(ctx);
        explicit_bzero(local_key, sizeof(local_key));
    }
};

namespace {
std::atomic<srtp_kit_log_fn> g_log_fn{nullptr};
std::atomic<int32_t> g_log_level{-1};
// libsrtp keeps one crypto kernel per process; a second srtp_init fails.
std::atomic<bool> g_initialised{false};

void forward_log(srtp_log_level_t level, const char* msg, void*) {
    const srtp_kit_log_fn fn = g_log_fn.load();
    if (fn != nullptr && int32_t(level) <= g_log_level.load()) fn("SRTP: %s\n", msg);
}

void kit_log(const char* text) {
    const srtp_kit_log_fn fn = g_log_fn.load();
    if (fn != nullptr) fn("SRTP: %s\n", text);
}

void make_policy(srtp_policy_t* policy, uint8_t* key, srtp_ssrc_type_t type, uint32_t ssrc) {
    memset(policy, 0, sizeof(*policy));
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy->rtp);
    srtp_crypto_policy_set_aes_cm_128_hmac_sha1_80(&policy->rtcp);
    policy->ssrc.type = type;
    policy->ssrc.value = ssrc;
    policy->key = key;
    policy->window_size = 128;
}

bool usable(srtp_kit_handle handle, const void* packet, const int* len) {
    return handle != nullptr && handle->ctx != nullptr && packet != nullptr && len != nullptr &&
           *len > 0;
}
}  // namespace

extern "C" {

int srtp_kit_init(const srtp_kit_log_config* config) {
    if (config != nullptr) {
        g_log_level = config->level;
        g_log_fn = config->log;
    }
    srtp_install_log_handler(forward_log, nullptr);
    if (g_initialised.exchange(true)) return 0;
    if (srtp_init() == srtp_err_status_ok) return 0;
    g_initialised = false;
    return -1;
}

int srtp_kit_exit(void) {
    if (!g_initialised.exchange(false)) return 0;
    const int rc = srtp_shutdown() == srtp_err_status_ok ? 0 : -1;
    srtp_install_log_handler(nullptr, nullptr);
    g_log_fn = nullptr;
    return rc;
}

const char* srtp_version(void) {
    return srtp_get_version_string();
}

const char* srtp_build(void) {
    return "quor srtp kit 1 (AES_CM_128_HMAC_SHA1_80, SDES inline keys)";
}

int srtp_kit_create(srtp_kit_handle* handle, const srtp_kit_params* params) {
    if (handle == nullptr || params == nullptr || params->remote_crypto_len < 0 ||
        params->local_crypto_len < 0)
        return -1;
    uint8_t remote_key[srtp_kit::KEY_AND_SALT_LEN];
    auto* session = new (std::nothrow) srtp_kit_session;
    if (session == nullptr) return -1;
    if (srtp_kit::parse_crypto_line(params->remote_crypto, size_t(params->remote_crypto_len),
                                    remote_key) != 0 ||
        srtp_kit::parse_crypto_line(params->local_crypto, size_t(params->local_crypto_len),
                                    session->local_key) != 0) {
        explicit_bzero(remote_key, sizeof(remote_key));
        kit_log("crypto line refused");
        delete session;
        return -1;
    }
    srtp_policy_t inbound;
    make_policy(&inbound, remote_key, ssrc_any_inbound, 0);
    const srtp_err_status_t status = srtp_create(&session->ctx, &inbound);
    explicit_bzero(remote_key, sizeof(remote_key));
    if (status != srtp_err_status_ok) {
        kit_log("context not created");
        delete session;
        return -1;
    }
    *handle = session;
    return 0;
}

void srtp_kit_destroy(srtp_kit_handle handle) {
    delete handle;
}

int srtp_kit_add_stream(srtp_kit_handle handle, uint32_t ssrc) {
    if (handle == nullptr || handle->ctx == nullptr) return -1;
    srtp_policy_t outbound;
    make_policy(&outbound, handle->local_key, ssrc_specific, ssrc);
    return srtp_add_stream(handle->ctx, &outbound) == srtp_err_status_ok ? 0 : -1;
}

int srtp_kit_del_stream(srtp_kit_handle handle, uint32_t ssrc) {
    if (handle == nullptr || handle->ctx == nullptr) return -1;
    return srtp_remove_stream(handle->ctx, ssrc) == srtp_err_status_ok ? 0 : -1;
}

int srtp_kit_rtp_protect(srtp_kit_handle handle, void* packet, int* len) {
    if (!usable(handle, packet, len)) return int(srtp_err_status_bad_param);
    return int(srtp_protect(handle->ctx, packet, len));
}

int srtp_kit_rtp_unprotect(srtp_kit_handle handle, void* packet, int* len) {
    if (!usable(handle, packet, len)) return int(srtp_err_status_bad_param);
    return int(srtp_unprotect(handle->ctx, packet, len));
}

int srtp_kit_rtcp_protect(srtp_kit_handle handle, void* packet, int* len) {
    if (!usable(handle, packet, len)) return int(srtp_err_status_bad_param);
    return int(srtp_protect_rtcp(handle->ctx, packet, len));
}

int srtp_kit_rtcp_unprotect(srtp_kit_handle handle, void* packet, int* len) {
    if (!usable(handle, packet, len)) return int(srtp_err_status_bad_param);
    return int(srtp_unprotect_rtcp(handle->ctx, packet, len));
}

}  // extern "C"
