// Shell opener: recorded calls, and a real spawn that never goes through a shell.
#include "platform/shell/ShellApi.h"
#include "platform/messages/Messages.h"
#include "platform/rtl/FileSys.h"

#include <gtest/gtest.h>

#include <fstream>

TEST(ShellApi, RecordingKeepsTheCallsArguments) {
    SetShellRecording(true);
    ClearRecordedShellCalls();
    EXPECT_GT(ShellExecuteA(nullptr, nullptr, "/tmp/album/", nullptr, nullptr, SW_SHOWNORMAL), 32);
    auto calls = RecordedShellCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].File, "/tmp/album/");
    EXPECT_EQ(calls[0].Verb, "");
    EXPECT_EQ(calls[0].ShowCmd, SW_SHOWNORMAL);
    SetShellRecording(false);
    ClearRecordedShellCalls();
}

TEST(ShellApi, SpawnsTheLauncherWithTheFileAsOneArgument) {
    // A launcher script that writes its arguments: shell metacharacters in the address
    // must arrive as one plain argument.
    std::string dir = PrivateTempDir();
    std::string script = dir + "launcher.sh", out = dir + "args.txt";
    {
        std::ofstream s(script);
        s << "#!/bin/sh\nprintf '%s|' \"$@\" > " << out << ".tmp && mv " << out << ".tmp " << out << "\n";
    }
    ASSERT_EQ(::system(("chmod +x " + script).c_str()), 0);
    SetShellLauncher(script);
    const char* target = "http://127.0.0.1/a b;touch /tmp/x$(id)";
    EXPECT_GT(ShellExecuteA(nullptr, nullptr, target, nullptr, nullptr, SW_SHOWNORMAL), 32);
    for (int i = 0; i < 100 && !FileExists(out); ++i) Sleep(20);
    std::ifstream in(out);
    std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, std::string(target) + "|");
    SetShellLauncher("no-such-launcher-program");
    EXPECT_EQ(ShellExecuteA(nullptr, nullptr, "x", nullptr, nullptr, SW_SHOWNORMAL), SE_ERR_NOASSOC);
    EXPECT_EQ(ShellExecuteA(nullptr, nullptr, "", nullptr, nullptr, SW_SHOWNORMAL), SE_ERR_FNF);
    SetShellLauncher("xdg-open");
}
