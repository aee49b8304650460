// Text in the code pages the phone's log readers use.
#pragma once

#include <string>

namespace quor {

// Converts UTF8 to GBK (code page 936) into *OUT: 0, or -1 (and *OUT
// untouched) when the system has no converter or the text has no GBK form.
int convert_utf8_to_gbk(const std::string& utf8, std::string* out);

}  // namespace quor
