// A main-window controller on a manual clock, with its settings in a
// temporary QUOR_HOME and every outside call recorded.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/strings.h"
#include "link/ctrl_channel.h"
#include "shell/composition.h"
#include "shell/main_dlg.h"
#include "soft_dev/dev_globals.h"
#include "support/fake_view.h"

namespace quor::test {

class ControllerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/quor-test-XXXXXX";
        home = mkdtemp(tmpl);
        home += "/";
        setenv("QUOR_HOME", home.c_str(), 1);
        set_language(UiLanguage::English);
        connect_device_to_channel();
        g_dev.stop = DEV_RUN;
        g_lync.signin_request_pending = 0;
    }
    void TearDown() override {
        dlg.reset();
        std::string cmd = "rm -rf '" + home + "'";
        (void)!system(cmd.c_str());
    }

    void WriteConfig(const std::string& text) { std::ofstream(home + "config.ini") << text; }

    ShellHooks RecordingHooks() {
        ShellHooks h = default_shell_hooks();
        h.start_update_check = [this](Controller&) { calls.push_back("update"); };
        h.load_srtp_library = [this](int* err) {
            calls.push_back("srtp-load");
            *err = srtp_error;
            return srtp_load_result;
        };
        h.init_srtp_library = [this] {
            calls.push_back("srtp-init");
            return srtp_init_result;
        };
        h.apply_autorun = [this](int on) {
            calls.push_back("autorun " + std::to_string(on));
            return autorun_result;
        };
        h.add_firewall_exception = [this](const std::string& image, const std::string& name) {
            calls.push_back("firewall " + name);
            firewall_image = image;
        };
        h.net_startup = [this] {
            calls.push_back("net");
            return net_result;
        };
        h.start_pair_session = [this](Controller&) { ++sessions_started; };
        h.stop_log_service = [this] { calls.push_back("stop-log"); };
        h.send_srtp_close = [this] { calls.push_back("srtp-close"); };
        h.send_gruu = [this] { calls.push_back("send-gruu"); };
        return h;
    }

    // Builds the controller and runs its start-up.
    void Start(ShellHooks hooks) {
        dlg = std::make_unique<CKestrowQuorConnectorDlg>(view, loop, clock, std::move(hooks));
        dlg->OnInitDialog();
        loop.run_pending();
    }
    void Start() { Start(RecordingHooks()); }

    void Advance(int64_t ms) {
        // Step through time so every expiry on the way fires in order.
        for (int64_t done = 0; done < ms; done += 10) {
            clock.advance(10);
            loop.run_pending();
        }
    }
    void Settle() { loop.run_pending(); }

    std::string home;
    ManualClock clock;
    EventLoop loop{clock};
    FakeView view;
    std::unique_ptr<CKestrowQuorConnectorDlg> dlg;
    std::vector<std::string> calls;
    std::string firewall_image;
    int sessions_started = 0;
    int srtp_error = 0, srtp_load_result = 0, srtp_init_result = 0;
    int autorun_result = 1, net_result = 0;
};

}  // namespace quor::test
