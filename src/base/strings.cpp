#include "base/strings.h"

#include <strings.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "base/string_tables.h"

namespace {

// -1 until the language is first asked for or set.
std::atomic<int> g_ui_language{-1};

const char* env_value(const char* name) {
    const char* v = getenv(name);
    return v && *v ? v : nullptr;
}

// Length of the leading part of S up to one of the locale separators.
size_t part_length(const char* s) {
    return strcspn(s, "_-.@");
}

bool part_is(const char* s, size_t len, const char* word) {
    return len == strlen(word) && strncasecmp(s, word, len) == 0;
}

UiLanguage language_of_locale(const char* locale) {
    size_t len = part_length(locale);
    if (part_is(locale, len, "ko")) return UiLanguage::Korean;
    if (!part_is(locale, len, "zh")) return UiLanguage::English;
    // Plain "zh" (possibly with a codeset or modifier) is Simplified Chinese.
    if (locale[len] != '_' && locale[len] != '-') return UiLanguage::Chinese;
    const char* region = locale + len + 1;
    size_t region_len = part_length(region);
    if (part_is(region, region_len, "CN") || part_is(region, region_len, "SG") ||
        part_is(region, region_len, "Hans"))
        return UiLanguage::Chinese;
    return UiLanguage::English;
}

}  // namespace

UiLanguage language_from_environment() {
    if (const char* language = env_value("LANGUAGE")) {
        std::string first(language, strcspn(language, ":"));
        if (!first.empty()) return language_of_locale(first.c_str());
    }
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        if (const char* locale = env_value(name)) return language_of_locale(locale);
    }
    return UiLanguage::English;
}

UiLanguage current_language() {
    int language = g_ui_language.load();
    if (language < 0) {
        int expected = -1;
        g_ui_language.compare_exchange_strong(expected,
                                              static_cast<int>(language_from_environment()));
        language = g_ui_language.load();
    }
    return static_cast<UiLanguage>(language);
}

void set_language(UiLanguage language) {
    g_ui_language.store(static_cast<int>(language));
}

std::string LoadString(int id) {
    if (id < FIRST_STRING_ID || id > LAST_STRING_ID) return {};
    const StringTable* table = &STRINGS_ENGLISH;
    switch (current_language()) {
        case UiLanguage::Korean:
            table = &STRINGS_KOREAN;
            break;
        case UiLanguage::Chinese:
            table = &STRINGS_CHINESE;
            break;
        case UiLanguage::English:
            break;
    }
    return (*table)[id - FIRST_STRING_ID];
}

std::string integer_prompt_text() {
    return "请输入一个整数。";
}
