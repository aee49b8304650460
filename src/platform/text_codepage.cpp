#include "platform/text_codepage.h"

#include <iconv.h>

namespace quor {

int convert_utf8_to_gbk(const std::string& utf8, std::string* out) {
    iconv_t cd = iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
    // GBK never takes more bytes than UTF-8 for the same text.
    std::string buf(utf8.size(), '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t in_left = utf8.size();
    char* dst = buf.data();
    size_t out_left = buf.size();
    const size_t r = iconv(cd, &in, &in_left, &dst, &out_left);
    iconv_close(cd);
    if (r == size_t(-1) || in_left != 0) return -1;
    buf.resize(buf.size() - out_left);
    *out = std::move(buf);
    return 0;
}

}  // namespace quor
