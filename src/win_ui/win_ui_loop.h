// The user-interface thread of the native front end: posted tasks and the
// main window's timers run through the thread's message queue, so they also
// run while a dialog or a message box holds the thread in its modal loop.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <set>

#include "platform/ui_loop.h"
#include "win_ui/win_resources.h"

namespace quor {

class WinUiLoop : public UiLoop {
  public:
    // Made on the thread that becomes the UI thread.
    WinUiLoop();
    ~WinUiLoop() override;

    void post(std::function<void()> task) override;
    void start_timer(int id, int64_t period_ms) override;
    void stop_timer(int id) override;
    bool timer_running(int id) override;
    bool on_ui_thread() override;

  private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    void RunOneTask();
    void OnTimer(int id);

    HWND m_hWnd = nullptr;  // message-only window of the UI thread
    DWORD m_uiThread = 0;
    std::mutex mu_;
    std::deque<std::function<void()>> tasks_;
    std::set<int> running_;
};

}  // namespace quor
