// The string tables compiled from res/, one per interface language.
#pragma once

#include <array>

#include "base/strings.h"

using StringTable = std::array<const char*, LAST_STRING_ID - FIRST_STRING_ID + 1>;

extern const StringTable STRINGS_ENGLISH;
extern const StringTable STRINGS_KOREAN;
extern const StringTable STRINGS_CHINESE;
