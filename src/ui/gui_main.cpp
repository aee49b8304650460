// The tray application: one instance per user, the main window and its
// controller on Qt's event loop.
#include <QApplication>
#include <QSessionManager>
#include <cstdio>
#include <cstring>
#include <string>

#include "link/syslog_service.h"
#include "platform/process.h"
#include "platform/signals.h"
#include "platform/single_instance.h"
#include "platform/vbus_usbip_server.h"
#include "settings/autorun.h"
#include "settings/config.h"
#include "shell/composition.h"
#include "shell/main_dlg.h"
#include "shell/window_commands.h"
#include "ui/main_window.h"
#include "ui/qt_ui_loop.h"
#include "ui/ui_images.h"

namespace {

constexpr const char* PROGRAM_NAME = "KestrowQuorConnector";

void print_help() {
    printf(
        "Usage: %s [--usbip-listen ADDRESS[:PORT]] [--usbip-allow LIST]\n"
        "       [--version] [--help] [Qt options]\n"
        "\n"
        "Pairs with a Kestrow Quor desk phone and makes it appear to this PC as a\n"
        "USB telephone. The program lives in the notification area; starting it\n"
        "again while it runs shows or hides the running window and exits.\n"
        "\n"
        "  --version   print the version and exit\n"
        "  --help      print this text and exit\n"
        "  --usbip-listen A.B.C.D[:PORT]\n"
        "              export the paired phone as USB/IP device 1-1 on this address\n"
        "              (port 3240 by default) instead of plugging it into vhci_hcd\n"
        "  --usbip-allow LIST\n"
        "              addresses or A.B.C.D/N prefixes, comma-separated, that may\n"
        "              import it (default 127.0.0.0/8); USB/IP has no authentication\n"
        "\n"
        "Environment:\n"
        "  QUOR_HOME         directory of config.ini and quor.log (default:\n"
        "                    ~/.config/kestrow-quor and ~/.local/state/kestrow-quor,\n"
        "                    or where XDG_CONFIG_HOME and XDG_STATE_HOME say)\n"
        "  QUOR_VBUS         unix:PATH or tcp:127.0.0.1:PORT plugs the USB phone into\n"
        "                    a user-space host (quor-host-sim) instead of vhci_hcd;\n"
        "                    usbip:A.B.C.D[:PORT] is --usbip-listen A.B.C.D[:PORT]\n"
        "  QT_QPA_PLATFORM   offscreen runs the program without a display\n"
        "\n"
        "The program runs as the desktop user, not as root. SIGTERM, SIGHUP and\n"
        "the end of the session unpair from the phone before it exits.\n"
        "Readme.txt beside the program explains every status and message; see\n"
        "also man KestrowQuorConnector.\n",
        PROGRAM_NAME);
}

}  // namespace

int main(int argc, char** argv) {
    std::string usbip_listen;
    std::string usbip_allow;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--usbip-listen") == 0 && i + 1 < argc) {
            usbip_listen = argv[++i];
            continue;
        }
        if (strcmp(argv[i], "--usbip-allow") == 0 && i + 1 < argc) {
            usbip_allow = argv[++i];
            continue;
        }
        if (strcmp(argv[i], "--version") == 0) {
            printf("%s %s\n", PROGRAM_NAME, QUOR_VERSION);
            return 0;
        }
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            print_help();
            return 0;
        }
    }

    // Everything that reads the network, and the desktop's helpers the
    // program starts, run with the rights of the user who sits at the
    // desktop; the steps that need root go through quor-helper.
    if (quor::running_as_root()) {
        fprintf(stderr,
                "%s runs as the desktop user: start it without administrator rights "
                "(not with sudo or pkexec).\n",
                PROGRAM_NAME);
        return 1;
    }

    std::unique_ptr<quor::SingleInstance> instance =
        quor::SingleInstance::acquire(instance_socket_path(), quor::request_show_hide);
    if (!instance) return 0;
    if (quor::start_usbip_server(usbip_listen, usbip_allow) != 0) {
        fprintf(stderr, "%s: the USB/IP server cannot start\n", PROGRAM_NAME);
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(PROGRAM_NAME);
    QApplication::setApplicationVersion(QUOR_VERSION);
    QApplication::setDesktopFileName(QStringLiteral("kestrow-quor-connector"));
    QApplication::setWindowIcon(quor::load_icon(quor::ICON_PAIRED_SIGNED_OUT));
    // The program lives on in the tray while its window is hidden.
    QApplication::setQuitOnLastWindowClosed(false);

    quor::QtUiLoop loop;
    quor::CMainWindow window;
    const std::unique_ptr<quor::CKestrowQuorConnectorDlg> controller =
        quor::make_controller(window, loop);
    quor::CKestrowQuorConnectorDlg& dlg = *controller;
    window.SetController(&dlg);
    window.SetApplyAutoRun([](int on) { return ApplyAutoRun(on); });
    window.SetLogServiceRunning([] { return quor::g_syslog.socket.load() != -1; });
    QObject::connect(&window, &quor::CMainWindow::dialogEnded, &app, &QApplication::quit,
                     Qt::QueuedConnection);
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app,
                     [&dlg](QSessionManager& manager) {
                         if (!dlg.OnQueryEndSession() && manager.allowsInteraction())
                             manager.cancel();
                     });
    // A quit that the program did not ask for (the session manager ending
    // the session) still unpairs first; after a normal end nothing is paired.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &app, [&dlg, &window] {
        if (!window.Ended()) dlg.OnQueryEndSession();
    });
    const quor::WindowCommandTarget command_target(loop, dlg);
    // SIGTERM and SIGHUP (a logout that ends the session's processes) take
    // the tray Exit's way: a paired program unpairs and unplugs the device,
    // then ends. The target is known first, so no early signal is lost.
    quor::watch_stop_signals([] { quor::post_window_command(quor::ID_EXIT); });

    dlg.OnInitDialog();
    if (!window.Ended()) window.show();
    const int result = QApplication::exec();

    instance.reset();
    return result;
}
