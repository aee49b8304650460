// The start at log-on through the Run list: the loader script's text and
// the Run entry's command.
#include "settings/loader_script.h"

#include <gtest/gtest.h>

namespace {

TEST(LoaderScript, ChangesIntoTheProgramsFolderAndRunsItByName) {
    EXPECT_EQ(program_base_name("KestrowQuorConnector.exe"), "KestrowQuorConnector");
    EXPECT_EQ(loader_script_text(backslash_folder("C:\\Apps\\Phone"), "KestrowQuorConnector"),
              "set WSO = createobject(\"WScript.Shell\")\r\n"
              "WSO.CurrentDirectory = \"C:\\Apps\\Phone\\\"\r\n"
              "WSO.Run \"KestrowQuorConnector\"\r\n");
    EXPECT_EQ(backslash_folder("C:/Apps/Phone/"), "C:\\Apps\\Phone\\");
    EXPECT_EQ(run_command_for("C:\\Apps\\Phone\\loader.vbs"), "C:\\Apps\\Phone\\loader.vbs");
}

TEST(LoaderScript, BlanksInTheFolderOrTheNameStayOnePath) {
    EXPECT_EQ(loader_script_text("C:\\My Apps\\", "Quor Phone"),
              "set WSO = createobject(\"WScript.Shell\")\r\n"
              "WSO.CurrentDirectory = \"C:\\My Apps\\\"\r\n"
              "WSO.Run \"\"\"Quor Phone\"\"\"\r\n");
    EXPECT_EQ(run_command_for("C:\\My Apps\\loader.vbs"), "\"C:\\My Apps\\loader.vbs\"");
}

}  // namespace
