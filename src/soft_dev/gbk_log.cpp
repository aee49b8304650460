#include "soft_dev/gbk_log.h"

#include <array>

#include "platform/text_codepage.h"

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
    return convert_utf8_to_gbk(utf8, out);
}

const char* gbk_line(GbkLine line) {
    const size_t i = size_t(line);
    return i < LINE_COUNT ? converted_lines()[i].c_str() : "";
}

}  // namespace quor
