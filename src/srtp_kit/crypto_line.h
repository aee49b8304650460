// Reading the key out of an SDES crypto line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace srtp_kit {

// Master key and salt of AES_CM_128_HMAC_SHA1_80.
constexpr size_t KEY_AND_SALT_LEN = 30;

// Accepts "<tag> AES_CM_128_HMAC_SHA1_80 inline:<40 base64 characters>",
// optionally followed by "|<lifetime>" and trailing white space, within the
// first LEN characters of TEXT. Lines with a master key index or session
// parameters, another suite or a key of another length are refused.
// 0 with the decoded bytes in KEY, or -1.
int parse_crypto_line(const char* text, size_t len, uint8_t key[KEY_AND_SALT_LEN]);

}  // namespace srtp_kit
