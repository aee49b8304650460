// Writes the Windows resource script of the native front end: the string
// tables, dialogs 100, 102 and 106 and menus 129 and 130 in English, Korean
// and Simplified Chinese, taken from the same tables that the Linux front end
// shows, plus the images, the version block and the manifest. A host
// program: it runs during the Windows build, before windres.
//
// Usage: make_rc OUT.rc IMAGE_DIR MANIFEST
#include <cstdio>
#include <string>

#include "base/strings.h"
#include "shell/resource_ids.h"
#include "ui/dialog_templates.h"
#include "ui/tray_menus.h"

namespace {

using quor::CtlKind;

// "2.0.14.0" as "2, 0, 14, 0" (SEPARATOR ", ") or "2,0,14,0" (",").
std::string version_words(const char* separator) {
    std::string out;
    for (const char* p = QUOR_VERSION; *p; ++p) {
        if (*p == '.')
            out += separator;
        else
            out += *p;
    }
    return out;
}

struct Language {
    UiLanguage ui;
    const char* rc_language;  // LANGUAGE statement
    const char* font;         // dialog font, 9 points
    int charset;
    const char* block;  // version block: language and code page, hex
    const char* description;
    const char* product;
};

const Language LANGUAGES[] = {
    {UiLanguage::English, "LANG_ENGLISH, SUBLANG_ENGLISH_US", "Calibri", 0, "040904b0",
     "Kestrow Quor Application", "Kestrow Quor Connector"},
    {UiLanguage::Korean, "LANG_KOREAN, SUBLANG_KOREAN", "Calibri", 129, "041204b0",
     "Kestrow Quor 신청", "Kestrow Quor 커넥터"},
    {UiLanguage::Chinese, "LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED", "宋体", 134, "080404b0",
     "KestrowQuor应用程序", "KestrowQuor"},
};

// A resource-script string literal: quotes doubled, control characters as
// C escapes (the script is UTF-8, which code page 65001 declares).
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\"\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += c;
        }
    }
    return out + "\"";
}

std::string control_line(const quor::ControlTemplate& c) {
    const bool tab = c.flags & quor::CTL_TABSTOP;
    const bool hidden = c.flags & quor::CTL_HIDDEN;
    std::string cls;
    std::string style;
    std::string text = quoted(c.text);
    switch (c.kind) {
        case CtlKind::DefPushButton:
            cls = "\"Button\"";
            style = "BS_DEFPUSHBUTTON";
            break;
        case CtlKind::PushButton:
            cls = "\"Button\"";
            style = "BS_PUSHBUTTON";
            break;
        case CtlKind::Label:
            cls = "\"Static\"";
            style = "SS_LEFT | WS_GROUP";
            break;
        case CtlKind::SunkenLabel:
            cls = "\"Static\"";
            style = "SS_LEFT | SS_SUNKEN | WS_GROUP";
            break;
        case CtlKind::StatusText:
            cls = "\"Static\"";
            style = "SS_CENTER | SS_CENTERIMAGE | WS_BORDER | WS_GROUP";
            break;
        case CtlKind::GroupBox:
            cls = "\"Button\"";
            style = "BS_GROUPBOX";
            break;
        case CtlKind::Bitmap:
            cls = "\"Static\"";
            text = std::to_string(quor::IDB_BANNER);
            style = "SS_BITMAP | SS_REALSIZECONTROL";
            break;
        case CtlKind::CheckBox:
            cls = "\"Button\"";
            style = "BS_AUTOCHECKBOX";
            break;
        case CtlKind::Edit:
            cls = "\"Edit\"";
            style = "ES_AUTOHSCROLL | WS_BORDER";
            if (c.flags & quor::CTL_DIGITS) style += " | ES_NUMBER";
            break;
        case CtlKind::IpAddress:
            cls = "\"SysIPAddress32\"";
            style = "0";
            break;
    }
    if (tab) style += " | WS_TABSTOP";
    if (hidden) style += " | NOT WS_VISIBLE";
    char pos[64];
    snprintf(pos, sizeof pos, "%d, %d, %d, %d", c.x, c.y, c.cx, c.cy);
    return "    CONTROL " + text + ", " + std::to_string(c.id) + ", " + cls + ", " + style + ", " +
           pos + "\n";
}

void write_dialog(FILE* out, const Language& lang, quor::DialogId id) {
    const quor::DialogTemplate& t = quor::dialog_template(id, lang.ui);
    const char* style = "";
    const char* exstyle = nullptr;
    switch (id) {
        case quor::IDD_ABOUTBOX:
            style = "DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU";
            break;
        case quor::IDD_MAIN:
            style =
                "DS_SETFONT | DS_MODALFRAME | DS_SYSMODAL | WS_POPUP | WS_VISIBLE | WS_CAPTION | "
                "WS_SYSMENU | WS_MINIMIZEBOX";
            exstyle = "WS_EX_APPWINDOW";
            break;
        case quor::IDD_SETTINGS:
            style = "DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION";
            break;
    }
    fprintf(out, "%d DIALOGEX 0, 0, %d, %d\nSTYLE %s\n", t.id, t.cx, t.cy, style);
    if (exstyle) fprintf(out, "EXSTYLE %s\n", exstyle);
    fprintf(out, "CAPTION %s\nFONT 9, %s, 400, 0, %d\nBEGIN\n", quoted(t.caption).c_str(),
            quoted(lang.font).c_str(), lang.charset);
    for (const quor::ControlTemplate& c : t.controls) fputs(control_line(c).c_str(), out);
    fputs("END\n\n", out);
}

