// A main-window front end for tests: records what the controller shows and
// answers message boxes with a scripted answer.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "shell/main_view.h"
#include "shell/resource_ids.h"

namespace quor::test {

class FakeView : public MainView {
  public:
    void apply_state(const StateEffects& fx) override {
        std::lock_guard lk(mu);
        if (fx.address_enabled) address_enabled = *fx.address_enabled;
        if (fx.auto_enabled) auto_enabled = *fx.auto_enabled;
        if (fx.pair_enabled) pair_enabled = *fx.pair_enabled;
        if (fx.pair_text) pair_text = *fx.pair_text;
        if (fx.status) {
            status = *fx.status;
            statuses.push_back(status);
            icon = fx.icon;
            tip = fx.tip;
            if (!fx.balloon.empty()) balloons.push_back(fx.balloon);
        }
    }
    void show_auto_checked(bool c) override {
        auto_checked = c;
        if (on_show_auto_checked) on_show_auto_checked();
    }
    void show_address(uint32_t a, bool) override { shown_address = a; }
    void enable_address(bool e) override { address_enabled = e; }
    void show_hide(int mode) override {
        if (mode == 2) mode = minimized ? 0 : 1;
        minimized = mode == 1;
    }
    void init_window() override { ++init_window_calls; }
    void end_dialog() override { ++end_dialog_calls; }
    bool run_settings_dialog() override { return settings_answer; }
    void run_about_box() override { ++about_calls; }
    bool open_document(const std::string& f) override {
        opened.push_back(f);
        return open_ok;
    }
    std::string ask_save_path(const std::string& name, const std::string&) override {
        save_names.push_back(name);
        return save_path;
    }
    bool is_minimized() override { return minimized; }
    int message_box(const std::string& text, const std::string& caption, int style) override {
        std::lock_guard lk(mu);
        messages.push_back(text);
        captions.push_back(caption);
        styles.push_back(style);
        if (style == MB_YESNO) return answer == IDOK ? IDYES : IDNO;
        return style == MB_EXCLAMATION_OKCANCEL ? answer.load() : IDOK;
    }

    // Drops what was recorded so far: a long fuzzing run would otherwise
    // keep every state it ever showed.
    void ForgetHistory() {
        std::lock_guard lk(mu);
        statuses.clear();
        balloons.clear();
        messages.clear();
        captions.clear();
        styles.clear();
        opened.clear();
        save_names.clear();
    }
    std::vector<std::string> Messages() {
        std::lock_guard lk(mu);
        return messages;
    }
    std::string Status() {
        std::lock_guard lk(mu);
        return status;
    }

    std::mutex mu;
    std::string status, tip;
    std::string pair_text = "Pair";  // the template's text
    std::vector<std::string> statuses, balloons, messages, captions, opened, save_names;
    std::string save_path;
    std::vector<int> styles;
    int icon = 0;
    bool address_enabled = true, auto_enabled = true, pair_enabled = true;
    bool auto_checked = false, settings_answer = false, open_ok = true;
    std::atomic<bool> minimized{false};
    std::atomic<int> answer{IDCANCEL};
    uint32_t shown_address = 0;
    int init_window_calls = 0, end_dialog_calls = 0, about_calls = 0;
    // Runs as the button's handler updates the Auto box, its last step: a
    // test acts there as another thread that gets in before the press returns.
    std::function<void()> on_show_auto_checked;
};

}  // namespace quor::test
