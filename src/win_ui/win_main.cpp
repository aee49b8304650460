// The native Windows tray program: one instance, the main window as a modal
// dialog and its controller on the user-interface thread's message loop.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "link/syslog_service.h"
#include "platform/single_instance.h"
#include "platform/vbus_usbip_server.h"
#include "settings/autorun.h"
#include "settings/config.h"
#include "shell/composition.h"
#include "shell/main_dlg.h"
#include "shell/window_commands.h"
#include "ui/parameter_values.h"
#include "win_ui/win_main_window.h"
#include "win_ui/win_ui_loop.h"

int main() {
    using namespace quor;
    set_language(language_of_user());
    std::unique_ptr<SingleInstance> instance =
        SingleInstance::acquire(instance_socket_path(), request_show_hide);
    if (!instance) return 0;
    // The USB/IP server is the bus: a client attaches the phone once it is
    // paired. One that cannot start has said why in the log, and pairing
    // says that the bus is missing.
    start_usbip_server("", "");

    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_INTERNET_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);

    WinUiLoop loop;
    CKestrowQuorConnectorDlg* dlg = nullptr;
    CWinMainWindow::Handlers handlers;
    handlers.state = [&dlg] { return dlg ? dlg->State() : STATE_NOT_PAIRED; };
    handlers.log_running = [] { return g_syslog.socket.load() != -1; };
    handlers.init = [&dlg] { dlg->OnInitDialog(); };
    handlers.pair = [&dlg] { dlg->OnOK(); };
    handlers.cancel = [&dlg] { dlg->OnCancel(); };
    handlers.command = [&dlg](int id) { dlg->OnCommand(id); };
    handlers.sys_command = [&dlg](int id) { dlg->OnSysCommand(id); };
    handlers.address_edited = [&dlg](uint32_t addr, int fields) {
        dlg->OnAddressEdited(addr, fields);
    };
    handlers.auto_toggled = [&dlg](bool checked) { dlg->OnAutoToggledByUser(checked); };
    handlers.set_clicked = [&dlg] { dlg->OnSetClicked(); };
    handlers.help_clicked = [&dlg] { dlg->OnHelpClicked(); };

    CParameterDlg::Store store;
    store.load = [](ParameterValues* values) { load_parameters(config_path(), values); };
    store.save = [](const ParameterValues& values, const std::function<void()>& autorun_failed) {
        return save_parameters(
            config_path(), values, [](int on) { return ApplyAutoRun(on); }, autorun_failed);
    };

    CWinMainWindow window(handlers, store);
    const std::unique_ptr<CKestrowQuorConnectorDlg> controller = make_controller(window, loop);
    dlg = controller.get();
    {
        const WindowCommandTarget command_target(loop, *dlg);
        window.Run();
    }
    instance.reset();
    return 0;
}
