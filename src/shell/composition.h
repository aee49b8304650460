// The composition root: every default wiring of the program is assembled
// here, and the front ends build their controller through it. Each
// subsystem receives what it needs (the controller, the hook tables) when
// it is started; tests assemble their own tables instead.
#pragma once

#include <memory>

#include "link/pair_session.h"
#include "platform/clock.h"
#include "platform/ui_loop.h"
#include "shell/main_dlg.h"
#include "shell/main_view.h"
#include "soft_dev/soft_dev_hooks.h"

namespace quor {

// The device's pieces: the HID and audio-class handlers, the streaming and
// interrupt workers, the GRUU release.
SoftDevHooks default_soft_dev_hooks();

// What the pairing session asks of the device and the media; its device
// thread runs with default_soft_dev_hooks().
SessionServices default_session_services();

// The controller's calls into the other subsystems; its pairing sessions
// run with default_session_services().
ShellHooks default_shell_hooks();

// Makes the control channel the device's way to the phone.
void connect_device_to_channel();

// The main window's controller for VIEW and LOOP, wired with the defaults
// above; the device reaches the phone through the control channel.
std::unique_ptr<CKestrowQuorConnectorDlg> make_controller(MainView& view, UiLoop& loop,
                                                          Clock& clock = SystemClock::instance());

}  // namespace quor
