#include "ui/dialog_templates.h"

namespace quor {

namespace {

constexpr unsigned TAB = CTL_TABSTOP;
constexpr unsigned HIDDEN_TAB = CTL_HIDDEN | CTL_TABSTOP;
constexpr unsigned DIGITS_TAB = CTL_DIGITS | CTL_TABSTOP;

#define QUOR_ABOUT_VERSION_EN "Version: " QUOR_VERSION
#define QUOR_ABOUT_VERSION_KO "버전: " QUOR_VERSION
#define QUOR_ABOUT_VERSION_ZH "版本：" QUOR_VERSION

// ------------------------------------------------------------ about box 100

const DialogTemplate ABOUT_EN{
    IDD_ABOUTBOX,
    "About Kestrow Quor Connector",
    201,
    106,
    {
        {IDC_CONTACT, CtlKind::Label, "Contact us", 14, 88, 46, 11, 0},
        {IDC_OK, CtlKind::DefPushButton, "OK", 144, 85, 50, 14, TAB},
        {IDC_STATIC, CtlKind::Bitmap, "", 7, 7, 187, 29, 0},
        {IDC_STATIC, CtlKind::SunkenLabel,
         "Kestrow Quor Connector is developed by Kestrow.\n" QUOR_ABOUT_VERSION_EN, 7, 38, 187, 45,
         0},
    }};

const DialogTemplate ABOUT_KO{
    IDD_ABOUTBOX,
    "Kestrow Quor 커넥터에 대해서",
    201,
    106,
    {
        {IDC_CONTACT, CtlKind::Label, "연락처", 14, 88, 46, 11, 0},
        {IDC_OK, CtlKind::DefPushButton, "OK", 144, 85, 50, 14, TAB},
        {IDC_STATIC, CtlKind::Bitmap, "", 7, 7, 187, 29, 0},
        {IDC_STATIC, CtlKind::SunkenLabel,
         "Kestrow Quor 커넥터는 Kestrow가 개발했습니다.\n" QUOR_ABOUT_VERSION_KO, 7, 38, 187, 45,
         0},
    }};

const DialogTemplate ABOUT_ZH{
    IDD_ABOUTBOX,
    "关于KestrowQuor",
    201,
    123,
    {
        {IDC_CONTACT, CtlKind::Label, "联系我们", 14, 104, 46, 11, 0},
        {IDC_OK, CtlKind::DefPushButton, "确定", 144, 98, 50, 16, TAB},
        {IDC_STATIC, CtlKind::SunkenLabel,
         "KestrowQuor是由Kestrow开发的软件。\n" QUOR_ABOUT_VERSION_ZH, 7, 44, 187, 52, 0},
        {IDC_STATIC, CtlKind::Bitmap, "", 7, 7, 187, 33, 0},
    }};

// ---------------------------------------------------------- main window 102

const DialogTemplate MAIN_EN{
    IDD_MAIN,
    "Kestrow Quor Connector",
    201,
    103,
    {
        {IDC_OK, CtlKind::DefPushButton, "Pair", 50, 82, 102, 14, TAB},
        {IDC_STATIC, CtlKind::Label, "Phone IP", 20, 49, 33, 8, 0},
        {IDC_PHONE_IP, CtlKind::IpAddress, "", 57, 47, 100, 12, TAB},
        {IDC_STATIC, CtlKind::Label, "Quor Status", 10, 64, 45, 8, 0},
        {IDC_STATIC, CtlKind::GroupBox, "Paired Info", 7, 36, 187, 44, 0},
        {IDC_STATIC, CtlKind::Bitmap, "", 7, 6, 187, 29, 0},
        {IDC_SET, CtlKind::PushButton, "Set", 7, 82, 27, 14, HIDDEN_TAB},
        {IDC_HELP, CtlKind::PushButton, "Help", 167, 82, 27, 14, HIDDEN_TAB},
        {IDC_STATUS, CtlKind::StatusText, "Static", 57, 63, 100, 12, 0},
        {IDC_AUTO_IP, CtlKind::CheckBox, "Auto", 162, 48, 28, 10, TAB},
    }};

const DialogTemplate MAIN_KO{
    IDD_MAIN,
    "Kestrow Quor 커넥터",
    201,
    103,
    {
        {IDC_OK, CtlKind::DefPushButton, "연결", 50, 84, 102, 14, TAB},
        {IDC_STATIC, CtlKind::Label, "전화기 IP", 20, 51, 33, 8, 0},
        {IDC_PHONE_IP, CtlKind::IpAddress, "", 57, 49, 100, 12, TAB},
        {IDC_STATIC, CtlKind::Label, "Quor 상태", 18, 66, 39, 8, 0},
        {IDC_STATIC, CtlKind::GroupBox, "연결된 정보", 7, 38, 187, 44, 0},
        {IDC_STATIC, CtlKind::Bitmap, "", 7, 6, 187, 29, 0},
        {IDC_SET, CtlKind::PushButton, "Set", 7, 84, 27, 14, HIDDEN_TAB},
        {IDC_HELP, CtlKind::PushButton, "Help", 167, 84, 27, 14, HIDDEN_TAB},
        {IDC_STATUS, CtlKind::StatusText, "Static", 57, 65, 100, 12, 0},
        {IDC_AUTO_IP, CtlKind::CheckBox, "자동", 162, 50, 28, 10, TAB},
    }};

const DialogTemplate MAIN_ZH{
    IDD_MAIN,
    "KestrowQuor",
    201,
    125,
    {
        {IDC_OK, CtlKind::DefPushButton, "配对", 50, 101, 100, 17, TAB},
        {IDC_STATIC, CtlKind::Label, "电话IP", 22, 62, 25, 8, 0},
        {IDC_PHONE_IP, CtlKind::IpAddress, "", 50, 59, 105, 14, TAB},
        {IDC_STATIC, CtlKind::Label, "Quor状态", 14, 81, 33, 8, 0},
        {IDC_STATIC, CtlKind::GroupBox, "配对信息", 7, 44, 187, 54, 0},
        {IDC_SET, CtlKind::PushButton, "设置", 7, 102, 27, 16, HIDDEN_TAB},
        {IDC_HELP, CtlKind::PushButton, "帮助", 159, 102, 27, 16, HIDDEN_TAB},
        {IDC_STATUS, CtlKind::StatusText, "Static", 50, 79, 105, 14, 0},
        {IDC_T, CtlKind::PushButton, "T", 169, 78, 13, 13, CTL_HIDDEN},
        {IDC_AUTO_IP, CtlKind::CheckBox, "自动", 162, 61, 27, 10, TAB},
        {IDC_STATIC, CtlKind::Bitmap, "", 7, 7, 187, 33, 0},
    }};

// ------------------------------------------------------------- settings 106

const DialogTemplate SETTINGS_EN{
    IDD_SETTINGS,
    "Settings",
    214,
    174,
    {
        {IDC_OK_SETTINGS, CtlKind::DefPushButton, "OK", 62, 154, 35, 13, TAB},
        {IDC_CANCEL_SETTINGS, CtlKind::PushButton, "Cancel", 117, 154, 35, 13, TAB},
        {IDC_AUTO_RUN, CtlKind::CheckBox, "Run automatically when starting Windows", 13, 18, 173,
         10, TAB},
        {IDC_AUTO_PAIR, CtlKind::CheckBox, "Pair automatically when running the software", 13, 32,
         192, 10, TAB},
        {IDC_AUTO_MIN, CtlKind::CheckBox, "Set minimization automatically when paired", 13, 46, 181,
         10, TAB},
        {IDC_AUTO_REPAIR, CtlKind::CheckBox, "Pair automatically when dropped", 13, 60, 141, 10,
         TAB},
        {IDC_STATIC, CtlKind::Label, "Pair interval(s)", 15, 91, 66, 8, 0},
        {IDC_REPAIR_TIME, CtlKind::Edit, "", 170, 89, 27, 12, DIGITS_TAB},
        {IDC_STATIC, CtlKind::Label, "The number of re pair", 15, 107, 91, 8, 0},
        {IDC_RETRY_TIMES, CtlKind::Edit, "", 170, 105, 27, 12, DIGITS_TAB},
        {IDC_STATIC, CtlKind::Label, "Pair timeout(s)", 15, 123, 65, 8, 0},
        {IDC_PAIR_TIMEOUT, CtlKind::Edit, "", 170, 121, 27, 12, DIGITS_TAB},
        {IDC_STATIC, CtlKind::GroupBox, "Settings", 7, 7, 200, 145, 0},
        {IDC_STATIC, CtlKind::Label, "Gruu interval(s)", 15, 139, 72, 8, 0},
        {IDC_RESEND_GRUU, CtlKind::Edit, "", 170, 137, 27, 12, TAB},
        {IDC_AS_NM_DEV, CtlKind::CheckBox, "Set phone as a normal audio device", 13, 74, 141, 10,
         TAB},
    }};

const DialogTemplate SETTINGS_KO{
    IDD_SETTINGS,
    "설정",
    214,
    174,
    {
        {IDC_OK_SETTINGS, CtlKind::DefPushButton, "OK", 62, 154, 35, 13, TAB},
        {IDC_CANCEL_SETTINGS, CtlKind::PushButton, "취소", 117, 154, 35, 13, TAB},
        {IDC_AUTO_RUN, CtlKind::CheckBox, "윈도우 시작 시 자동 실행", 13, 18, 173, 10, TAB},
        {IDC_AUTO_PAIR, CtlKind::CheckBox, "소프트웨어 실행 시 자동 연결", 13, 32, 192, 10, TAB},
        {IDC_AUTO_MIN, CtlKind::CheckBox, "연결되었을 때 자동으로 최소화", 13, 46, 181, 10, TAB},
        {IDC_AUTO_REPAIR, CtlKind::CheckBox, "떨어졌을 때 자동으로 연결", 13, 60, 141, 10, TAB},
        {IDC_STATIC, CtlKind::Label, "연결 간격(초)", 15, 91, 66, 8, 0},
        {IDC_REPAIR_TIME, CtlKind::Edit, "", 170, 89, 27, 12, DIGITS_TAB},
        {IDC_STATIC, CtlKind::Label, "재연결 수", 15, 107, 91, 8, 0},
        {IDC_RETRY_TIMES, CtlKind::Edit, "", 170, 105, 27, 12, DIGITS_TAB},
        {IDC_STATIC, CtlKind::Label, "연결 타임아웃(초)", 15, 123, 65, 8, 0},
        {IDC_PAIR_TIMEOUT, CtlKind::Edit, "", 170, 121, 27, 12, DIGITS_TAB},
        {IDC_STATIC, CtlKind::GroupBox, "설정", 7, 7, 200, 145, 0},
        {IDC_STATIC, CtlKind::Label, "Gruu 간격(초)", 15, 139, 72, 8, 0},
        {IDC_RESEND_GRUU, CtlKind::Edit, "", 170, 137, 27, 12, TAB},
        {IDC_AS_NM_DEV, CtlKind::CheckBox, "일반 오디오 장치로 전화기를 사용", 13, 74, 141, 10,
         TAB},
    }};

const DialogTemplate SETTINGS_ZH{
    IDD_SETTINGS,
    "设置",
    171,
    123,
    {
        {IDC_OK_SETTINGS, CtlKind::DefPushButton, "确定", 42, 102, 35, 14, TAB},
        {IDC_CANCEL_SETTINGS, CtlKind::PushButton, "取消", 97, 102, 35, 14, TAB},
        {IDC_AUTO_RUN, CtlKind::CheckBox, "开机自启动", 14, 20, 56, 10, TAB},
        {IDC_AUTO_PAIR, CtlKind::CheckBox, "运行后自动配对", 82, 20, 72, 10, TAB},
        {IDC_AUTO_MIN, CtlKind::CheckBox, "配对成功后最小化", 82, 34, 80, 10, TAB},
        {IDC_AUTO_REPAIR, CtlKind::CheckBox, "自动重新配对", 14, 34, 64, 10, TAB},
        {IDC_STATIC, CtlKind::Label, "配对间隔(s)", 14, 65, 45, 8, 0},
        {IDC_REPAIR_TIME, CtlKind::Edit, "", 63, 63, 27, 14, DIGITS_TAB},
        {IDC_STATIC, CtlKind::Label, "重试次数", 94, 65, 33, 8, 0},
        {IDC_RETRY_TIMES, CtlKind::Edit, "", 130, 63, 27, 14, DIGITS_TAB},
        {IDC_STATIC, CtlKind::Label, "配对超时(s)", 14, 85, 45, 8, 0},
        {IDC_PAIR_TIMEOUT, CtlKind::Edit, "", 63, 83, 27, 14, DIGITS_TAB},
        {IDC_STATIC, CtlKind::GroupBox, "设置", 7, 7, 157, 93, 0},
        {IDC_STATIC, CtlKind::Label, "gruu间隔", 94, 85, 33, 8, 0},
        {IDC_RESEND_GRUU, CtlKind::Edit, "", 130, 83, 27, 14, TAB},
        {IDC_AS_NM_DEV, CtlKind::CheckBox, "将话机设为普通音频设备", 14, 48, 104, 10, TAB},
    }};

}  // namespace

const DialogTemplate& dialog_template(DialogId id, UiLanguage language) {
    const bool ko = language == UiLanguage::Korean;
    const bool zh = language == UiLanguage::Chinese;
    switch (id) {
        case IDD_ABOUTBOX:
            return zh ? ABOUT_ZH : ko ? ABOUT_KO : ABOUT_EN;
        case IDD_SETTINGS:
            return zh ? SETTINGS_ZH : ko ? SETTINGS_KO : SETTINGS_EN;
        case IDD_MAIN:
            break;
    }
    return zh ? MAIN_ZH : ko ? MAIN_KO : MAIN_EN;
}

}  // namespace quor
