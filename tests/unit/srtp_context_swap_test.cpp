// Replacing the call's SRTP context while the audio workers use the old one:
// the keys are derived without the media lock, so a worker that protects or
// unprotects meanwhile is not held up (in the emulated test guest the
// derivation took 140 to 290 ms), and the new context takes over whole.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media/media_api.h"
#include "media/rtp_session.h"
#include "media/srtp_keying.h"
#include "support/srtp_peer.h"

namespace quor::test {
namespace {

const std::string PREFIX = "1 AES_CM_128_HMAC_SHA1_80 inline:";
const std::string LINE_A = PREFIX + "WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz";
const std::string LINE_B = PREFIX + "Q7Vdh8bVjCD8PtJjN0k6s8GmDWrYRmA6QPmzfzGd";

// The gate of the library copy whose key derivation a test can hold.
struct Gate {
    void (*arm)() = nullptr;
    int (*wait_stopped)(int) = nullptr;
    void (*open)() = nullptr;
};

Gate find_gate() {
    Gate g;
    void* lib = dlopen(QUOR_SRTP_KIT_GATED_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (lib == nullptr) return g;
    g.arm = reinterpret_cast<void (*)()>(dlsym(lib, "srtp_kit_gate_arm"));
    g.wait_stopped = reinterpret_cast<int (*)(int)>(dlsym(lib, "srtp_kit_gate_wait_stopped"));
    g.open = reinterpret_cast<void (*)()>(dlsym(lib, "srtp_kit_gate_open"));
    return g;
}

// A packet of ours (header with the current SSRC) protected with the
// current context, as the playback worker does; the caller holds the media
// lock. Empty when that failed.
std::vector<uint8_t> protect_ours_locked(uint32_t count) {
    uint8_t header[RTP_HEADER_LEN];
    std::vector<uint8_t> buf(RTP_HEADER_LEN + RTP_PAYLOAD_BYTES + SRTP_KIT_TRAILER_ROOM, 0x11);
    build_rtp_header(count, g_media.rtp_ssrc, header);
    std::copy(header, header + RTP_HEADER_LEN, buf.begin());
    int len = int(RTP_HEADER_LEN + RTP_PAYLOAD_BYTES);
    if (srtp_protect_locked(buf.data(), &len) != 0) return {};
    buf.resize(size_t(len));
    return buf;
}

std::vector<uint8_t> protect_ours(uint32_t count) {
    std::lock_guard lk(g_media.lock);
    return protect_ours_locked(count);
}

TEST(SrtpContextSwap, TheOldContextServesWhileTheNewKeysAreDerived) {
    int code = 0;
    ASSERT_EQ(load_srtp_library_at(QUOR_SRTP_KIT_GATED_PATH, &code), 0) << code;
    ASSERT_GE(init_srtp_library(), 0);
    const Gate gate = find_gate();
    ASSERT_TRUE(gate.arm && gate.wait_stopped && gate.open);

    ASSERT_EQ(make_local_crypto(), 0);
    ASSERT_EQ(create_srtp_session(LINE_A.c_str()), 0);
    SrtpPeer first_phone(LINE_A, g_media.local_crypto, 0x1234);
    ASSERT_TRUE(first_phone.ok());

    // The next offer: a new key of ours and a new line from the phone.
    ASSERT_EQ(make_local_crypto(), 0);
    gate.arm();
    int created = -2;
    std::thread control([&] { created = create_srtp_session(LINE_B.c_str()); });
    const bool stopped = gate.wait_stopped(10000) == 1;
    EXPECT_TRUE(stopped) << "the new context's creation never reached its key derivation";
    std::vector<uint8_t> during;
    if (stopped) {
        std::unique_lock lk(g_media.lock, std::try_to_lock);
        EXPECT_TRUE(lk.owns_lock()) << "the media lock is held while the keys are derived";
        // Meanwhile a worker's packets still go out keyed as the phone
        // expects them.
        if (lk.owns_lock()) during = protect_ours_locked(1);
    }
    gate.open();
    control.join();
    ASSERT_EQ(created, 0);
    EXPECT_FALSE(first_phone.unprotect(during).empty());

    // Afterwards the new context, and its stream starting again at 0.
    EXPECT_EQ(g_media.rtp_packet_count, 0u);
    SrtpPeer second_phone(LINE_B, g_media.local_crypto, 0x5678);
    ASSERT_TRUE(second_phone.ok());
    const std::vector<uint8_t> after = protect_ours(0);
    EXPECT_FALSE(second_phone.unprotect(after).empty());
    EXPECT_TRUE(first_phone.unprotect(protect_ours(2)).empty());
    destroy_srtp_session();
}

}  // namespace
}  // namespace quor::test
