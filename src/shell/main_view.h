// What the main window's front end (Qt tray application or console) shows.
// The controller calls every method on the UI thread, except where a method
// says it may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quor {

// The visible result of one state change, applied in one go; fields left
// empty are not touched.
struct StateEffects {
    std::optional<bool> address_enabled;  // IP address control 1000
    std::optional<bool> auto_enabled;     // check box 1030
    std::optional<bool> pair_enabled;     // button 1
    std::optional<std::string> pair_text;
    // When set, the status line 1001 and the tray icon, tip and balloon are
    // updated together.
    std::optional<std::string> status;
    int icon = 0;
    std::string tip;
    std::string balloon;  // empty: no balloon
};

class MainView {
  public:
    virtual ~MainView() = default;

    virtual void apply_state(const StateEffects& effects) = 0;
    virtual void show_auto_checked(bool checked) = 0;
    virtual void show_address(uint32_t addr, bool blank) = 0;
    virtual void enable_address(bool enabled) = 0;
    // 0 show, 1 minimise and hide, 2 toggle.
    virtual void show_hide(int mode) = 0;
    // Start-up steps of the window itself: topmost, tray icon, tooltip, link
    // cursor, the system-menu About entry.
    virtual void init_window() = 0;
    // Closes the main window; the program ends.
    virtual void end_dialog() = 0;
    // The settings dialog; true when it closed with OK.
    virtual bool run_settings_dialog() = 0;
    virtual void run_about_box() = 0;
    // Opens FILE (a path or a URL) with the desktop's default program; false
    // when that failed.
    virtual bool open_document(const std::string& file) = 0;
    // The save-file dialog: DEFAULT_NAME without extension, FILTER in the
    // form "Text file(*.txt)|*.txt|All file(*.*)|*.*||", default extension
    // "txt". The chosen full path, or empty when the user cancelled.
    virtual std::string ask_save_path(const std::string& default_name,
                                      const std::string& filter) = 0;

    // Any thread.
    virtual bool is_minimized() = 0;
    // Any thread; blocks the caller until the user answers. Returns the
    // button (IDOK, IDCANCEL, IDYES, IDNO).
    virtual int message_box(const std::string& text, const std::string& caption, int style) = 0;
};

}  // namespace quor
