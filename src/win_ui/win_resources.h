// Windows headers for the native front end, and the resources of the
// executable in the language that the whole run shows.
#pragma once

// The program's ids first: some of their names (IDOK, MB_YESNO, ...) are
// macros of windows.h with the same values, and must be declared before the
// macros exist.
#include "base/ids.h"
#include "base/strings.h"
#include "shell/resource_ids.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h comes first: the headers below need its types.
#include <commctrl.h>
#include <shellapi.h>

// windows.h maps LoadString to LoadStringA; the program's LoadString is the
// string lookup of base/strings.h.
#undef LoadString

#include <string>

namespace quor {

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& text);

// Text ID of the string table in the run's language, as UTF-16.
std::wstring load_text(int id);

// The user's interface language (GetUserDefaultUILanguage): Korean,
// Simplified Chinese (China or Singapore), English for every other.
UiLanguage language_of_user();

// The resource language of LANGUAGE: 1033, 1042 or 2052.
LANGID resource_language(UiLanguage language);

// The module whose resources the front end shows.
HINSTANCE resource_module();

// Dialog template ID and menu ID in the run's language (current_language()),
// so that one run shows one language throughout whatever the thread's
// preferences; null when missing.
const DLGTEMPLATE* find_dialog(int id);
HMENU load_menu(int id);

}  // namespace quor
