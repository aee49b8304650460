#include "ui/tray_menus.h"

#include "base/strings.h"
#include "shell/resource_ids.h"

namespace quor {

namespace {

struct MenuRow {
    int id;
    const char* text[3];  // English, Korean, Chinese
    bool loaded_inactive;
    bool logs_only;
};

const MenuRow MENU_ROWS[] = {
    {ID_SHOW_HIDE, {"Show/Hide(&S)", "보이기/숨기기(&S)", "显示/隐藏(&S)"}, false, false},
    {0, {}, false, false},
    {ID_LOG_SERVICE,
     {"Start Log Service(&K)", "로그 서비스를 시작합니다(&K)", "开启日志服务(&K)"},
     false,
     true},
    {ID_LOGS_TO_PC, {"Phone Logs->PC(&Z)", "전화 로그->PC(&Z)", "话机日志->电脑(&Z)"}, true, true},
    {ID_LOGS_TO_PHONE,
     {"Phone Logs->Phone(&R)", "전화 로그->전화(&R)", "话机日志->话机(&R)"},
     true,
     true},
    {0, {}, false, true},
    {ID_PAIR_SIGN_IN, {"Pair && Sign in(&G)", "연결 && 등록(&G)", "配对&&登录(&G)"}, false, false},
    {ID_SIGN_IN_BY_LYNC,
     {"Sign in by Lync(&L)", "은 Lync에 로그인(&L)", "联动登录(&L)"},
     true,
     false},
    {0, {}, false, false},
    {ID_SETTING, {"Setting(&P)", "설정(&P)", "设置(&P)"}, false, false},
    {0, {}, false, false},
    {ID_ABOUT, {"About(&A)", "대해서(&A)", "关于(&A)"}, false, false},
    {0, {}, false, false},
    {ID_EXIT, {"Exit(&E)", "나가기(&E)", "退出(&E)"}, false, false},
};

int language_index() {
    switch (current_language()) {
        case UiLanguage::Korean:
            return 1;
        case UiLanguage::Chinese:
            return 2;
        case UiLanguage::English:
            break;
    }
    return 0;
}

// The items whose use depends on a paired phone.
bool needs_pairing(int id) {
    return id == ID_SIGN_IN_BY_LYNC || id == ID_LOGS_TO_PC || id == ID_LOGS_TO_PHONE;
}

}  // namespace

std::vector<TrayMenuItem> tray_menu_items(bool with_logs, unsigned state, bool log_running) {
    const int lang = language_index();
    std::vector<TrayMenuItem> items;
    for (const MenuRow& row : MENU_ROWS) {
        if (row.logs_only && !with_logs) continue;
        TrayMenuItem item;
        item.id = row.id;
        if (row.id != 0) item.text = row.text[lang];
        item.active = !row.loaded_inactive;
        items.push_back(item);
    }
    for (TrayMenuItem& item : items) {
        if (item.id == ID_LOG_SERVICE && log_running) item.text = LoadString(IDS_MENU_STOP_LOGGING);
        if (item.id == ID_PAIR_SIGN_IN) {
            switch (state) {
                case STATE_NOT_PAIRED:
                    item.text = LoadString(IDS_MENU_PAIR);
                    break;
                case STATE_PAIRED_SIGNED_OUT:
                    item.text = LoadString(IDS_MENU_UNPAIR);
                    break;
                case STATE_PAIRED_SIGNED_IN:
                    item.text = LoadString(IDS_MENU_UNSIGN_UNPAIR);
                    break;
                case STATE_WAITING:
                case STATE_FINDING_ADDRESS:
                    item.text = LoadString(IDS_MENU_STOP);
                    break;
                default:
                    break;
            }
        }
        if (needs_pairing(item.id)) {
            switch (state) {
                case STATE_PAIRED_SIGNED_OUT:
                case STATE_PAIRED_SIGNED_IN:
                    item.active = true;
                    item.greyed = false;
                    break;
                case STATE_NOT_PAIRED:
                case STATE_WAITING:
                case STATE_FINDING_ADDRESS:
                    item.active = false;
                    item.greyed = true;
                    break;
                default:
                    break;
            }
        }
    }
    return items;
}

}  // namespace quor
