#include "shell/window_commands.h"

#include <mutex>

#include "base/diag_log.h"
#include "platform/ui_loop.h"
#include "shell/main_dlg.h"
#include "shell/resource_ids.h"

namespace quor {
namespace {

std::mutex g_target_mu;
UiLoop* g_loop = nullptr;
CKestrowQuorConnectorDlg* g_dlg = nullptr;

}  // namespace

WindowCommandTarget::WindowCommandTarget(UiLoop& loop, CKestrowQuorConnectorDlg& dlg) {
    std::lock_guard lk(g_target_mu);
    g_loop = &loop;
    g_dlg = &dlg;
}

WindowCommandTarget::~WindowCommandTarget() {
    std::lock_guard lk(g_target_mu);
    g_loop = nullptr;
    g_dlg = nullptr;
}

bool post_window_command(int id) {
    std::lock_guard lk(g_target_mu);
    if (!g_loop) return false;
    CKestrowQuorConnectorDlg* dlg = g_dlg;
    g_loop->post([dlg, id] { dlg->OnCommand(id); });
    return true;
}

void request_show_hide() {
    if (!post_window_command(ID_SHOW_HIDE))
        quor_log("Quor ERR: show/hide request before the window exists, ignored\n");
}

}  // namespace quor
