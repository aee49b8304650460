// quor-console: the connector without a desktop. Prints the status line and
// every message box, answers questions from a command-line policy, and takes
// the window's and the tray menu's commands on standard input.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "base/strings.h"
#include "platform/files.h"
#include "platform/log_file.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/shell_open.h"
#include "platform/signals.h"
#include "platform/single_instance.h"
#include "platform/ui_loop.h"
#include "platform/vbus_usbip_server.h"
#include "settings/config.h"
#include "shell/composition.h"
#include "shell/main_dlg.h"
#include "shell/main_view.h"

using namespace quor;

namespace {

const char* const kHelp =
    "Usage: quor-console [--answer ok|cancel] [--usbip-listen ADDRESS[:PORT]]\n"
    "                    [--usbip-allow LIST] [--help] [--version]\n"
    "\n"
    "Runs the connector without a desktop. Settings live in\n"
    "$XDG_CONFIG_HOME/kestrow-quor/config.ini (~/.config/kestrow-quor/), the log\n"
    "and saved phone logs in $XDG_STATE_HOME/kestrow-quor/ (~/.local/state/...);\n"
    "$QUOR_HOME, when set, holds all of them.\n"
    "\n"
    "Output, one line each:\n"
    "  status: TEXT              the status line, at start and at every change\n"
    "  button: TEXT (enabled)    the Pair button's text and state when they change\n"
    "  balloon: TEXT             a tray balloon\n"
    "  message: CAPTION: TEXT    a message box; questions are answered by --answer\n"
    "  window: shown|hidden      the window was shown or hidden\n"
    "\n"
    "  --answer ok|cancel        answer to every question (default cancel);\n"
    "                            ok also answers Yes to a Yes/No question\n"
    "  --usbip-listen A.B.C.D[:PORT]\n"
    "                            export the paired phone as USB/IP device 1-1\n"
    "                            on this address (port 3240 by default) instead\n"
    "                            of plugging it into vhci_hcd\n"
    "  --usbip-allow LIST        addresses or A.B.C.D/N prefixes, comma-separated,\n"
    "                            that may import it (default 127.0.0.0/8); USB/IP\n"
    "                            has no authentication\n"
    "\n"
    "Commands on standard input, one per line:\n"
    "  pair                      press the Pair button (Pair, Unpair or Stop)\n"
    "  stop                      the same button, under the name it has in the\n"
    "                            countdown and the address search\n"
    "  ip A.B.C.D                type the phone's address (ip - clears it)\n"
    "  auto on|off               tick or clear the Auto check box\n"
    "  close                     the window's close button (asks first)\n"
    "  minimize                  minimise the window to the tray\n"
    "  command N                 a tray menu command, e.g. 32773 Pair, 32771\n"
    "                            Show/Hide, 32780 Sign in by Lync, 32778 Exit\n"
    "  state                     print the state number and the status text\n"
    "\n"
    "End of input changes nothing; the program ends on Exit, a confirmed close,\n"
    "or SIGTERM / SIGINT / SIGHUP (treated as Exit).\n";

// Console output survives the redirection of standard output into quor.log.
FILE* g_out = stdout;
std::mutex g_out_mu;

void say(const std::string& line) {
    std::lock_guard lk(g_out_mu);
    fprintf(g_out, "%s\n", line.c_str());
    fflush(g_out);
}

std::string one_line(std::string text) {
    for (auto& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

class ConsoleView : public MainView {
  public:
    ConsoleView(EventLoop& loop, int answer)
        : loop_(loop), answer_(answer), button_text_(LoadString(IDS_PAIR)) {}

    void apply_state(const StateEffects& fx) override {
        if (fx.pair_text) button_text_ = *fx.pair_text;
        if (fx.pair_enabled) button_enabled_ = *fx.pair_enabled;
        const std::string button = button_text_ + (button_enabled_ ? " (enabled)" : " (disabled)");
        if (!button_text_.empty() && button != last_button_) {
            last_button_ = button;
            say("button: " + button);
        }
        if (!fx.status) return;
        if (*fx.status != last_status_) {
            last_status_ = *fx.status;
            say("status: " + *fx.status);
        }
        if (!fx.balloon.empty()) say("balloon: " + one_line(fx.balloon));
    }
    void show_auto_checked(bool) override {}
    void show_address(uint32_t, bool) override {}
    void enable_address(bool) override {}
    void show_hide(int mode) override {
        if (mode == 2) mode = minimized_ ? 0 : 1;
        minimized_ = mode == 1;
        say(minimized_ ? "window: hidden" : "window: shown");
    }
    void init_window() override {}
    void end_dialog() override { loop_.quit(); }
    bool run_settings_dialog() override {
        say("message: settings: edit config.ini while the program is stopped");
        return false;
    }
    void run_about_box() override { say("about: Kestrow Quor Connector " QUOR_VERSION); }
    bool open_document(const std::string& file) override { return shell_open(file); }
    // Without a dialog the log is saved beside quor.log.
    std::string ask_save_path(const std::string& default_name, const std::string&) override {
        const std::string path = state_dir() + default_name + ".txt";
        say("save: " + path);
        return path;
    }
    bool is_minimized() override { return minimized_; }
    int message_box(const std::string& text, const std::string& caption, int style) override {
        say("message: " + caption + ": " + one_line(text));
        if (style == MB_EXCLAMATION_OKCANCEL) return answer_;
        if (style == MB_YESNO) return answer_ == IDOK ? IDYES : IDNO;
        return IDOK;
    }

  private:
    EventLoop& loop_;
    int answer_;
    std::atomic<bool> minimized_{false};
    std::string last_status_, last_button_, button_text_;
    bool button_enabled_ = true;
};

void run_command(CKestrowQuorConnectorDlg& dlg, const std::string& line) {
    std::istringstream in(line);
    std::string verb, arg;
    in >> verb >> arg;
    if (verb.empty()) return;
    if (verb == "pair" || verb == "stop") {
        dlg.OnOK();
    } else if (verb == "close") {
        dlg.OnCancel();
    } else if (verb == "minimize") {
        dlg.OnSysCommand(0xF020);
    } else if (verb == "command") {
        dlg.OnCommand(atoi(arg.c_str()));
    } else if (verb == "state") {
        say("state: " + std::to_string(dlg.State()) + " " + dlg.StatusText());
    } else if (verb == "auto" && (arg == "on" || arg == "off")) {
        dlg.OnAutoToggledByUser(arg == "on");
    } else if (verb == "ip") {
        uint32_t addr = 0;
        if (arg == "-") {
            dlg.OnAddressEdited(0, 0);
        } else if (ipv4_from_dotted(arg.c_str(), &addr) == 0) {
            dlg.OnAddressEdited(addr, 4);
        } else {
            say("error: not an IPv4 address: " + arg);
        }
    } else {
        say("error: unknown command: " + line);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int answer = IDCANCEL;
    std::string usbip_listen;
    std::string usbip_allow;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            fputs(kHelp, stdout);
            return 0;
        } else if (a == "--version") {
            printf("quor-console " QUOR_VERSION "\n");
            return 0;
        } else if (a == "--answer" && i + 1 < argc) {
            const std::string v = argv[++i];
            if (v != "ok" && v != "cancel") {
                fprintf(stderr, "quor-console: --answer takes ok or cancel\n");
                return 2;
            }
            answer = v == "ok" ? IDOK : IDCANCEL;
        } else if (a == "--usbip-listen" && i + 1 < argc) {
            usbip_listen = argv[++i];
        } else if (a == "--usbip-allow" && i + 1 < argc) {
            usbip_allow = argv[++i];
        } else {
            fprintf(stderr, "quor-console: unknown option %s (see --help)\n", a.c_str());
            return 2;
        }
    }
    // Diagnostic lines leave one by one, also into a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (FILE* out = duplicate_stdout()) g_out = out;

    // Signals are taken by one thread of their own, so no other thread is
    // interrupted by them.
    hold_stop_signals();

    EventLoop loop;
    ConsoleView view(loop, answer);
    const std::unique_ptr<CKestrowQuorConnectorDlg> controller = make_controller(view, loop);
    CKestrowQuorConnectorDlg& dlg = *controller;
    auto instance = SingleInstance::acquire(
        instance_socket_path(), [&] { loop.post([&] { dlg.OnCommand(ID_SHOW_HIDE); }); });
    if (!instance) return 0;
    if (start_usbip_server(usbip_listen, usbip_allow) != 0) {
        fprintf(stderr, "quor-console: the USB/IP server cannot start\n");
        return 2;
    }

    loop.post([&] { dlg.OnInitDialog(); });
    on_stop_signal([&] { loop.post([&] { dlg.OnCommand(ID_EXIT); }); });
    std::thread([&] {
        std::string line;
        while (std::getline(std::cin, line)) loop.post([&dlg, line] { run_command(dlg, line); });
    }).detach();

    loop.run();
    instance.reset();
    // Not fflush(nullptr): that waits for the lock of standard input, which
    // the reader thread holds while it blocks in a read.
    fflush(stdout);
    fflush(g_out);
    // Worker threads may still be blocked in the network; the process ends
    // with them, as the designed program does.
    exit_now(0);
}
