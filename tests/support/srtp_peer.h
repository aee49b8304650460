// The phone's end of an SRTP stream for tests: the SRTP library opened
// directly, one context keyed with the lines the other way round, and a UDP
// socket on 127.0.0.1.
#pragma once

#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "media/media_api.h"
#include "srtp_kit/srtp_kit.h"

namespace quor::test {

constexpr uint32_t LOOPBACK = 0x7F000001;
constexpr uint16_t PROGRAM_RTP_PORT = 18747;

class SrtpPeer {
  public:
    // LOCAL keys what this peer sends, REMOTE what it receives.
    SrtpPeer(const std::string& local, const std::string& remote, uint32_t ssrc) {
        lib_ = dlopen(QUOR_SRTP_KIT_PATH, RTLD_NOW | RTLD_LOCAL);
        if (lib_ == nullptr) {
            ADD_FAILURE() << dlerror();
            return;
        }
        create_ = reinterpret_cast<decltype(create_)>(dlsym(lib_, "srtp_kit_create"));
        destroy_ = reinterpret_cast<decltype(destroy_)>(dlsym(lib_, "srtp_kit_destroy"));
        add_stream_ = reinterpret_cast<decltype(add_stream_)>(dlsym(lib_, "srtp_kit_add_stream"));
        protect_ = reinterpret_cast<decltype(protect_)>(dlsym(lib_, "srtp_kit_rtp_protect"));
        unprotect_ = reinterpret_cast<decltype(unprotect_)>(dlsym(lib_, "srtp_kit_rtp_unprotect"));
        auto init = reinterpret_cast<decltype(&srtp_kit_init)>(dlsym(lib_, "srtp_kit_init"));
        if (!create_ || !destroy_ || !add_stream_ || !protect_ || !unprotect_ || !init) {
            ADD_FAILURE() << "SRTP library incomplete";
            return;
        }
        init(nullptr);
        srtp_kit_params params{};
        params.remote_crypto = remote.c_str();
        params.remote_crypto_len = int32_t(remote.size());
        params.local_crypto = local.c_str();
        params.local_crypto_len = int32_t(local.size());
        created_ = create_(&handle_, &params);
        if (created_ == 0) added_ = add_stream_(handle_, ssrc);
    }
    ~SrtpPeer() {
        if (handle_ != nullptr) destroy_(handle_);
        if (lib_ != nullptr) dlclose(lib_);
    }
    SrtpPeer(const SrtpPeer&) = delete;
    SrtpPeer& operator=(const SrtpPeer&) = delete;

    bool ok() const { return created_ == 0 && added_ == 0; }
    int create_result() const { return created_; }

    // The protected packet, empty when protection failed.
    std::vector<uint8_t> protect(const std::vector<uint8_t>& plain) {
        std::vector<uint8_t> buf(plain);
        buf.resize(plain.size() + SRTP_KIT_TRAILER_ROOM);
        int len = int(plain.size());
        if (handle_ == nullptr || protect_(handle_, buf.data(), &len) != 0) return {};
        buf.resize(size_t(len));
        return buf;
    }
    // The plain packet, empty when it did not authenticate.
    std::vector<uint8_t> unprotect(const std::vector<uint8_t>& wire) {
        std::vector<uint8_t> buf(wire);
        int len = int(wire.size());
        if (handle_ == nullptr || buf.empty() || unprotect_(handle_, buf.data(), &len) != 0)
            return {};
        buf.resize(size_t(len));
        return buf;
    }

  private:
    void* lib_ = nullptr;
    srtp_kit_handle handle_ = nullptr;
    int created_ = -1;
    int added_ = -1;
    decltype(&srtp_kit_create) create_ = nullptr;
    decltype(&srtp_kit_destroy) destroy_ = nullptr;
    decltype(&srtp_kit_add_stream) add_stream_ = nullptr;
    decltype(&srtp_kit_rtp_protect) protect_ = nullptr;
    decltype(&srtp_kit_rtp_unprotect) unprotect_ = nullptr;
};

// An RTP packet: 12-byte header (payload type 108) and PAYLOAD.
inline std::vector<uint8_t> rtp_packet(uint16_t seq, uint32_t ssrc,
                                       const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> p(12 + payload.size(), 0);
    p[0] = 0x80;
    p[1] = 108;
    p[2] = uint8_t(seq >> 8);
    p[3] = uint8_t(seq);
    p[8] = uint8_t(ssrc >> 24);
    p[9] = uint8_t(ssrc >> 16);
    p[10] = uint8_t(ssrc >> 8);
    p[11] = uint8_t(ssrc);
    std::copy(payload.begin(), payload.end(), p.begin() + 12);
    return p;
}

// A UDP socket of the phone's on 127.0.0.1 that talks to the program's RTP
// port.
struct PhoneSocket {
    int fd = -1;
    explicit PhoneSocket(uint16_t port) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(LOOPBACK);
        if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) ADD_FAILURE() << "bind";
    }
    ~PhoneSocket() { close(fd); }
    PhoneSocket(const PhoneSocket&) = delete;
    PhoneSocket& operator=(const PhoneSocket&) = delete;

    void send_to_program(const std::vector<uint8_t>& d) const {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(PROGRAM_RTP_PORT);
        sa.sin_addr.s_addr = htonl(LOOPBACK);
        const uint32_t before = queued_at_program();
        ASSERT_EQ(sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)),
                  ssize_t(d.size()));
        // The program looks right after: wait until its socket holds the
        // datagram (loopback may hand it over after sendto returned).
        if (g_rtp_socket < 0) return;
        for (int waited = 0; queued_at_program() <= before; ++waited) {
            ASSERT_LT(waited, 5000) << "the datagram did not reach the program's socket";
            poll(nullptr, 0, 1);
        }
    }
    // Receive memory in use on the program's RTP socket; grows with each
    // datagram waiting there.
    static uint32_t queued_at_program() {
        uint32_t info[SK_MEMINFO_VARS] = {};
        socklen_t len = sizeof(info);
        const int program = g_rtp_socket;
        if (program < 0 || getsockopt(program, SOL_SOCKET, SO_MEMINFO, info, &len) != 0) return 0;
        return info[SK_MEMINFO_RMEM_ALLOC];
    }
    // The next datagram, empty when none came within TIMEOUT_MS.
    std::vector<uint8_t> receive(int timeout_ms = 500) const {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return {};
        std::vector<uint8_t> buf(2000);
        const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        buf.resize(n > 0 ? size_t(n) : 0);
        return buf;
    }
};

}  // namespace quor::test
