#include "win_ui/win_resources.h"

namespace quor {

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(n > 0 ? n : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                            nullptr, nullptr);
    return out;
}

std::wstring load_text(int id) {
    return widen(LoadString(id));
}

UiLanguage language_of_user() {
    const LANGID id = GetUserDefaultUILanguage();
    switch (PRIMARYLANGID(id)) {
        case LANG_KOREAN:
            return UiLanguage::Korean;
        case LANG_CHINESE:
            if (SUBLANGID(id) == SUBLANG_CHINESE_SIMPLIFIED ||
                SUBLANGID(id) == SUBLANG_CHINESE_SINGAPORE)
                return UiLanguage::Chinese;
            break;
        default:
            break;
    }
    return UiLanguage::English;
}

LANGID resource_language(UiLanguage language) {
    switch (language) {
        case UiLanguage::Korean:
            return MAKELANGID(LANG_KOREAN, SUBLANG_KOREAN);
        case UiLanguage::Chinese:
            return MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
        case UiLanguage::English:
            break;
    }
    return MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
}

HINSTANCE resource_module() {
    return GetModuleHandleW(nullptr);
}

namespace {

const void* find_resource(const wchar_t* type, int id) {
    HINSTANCE module = resource_module();
    HRSRC found =
        FindResourceExW(module, type, MAKEINTRESOURCEW(id), resource_language(current_language()));
    if (!found) found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    if (!found) return nullptr;
    HGLOBAL loaded = LoadResource(module, found);
    return loaded ? LockResource(loaded) : nullptr;
}

}  // namespace

const DLGTEMPLATE* find_dialog(int id) {
    return static_cast<const DLGTEMPLATE*>(find_resource(MAKEINTRESOURCEW(5), id));
}

HMENU load_menu(int id) {
    const void* menu = find_resource(MAKEINTRESOURCEW(4), id);
    return menu ? LoadMenuIndirectW(menu) : nullptr;
}

}  // namespace quor
