// Start at log-on through the machine's Run list and loader.vbs.
#include <string>

#include "base/diag_log.h"
#include "platform/logon_start.h"
#include "platform/process.h"
#include "settings/autorun.h"
#include "settings/loader_script.h"

int apply_logon_script(int autorun, const std::string& dir, const std::string& program) {
    const std::string folder = backslash_folder(dir);
    if (folder.empty()) {
        quor_log("Quor ERR: The program's folder is unknown; no start at log-on.\n");
        return 0;
    }
    const std::string script = folder + LOADER_SCRIPT_NAME;
    std::string why;
    if (autorun == 0) {
        // An entry that cannot be removed only names a script that is gone.
        if (quor::remove_logon_command(RUN_VALUE_NAME, &why) != 0)
            quor_log("Quor ERR: Start at log-on: %s\n", why.c_str());
        if (quor::delete_script_file(script, &why) != 0) {
            quor_log("Quor ERR: Start at log-on: %s\n", why.c_str());
            return 0;
        }
        return 1;
    }
    if (quor::write_script_file(script, loader_script_text(folder, program), &why) != 0 ||
        quor::set_logon_command(RUN_VALUE_NAME, run_command_for(script), &why) != 0) {
        quor_log("Quor ERR: Start at log-on: %s\n", why.c_str());
        return 0;
    }
    return 1;
}

int ApplyAutoRun(int autorun) {
    return apply_logon_script(autorun, quor::executable_dir(),
                              program_base_name(quor::executable_name()));
}
