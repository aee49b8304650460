#include "soft_dev/gbk_log.h"

#include <iconv.h>

#include <array>

namespace quor {

namespace {
constexpr const char* UTF8_LINES[] = {
    "HIDDEV: 已取消\n",
    "HIDDEV: 缓存数据 发送数据（用户名密码）\n",
    "HIDDEV: Send Socket 6! 退出登录!\n",
    "HIDDEV: **收到用户名/密码 begin\n",
    "HIDDEV: **收到用户名/密码 mid\n",
    "HIDDEV: **收到用户名/密码 end\n",
    "HIDDEV: **收到用户名/密码 OK\n",
};
constexpr size_t LINE_COUNT = std::size(UTF8_LINES);

const std::array<std::string, LINE_COUNT>& converted_lines() {
    static const std::array<std::string, LINE_COUNT> lines = [] {
        std::array<std::string, LINE_COUNT> out;
        for (size_t i = 0; i < LINE_COUNT; ++i)
            if (utf8_to_gbk(UTF8_LINES[i], &out[i]) != 0) out[i] = UTF8_LINES[i];
        return out;
    }();
    return lines;
}
}  // namespace

int utf8_to_gbk(const std::string& utf8, std::string* out) {
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

const char* gbk_line(GbkLine line) {
    const size_t i = size_t(line);
    return i < LINE_COUNT ? converted_lines()[i].c_str() : "";
}

}  // namespace quor
