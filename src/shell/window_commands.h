// Commands that reach the main window from outside its loop: a second
// start's Show/Hide request, a stop signal. They go to the controller on its
// loop while a target is registered; before and after, they are dropped.
#pragma once

namespace quor {

class CKestrowQuorConnectorDlg;
class UiLoop;

// Registers LOOP and DLG as the target for its lifetime.
class WindowCommandTarget {
  public:
    WindowCommandTarget(UiLoop& loop, CKestrowQuorConnectorDlg& dlg);
    ~WindowCommandTarget();
    WindowCommandTarget(const WindowCommandTarget&) = delete;
    WindowCommandTarget& operator=(const WindowCommandTarget&) = delete;
};

// Posts the command ID to the target's controller. False when there is none.
// Any thread.
bool post_window_command(int id);

// The single-instance marker's callback: Show/Hide, logged when no window
// exists yet to take it.
void request_show_hide();

}  // namespace quor
