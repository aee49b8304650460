#include "win_ui/win_ui_loop.h"

#include "base/diag_log.h"

namespace quor {

namespace {
constexpr UINT WM_RUN_TASK = WM_APP + 1;
constexpr const wchar_t* CLASS_NAME = L"KestrowQuorUiLoop";
}  // namespace

WinUiLoop::WinUiLoop() : m_uiThread(GetCurrentThreadId()) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = resource_module();
    wc.lpszClassName = CLASS_NAME;
    RegisterClassExW(&wc);
    m_hWnd = CreateWindowExW(0, CLASS_NAME, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             resource_module(), this);
    if (!m_hWnd) quor_log("Quor ERR: the UI thread's message window cannot be created\n");
}

WinUiLoop::~WinUiLoop() {
    if (m_hWnd) DestroyWindow(m_hWnd);
}

LRESULT CALLBACK WinUiLoop::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<WinUiLoop*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self) {
        if (message == WM_RUN_TASK) {
            self->RunOneTask();
            return 0;
        }
        if (message == WM_TIMER) {
            self->OnTimer(static_cast<int>(wparam));
            return 0;
        }
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

// One message per task keeps the order of posting even when a task runs a
// modal loop that dispatches the next ones.
void WinUiLoop::RunOneTask() {
    std::function<void()> task;
    {
        std::lock_guard lk(mu_);
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
    }
    task();
}

void WinUiLoop::post(std::function<void()> task) {
    {
        std::lock_guard lk(mu_);
        tasks_.push_back(std::move(task));
    }
    if (!PostMessageW(m_hWnd, WM_RUN_TASK, 0, 0))
        quor_log("Quor ERR: a task for the UI thread cannot be queued (error %lu)\n",
                 GetLastError());
}

void WinUiLoop::start_timer(int id, int64_t period_ms) {
    if (period_ms < MIN_TIMER_PERIOD_MS) period_ms = MIN_TIMER_PERIOD_MS;
    if (period_ms > USER_TIMER_MAXIMUM) period_ms = USER_TIMER_MAXIMUM;
    {
        std::lock_guard lk(mu_);
        running_.insert(id);
    }
    // A window's timers belong to its thread.
    if (on_ui_thread())
        SetTimer(m_hWnd, id, static_cast<UINT>(period_ms), nullptr);
    else
        post([this, id, period_ms] {
            if (timer_running(id)) SetTimer(m_hWnd, id, static_cast<UINT>(period_ms), nullptr);
        });
}

void WinUiLoop::stop_timer(int id) {
    {
        std::lock_guard lk(mu_);
        running_.erase(id);
    }
    if (on_ui_thread())
        KillTimer(m_hWnd, id);
    else
        post([this, id] {
            if (!timer_running(id)) KillTimer(m_hWnd, id);
        });
}

bool WinUiLoop::timer_running(int id) {
    std::lock_guard lk(mu_);
    return running_.count(id) != 0;
}

bool WinUiLoop::on_ui_thread() {
    return GetCurrentThreadId() == m_uiThread;
}

void WinUiLoop::OnTimer(int id) {
    if (!timer_running(id)) {
        KillTimer(m_hWnd, id);
        return;
    }
    if (timer_handler_) timer_handler_(id);
}

}  // namespace quor
