// One end of an SRTP stream written from RFC 3711 on OpenSSL's AES and
// HMAC-SHA1, sharing no code with the program's SRTP library: suite
// AES_CM_128_HMAC_SHA1_80, key derivation rate 0, and the receiver's
// estimate of the rollover counter from its section 3.3.1.
#pragma once

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace quor::test {

constexpr size_t SRTP_MASTER_LEN = 30;  // 16-byte key, 14-byte salt
constexpr size_t SRTP_TAG_LEN = 10;

// The 30 bytes of key and salt in the base64 text after "inline:".
inline std::vector<uint8_t> master_of_line(const std::string& line) {
    const std::string b64 = line.substr(line.find("inline:") + 7, 40);
    uint8_t out[31] = {};
    if (EVP_DecodeBlock(out, reinterpret_cast<const uint8_t*>(b64.data()), int(b64.size())) != 30)
        return {};
    return std::vector<uint8_t>(out, out + SRTP_MASTER_LEN);
}

class Rfc3711Srtp {
  public:
    explicit Rfc3711Srtp(const std::vector<uint8_t>& master) {
        if (master.size() != SRTP_MASTER_LEN) return;
        const uint8_t* key = master.data();
        const uint8_t* salt = master.data() + 16;
        derive(key, salt, 0x00, enc_key_, sizeof(enc_key_));
        derive(key, salt, 0x01, auth_key_, sizeof(auth_key_));
        derive(key, salt, 0x02, salt_, sizeof(salt_));
        ok_ = true;
    }

    bool ok() const { return ok_; }
    const uint8_t* cipher_key() const { return enc_key_; }
    const uint8_t* cipher_salt() const { return salt_; }
    const uint8_t* auth_key() const { return auth_key_; }
    // The receiver's rollover counter.
    uint32_t roc() const { return roc_; }

    // PLAIN protected as packet INDEX (rollover counter * 65536 + its
    // sequence number), which the sender counts itself.
    std::vector<uint8_t> protect(const std::vector<uint8_t>& plain, uint64_t index) const {
        const size_t header = header_len(plain);
        if (!ok_ || header == 0 || uint16_t(index) != sequence(plain)) return {};
        std::vector<uint8_t> out(plain);
        crypt(out, header, index);
        const std::vector<uint8_t> tag = auth_tag(out, uint32_t(index >> 16));
        out.insert(out.end(), tag.begin(), tag.end());
        return out;
    }

    // The plain packet, with the index guessed from its sequence number and
    // what came before; empty when it does not authenticate under it.
    std::vector<uint8_t> unprotect(const std::vector<uint8_t>& wire) {
        if (!ok_ || wire.size() < 12 + SRTP_TAG_LEN) return {};
        std::vector<uint8_t> packet(wire.begin(), wire.end() - SRTP_TAG_LEN);
        const size_t header = header_len(packet);
        if (header == 0) return {};
        const uint16_t seq = sequence(packet);
        uint32_t v = roc_;
        if (started_) {
            if (s_l_ < 32768) {
                if (int(seq) - int(s_l_) > 32768) v = roc_ - 1;
            } else if (int(s_l_) - 32768 > int(seq)) {
                v = roc_ + 1;
            }
        }
        const std::vector<uint8_t> tag = auth_tag(packet, v);
        if (memcmp(tag.data(), wire.data() + packet.size(), SRTP_TAG_LEN) != 0) return {};
        crypt(packet, header, (uint64_t(v) << 16) | seq);
        if (!started_ || v == roc_ + 1) {
            roc_ = v;
            s_l_ = seq;
        } else if (v == roc_ && seq > s_l_) {
            s_l_ = seq;
        }
        started_ = true;
        return packet;
    }

  private:
    static uint16_t sequence(const std::vector<uint8_t>& p) { return uint16_t(p[2] << 8 | p[3]); }
    // Fixed header and contributing sources; 0 when the packet is shorter.
    static size_t header_len(const std::vector<uint8_t>& p) {
        if (p.size() < 12) return 0;
        const size_t n = 12 + 4 * size_t(p[0] & 0x0F);
        return p.size() < n ? 0 : n;
    }
    // AES-128 in counter mode from IV over BUF (LEN bytes, in place).
    static void aes_cm(const uint8_t key[16], const uint8_t iv[16], uint8_t* buf, size_t len) {
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        int n = 0;
        EVP_EncryptInit_ex(ctx, EVP_aes_128_ctr(), nullptr, key, iv);
        EVP_EncryptUpdate(ctx, buf, &n, buf, int(len));
        EVP_CIPHER_CTX_free(ctx);
    }
    // Session key LABEL: the master salt with the label at byte 7, as the
    // counter's start, keying AES-CM over zeros.
    static void derive(const uint8_t* key, const uint8_t* salt, uint8_t label, uint8_t* out,
                       size_t len) {
        uint8_t iv[16] = {};
        memcpy(iv, salt, 14);
        iv[7] ^= label;
        memset(out, 0, len);
        aes_cm(key, iv, out, len);
    }
    void crypt(std::vector<uint8_t>& p, size_t header, uint64_t index) const {
        uint8_t iv[16] = {};
        memcpy(iv, salt_, 14);
        for (int i = 0; i < 4; ++i) iv[4 + i] ^= p[8 + i];  // SSRC
        for (int i = 0; i < 6; ++i) iv[8 + i] ^= uint8_t(index >> (40 - 8 * i));
        aes_cm(enc_key_, iv, p.data() + header, p.size() - header);
    }
    std::vector<uint8_t> auth_tag(const std::vector<uint8_t>& p, uint32_t roc) const {
        std::vector<uint8_t> m(p);
        for (int i = 0; i < 4; ++i) m.push_back(uint8_t(roc >> (24 - 8 * i)));
        uint8_t mac[EVP_MAX_MD_SIZE];
        unsigned n = 0;
        HMAC(EVP_sha1(), auth_key_, sizeof(auth_key_), m.data(), m.size(), mac, &n);
        return std::vector<uint8_t>(mac, mac + SRTP_TAG_LEN);
    }

    bool ok_ = false;
    uint8_t enc_key_[16] = {};
    uint8_t auth_key_[20] = {};
    uint8_t salt_[14] = {};
    bool started_ = false;
    uint32_t roc_ = 0;
    uint16_t s_l_ = 0;
};

}  // namespace quor::test