// Menus as loaded: the items of a state that changes none of them.
void write_menu(FILE* out, int id, bool with_logs, const char* caption) {
    fprintf(out, "%d MENU\nBEGIN\n    POPUP %s\n    BEGIN\n", id, quoted(caption).c_str());
    for (const quor::TrayMenuItem& item :
         quor::tray_menu_items(with_logs, quor::STATE_PAIRING, false)) {
        if (item.id == 0) {
            fputs("        MENUITEM SEPARATOR\n", out);
            continue;
        }
        fprintf(out, "        MENUITEM %s, %d%s%s\n", quoted(item.text).c_str(), item.id,
                item.active ? "" : ", INACTIVE", item.greyed ? ", GRAYED" : "");
    }
    fputs("    END\nEND\n\n", out);
}

const char* menu_caption(UiLanguage language) {
    switch (language) {
        case UiLanguage::Korean:
            return "목록";
        case UiLanguage::Chinese:
            return "目录";
        case UiLanguage::English:
            break;
    }
    return "Menu";
}

void write_version(FILE* out) {
    fputs(
        "1 VERSIONINFO\n"
        " FILEVERSION QUOR_VERSION_WORDS\n"
        " PRODUCTVERSION QUOR_VERSION_WORDS\n"
        " FILEFLAGSMASK 0x3fL\n"
        " FILEFLAGS 0x0L\n"
        " FILEOS VOS_NT_WINDOWS32\n"
        " FILETYPE VFT_APP\n"
        " FILESUBTYPE 0x0L\n"
        "BEGIN\n"
        "    BLOCK \"StringFileInfo\"\n"
        "    BEGIN\n",
        out);
    for (const Language& lang : LANGUAGES) {
        fprintf(out, "        BLOCK \"%s\"\n        BEGIN\n", lang.block);
        const std::pair<const char*, std::string> values[] = {
            {"FileDescription", lang.description},
            {"FileVersion", version_words(", ")},
            {"InternalName", "KestrowQuorConnector"},
            {"OriginalFilename", "KestrowQuorConnector.EXE"},
            {"ProductName", lang.product},
            {"ProductVersion", version_words(", ")},
        };
        for (const auto& [key, value] : values)
            fprintf(out, "            VALUE \"%s\", %s\n", key, quoted(value).c_str());
        fputs("        END\n", out);
    }
    fputs(
        "    END\n"
        "    BLOCK \"VarFileInfo\"\n"
        "    BEGIN\n"
        "        VALUE \"Translation\", 0x409, 1200, 0x412, 1200, 0x804, 1200\n"
        "    END\n"
        "END\n\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s OUT.rc IMAGE_DIR MANIFEST\n", argv[0]);
        return 2;
    }
    FILE* out = fopen(argv[1], "w");
    if (!out) {
        perror(argv[1]);
        return 1;
    }
    const std::string images = argv[2];
    fputs(
        "// Generated by make_rc from the front ends' shared tables; do not edit.\n"
        "#pragma code_page(65001)\n"
        "#include <windows.h>\n"
        "#include <commctrl.h>\n\n",
        out);
    fprintf(out, "#define QUOR_VERSION_WORDS %s\n\n", version_words(",").c_str());
    fputs("LANGUAGE LANG_NEUTRAL, SUBLANG_NEUTRAL\n", out);
    for (const int id : {quor::ICON_PAIRED_SIGNED_OUT, quor::ICON_SIGNED_IN, quor::ICON_BUSY,
                         quor::ICON_NOT_PAIRED})
        fprintf(out, "%d ICON \"%s/icon_%d.ico\"\n", id, images.c_str(), id);
    fprintf(out, "%d BITMAP \"%s/bitmap_%d.bmp\"\n", quor::IDB_BANNER, images.c_str(),
            quor::IDB_BANNER);
    fprintf(out, "%d CURSOR \"%s/cursor_%d.cur\"\n", quor::IDC_LINK_CURSOR, images.c_str(),
            quor::IDC_LINK_CURSOR);
    fprintf(out, "1 RT_MANIFEST \"%s\"\n\n", argv[3]);

    for (const Language& lang : LANGUAGES) {
        set_language(lang.ui);
        fprintf(out, "LANGUAGE %s\n\nSTRINGTABLE\nBEGIN\n", lang.rc_language);
        for (int id = FIRST_STRING_ID; id <= LAST_STRING_ID; ++id)
            fprintf(out, "    %d, %s\n", id, quoted(LoadString(id)).c_str());
        fputs("END\n\n", out);
        for (const quor::DialogId id : {quor::IDD_ABOUTBOX, quor::IDD_MAIN, quor::IDD_SETTINGS})
            write_dialog(out, lang, id);
        write_menu(out, quor::MENU_TRAY, false, menu_caption(lang.ui));
        write_menu(out, quor::MENU_TRAY_LOGS, true, menu_caption(lang.ui));
    }
    fputs("LANGUAGE LANG_NEUTRAL, SUBLANG_NEUTRAL\n", out);
    write_version(out);
    if (fclose(out) != 0) {
        perror(argv[1]);
        return 1;
    }
    return 0;
}
