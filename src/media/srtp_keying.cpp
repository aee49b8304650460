#include "media/srtp_keying.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "base/base64.h"
#include "base/diag_log.h"
#include "platform/dynlib.h"
#include "platform/process.h"
#include "platform/random.h"

namespace quor {

MediaKeys g_media;

namespace {
constexpr const char* SRTP_KIT_STEM = "quor_srtp_kit";
constexpr const char* CRYPTO_PREFIX = "1 AES_CM_128_HMAC_SHA1_80 inline:";
constexpr size_t KEY_BYTES = 30;
constexpr int SRTP_LOG_LEVEL = 3;

// The twelve entry points, in the order they are resolved.
struct SrtpKitApi {
    decltype(&srtp_kit_init) init;
    decltype(&srtp_kit_exit) exit;
    decltype(&srtp_version) version;
    decltype(&srtp_build) build;
    decltype(&srtp_kit_create) create;
    decltype(&srtp_kit_destroy) destroy;
    decltype(&srtp_kit_add_stream) add_stream;
    decltype(&srtp_kit_del_stream) del_stream;
    decltype(&srtp_kit_rtp_protect) rtp_protect;
    decltype(&srtp_kit_rtp_unprotect) rtp_unprotect;
    decltype(&srtp_kit_rtcp_protect) rtcp_protect;
    decltype(&srtp_kit_rtcp_unprotect) rtcp_unprotect;
};

// Written by start-up before any call thread exists; a failed load leaves
// an earlier complete table in place.
SrtpKitApi g_kit{};
std::atomic<bool> g_kit_loaded{false};
std::atomic<bool> g_kit_ready{false};

template <typename Fn>
bool resolve(void* lib, const char* name, Fn* out) {
    void* sym = dynlib_symbol(lib, name);
    if (sym == nullptr) {
        quor_log("Quor ERR: SRTP library lacks %s\n", name);
        return false;
    }
    *out = reinterpret_cast<Fn>(sym);
    return true;
}

void destroy_locked() {
    if (g_media.srtp_session != nullptr) {
        g_kit.destroy(g_media.srtp_session);
        g_media.srtp_session = nullptr;
    }
}
}  // namespace

int load_srtp_library_at(const char* path, int* error_code) {
    int unused = 0;
    if (error_code == nullptr) error_code = &unused;
    std::string why;
    void* lib = dynlib_open(path, &why);
    if (lib == nullptr) {
        quor_log("Quor ERR: cannot load the SRTP library: %s\n", why.c_str());
        *error_code = SRTP_LOAD_NO_LIBRARY;
        return -1;
    }
    SrtpKitApi api{};
    const bool complete =
        resolve(lib, "srtp_kit_init", &api.init) && resolve(lib, "srtp_kit_exit", &api.exit) &&
        resolve(lib, "srtp_version", &api.version) && resolve(lib, "srtp_build", &api.build) &&
        resolve(lib, "srtp_kit_create", &api.create) &&
        resolve(lib, "srtp_kit_destroy", &api.destroy) &&
        resolve(lib, "srtp_kit_add_stream", &api.add_stream) &&
        resolve(lib, "srtp_kit_del_stream", &api.del_stream) &&
        resolve(lib, "srtp_kit_rtp_protect", &api.rtp_protect) &&
        resolve(lib, "srtp_kit_rtp_unprotect", &api.rtp_unprotect) &&
        resolve(lib, "srtp_kit_rtcp_protect", &api.rtcp_protect) &&
        resolve(lib, "srtp_kit_rtcp_unprotect", &api.rtcp_unprotect);
    if (!complete) {
        dynlib_close(lib);
        *error_code = SRTP_LOAD_NO_ENTRY;
        return -1;
    }
    std::lock_guard lk(g_media.lock);
    if (g_kit_loaded) {
        // Another library already serves; keep it (and this handle's
        // reference, so a library never goes away while it is in use).
        return 0;
    }
    g_kit = api;
    g_kit_loaded = true;
    return 0;
}

int load_srtp_library(int* error_code) {
    std::string dir = executable_dir();
    if (dir.empty()) dir = "./";
    return load_srtp_library_at((dir + dynlib_file_name(SRTP_KIT_STEM)).c_str(), error_code);
}

int init_srtp_library() {
    if (!g_kit_loaded) return -1;
    srtp_kit_log_config config{SRTP_LOG_LEVEL, quor_log};
    // Only the entry points the calls need are ever called: srtp_version,
    // srtp_build and the others are resolved to check the library, no more.
    const int rc = g_kit.init(&config);
    g_kit_ready = rc >= 0;
    if (rc >= 0) quor_log("NETWORK: SRTP library started\n");
    return rc;
}

bool srtp_library_ready() {
    return g_kit_ready;
}

int draw_random(uint8_t* buf, size_t len) {
    if (random_bytes(buf, len) == 0) return 0;
    quor_log("Quor ERR: no random bytes: %s\n", strerror(errno));
    return -1;
}

int make_local_crypto() {
    uint8_t key[KEY_BYTES];
    char text[100];
    if (draw_random(key, sizeof(key)) != 0) return -1;
    const int n = base64_encode(key, sizeof(key), text, sizeof(text));
    explicit_bzero(key, sizeof(key));
    const size_t prefix_len = strlen(CRYPTO_PREFIX);
    if (n < 0 || prefix_len + size_t(n) >= sizeof(g_media.local_crypto)) {
        explicit_bzero(text, sizeof(text));
        return -1;
    }
    std::lock_guard lk(g_media.lock);
    memcpy(g_media.local_crypto, CRYPTO_PREFIX, prefix_len);
    memcpy(g_media.local_crypto + prefix_len, text, size_t(n) + 1);
    explicit_bzero(text, sizeof(text));
    return 0;
}

int create_srtp_session(const char* remote_crypto) {
    // Working copies of both lines, so that a call ending meanwhile can wipe
    // the shared ones; they are wiped in turn before this returns.
    struct KeyLines {
        char remote[CRYPTO_LINE_SIZE] = {};
        char local[CRYPTO_LINE_SIZE] = {};
        ~KeyLines() { explicit_bzero(this, sizeof(*this)); }
    } lines;
    const size_t n = remote_crypto ? strnlen(remote_crypto, CRYPTO_LINE_SIZE - 1) : 0;
    if (n > 0) memcpy(lines.remote, remote_crypto, n);
    {
        std::lock_guard lk(g_media.lock);
        memcpy(g_media.remote_crypto, lines.remote, sizeof(g_media.remote_crypto));
        memcpy(lines.local, g_media.local_crypto, sizeof(lines.local));
    }
    lines.local[CRYPTO_LINE_SIZE - 1] = '\0';
    if (!g_kit_ready) {
        quor_log("NETWORK: no SRTP library for the call\n");
        return -1;
    }
    uint8_t ssrc_bytes[4];
    if (draw_random(ssrc_bytes, sizeof(ssrc_bytes)) != 0) return -1;
    const uint32_t ssrc = (uint32_t(ssrc_bytes[0]) << 24) | (uint32_t(ssrc_bytes[1]) << 16) |
                          (uint32_t(ssrc_bytes[2]) << 8) | ssrc_bytes[3];

    // Deriving the keys takes long (in an emulated machine hundreds of
    // milliseconds), and the audio workers must not wait for it: the new
    // context is built unshared and only swapped in under the lock.
    srtp_kit_params params{};
    params.remote_crypto = lines.remote;
    params.remote_crypto_len = int32_t(n);
    params.local_crypto = lines.local;
    params.local_crypto_len = int32_t(strlen(lines.local));
    srtp_kit_handle handle = nullptr;
    const bool created = g_kit.create(&handle, &params) >= 0 && handle != nullptr;
    // Without its outgoing stream the context stays, but every send fails.
    const bool sending = created && g_kit.add_stream(handle, ssrc) >= 0;

    std::lock_guard lk(g_media.lock);
    destroy_locked();
    g_media.rtp_packet_count = 0;
    g_media.rtp_ssrc = ssrc;
    if (!created) return -1;
    g_media.srtp_session = handle;
    return sending ? 0 : -1;
}

void destroy_srtp_session() {
    std::lock_guard lk(g_media.lock);
    destroy_locked();
    // The call is over: neither side's key stays behind in our buffers.
    explicit_bzero(g_media.local_crypto, sizeof(g_media.local_crypto));
    explicit_bzero(g_media.remote_crypto, sizeof(g_media.remote_crypto));
}

int srtp_protect_locked(uint8_t* packet, int* len) {
    if (g_media.srtp_session == nullptr) return -1;
    return g_kit.rtp_protect(g_media.srtp_session, packet, len);
}

int srtp_unprotect_locked(uint8_t* packet, int* len) {
    if (g_media.srtp_session == nullptr) return -1;
    return g_kit.rtp_unprotect(g_media.srtp_session, packet, len);
}

}  // namespace quor
