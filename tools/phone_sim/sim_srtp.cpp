#include "sim_srtp.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace {
constexpr const char* KIT_FILE = "libquor_srtp_kit.so";

std::string beside_executable(const char* file) {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) return file;
    std::string full(path, size_t(n));
    return full.substr(0, full.rfind('/') + 1) + file;
}

template <typename Fn>
bool resolve(void* lib, const char* name, Fn* out) {
    *out = reinterpret_cast<Fn>(dlsym(lib, name));
    return *out != nullptr;
}
}  // namespace

SimSrtp::~SimSrtp() {
    destroy();
}

int SimSrtp::open_library(const char** why) {
    if (m_lib) return 0;
    void* lib = dlopen(beside_executable(KIT_FILE).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        *why = "SRTP library not found beside the simulator";
        return -1;
    }
    decltype(&srtp_kit_init) init = nullptr;
    if (!resolve(lib, "srtp_kit_init", &init) || !resolve(lib, "srtp_kit_create", &m_create) ||
        !resolve(lib, "srtp_kit_destroy", &m_destroy) ||
        !resolve(lib, "srtp_kit_add_stream", &m_add_stream) ||
        !resolve(lib, "srtp_kit_rtp_protect", &m_protect) ||
        !resolve(lib, "srtp_kit_rtp_unprotect", &m_unprotect) || init(nullptr) < 0) {
        dlclose(lib);
        *why = "SRTP library incomplete or not initialised";
        return -1;
    }
    m_lib = lib;
    return 0;
}

int SimSrtp::create(const std::string& local, const std::string& remote, uint32_t ssrc,
                    const char** why) {
    std::lock_guard lock(m_mutex);
    if (open_library(why) != 0) return -1;
    if (m_handle) m_destroy(m_handle);
    m_handle = nullptr;
    srtp_kit_params params{};
    params.remote_crypto = remote.c_str();
    params.remote_crypto_len = int32_t(remote.size());
    params.local_crypto = local.c_str();
    params.local_crypto_len = int32_t(local.size());
    srtp_kit_handle handle = nullptr;
    if (m_create(&handle, &params) < 0 || !handle) {
        *why = "the connector's crypto line was refused";
        return -1;
    }
    if (m_add_stream(handle, ssrc) < 0) {
        m_destroy(handle);
        *why = "the outgoing stream was refused";
        return -1;
    }
    m_handle = handle;
    return 0;
}

void SimSrtp::destroy() {
    std::lock_guard lock(m_mutex);
    if (m_handle) m_destroy(m_handle);
    m_handle = nullptr;
}

int SimSrtp::protect(uint8_t* buf, int* len) {
    std::lock_guard lock(m_mutex);
    return m_handle ? m_protect(m_handle, buf, len) : -1;
}

int SimSrtp::unprotect(uint8_t* buf, int* len) {
    std::lock_guard lock(m_mutex);
    return m_handle ? m_unprotect(m_handle, buf, len) : -1;
}
