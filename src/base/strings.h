// User-visible texts by number, in the user's interface language.
#pragma once

#include <string>

constexpr int FIRST_STRING_ID = 101;
constexpr int LAST_STRING_ID = 136;

enum class UiLanguage { English, Korean, Chinese };

// The language of the locale environment: the first entry of LANGUAGE when it
// is set and not empty, else LC_ALL, else LC_MESSAGES, else LANG. Korean for
// "ko", Chinese for "zh" alone or with the territory CN or SG or the script
// Hans; English for everything else.
UiLanguage language_from_environment();

// The language of every lookup: taken from the environment at the first call
// unless set_language chose one before.
UiLanguage current_language();
void set_language(UiLanguage language);

// UTF-8 text of string ID in the current language; empty for an id outside
// 101..136.
std::string LoadString(int id);

// The dialog framework's prompt for an entry that is not an integer. The
// framework brings it in Simplified Chinese only, so every language shows it.
std::string integer_prompt_text();
