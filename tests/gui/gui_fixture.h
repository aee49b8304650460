// A main window wired to a real controller, with a private QUOR_HOME, no
// pairing thread and recorded message boxes, for the Qt window tests.
#pragma once

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "base/strings.h"
#include "shell/composition.h"
#include "shell/main_dlg.h"
#include "ui/main_window.h"
#include "ui/qt_ui_loop.h"

namespace quor {

struct ShownMessage {
    std::string text;
    std::string caption;
    int style;
};

// Records every message box and answers it with `answer`.
struct MessageRecorder {
    std::vector<ShownMessage> shown;
    int answer = IDOK;

    MessageBoxFn fn() {
        return [this](QWidget*, const std::string& text, const std::string& caption, int style) {
            shown.push_back({text, caption, style});
            return answer;
        };
    }
    bool saw(int string_id) const {
        for (const ShownMessage& m : shown)
            if (m.text == LoadString(string_id)) return true;
        return false;
    }
};

// Points QUOR_HOME at a fresh directory for the life of the object.
class TempHome {
  public:
    TempHome() { qputenv("QUOR_HOME", (dir_.path() + "/").toUtf8()); }
    std::string path() const { return dir_.path().toStdString() + "/"; }
    std::string config() const { return path() + "config.ini"; }

  private:
    QTemporaryDir dir_;
};

struct MainWindowRig {
    TempHome home;
    MessageRecorder messages;
    QtUiLoop loop;
    CMainWindow window;
    std::unique_ptr<CKestrowQuorConnectorDlg> dlg;
    int pair_sessions = 0;

    explicit MainWindowRig(bool init = true) {
        connect_device_to_channel();
        ShellHooks hooks = default_shell_hooks();
        hooks.net_startup = [] { return 0; };
        hooks.load_srtp_library = [](int*) { return 0; };
        hooks.init_srtp_library = [] { return 0; };
        hooks.start_update_check = [](Controller&) {};
        hooks.apply_autorun = [](int) { return 1; };
        hooks.start_pair_session = [this](Controller&) { ++pair_sessions; };
        window.SetMessageBox(messages.fn());
        dlg = std::make_unique<CKestrowQuorConnectorDlg>(window, loop, SystemClock::instance(),
                                                         hooks);
        window.SetController(dlg.get());
        if (init) {
            dlg->OnInitDialog();
            settle();
        }
    }

    // Runs what the controller posted to the UI thread.
    static void settle() {
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    }
    void set_state(unsigned state) {
        dlg->SetState(state);
        settle();
    }
};

}  // namespace quor
