// ShellApi: posix_spawn of the desktop opener, or recording for tests (see ShellApi.h).
#include "ShellApi.h"

#include <mutex>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

std::mutex gLock;
bool gRecording = false;
std::vector<TShellCall> gCalls;
std::string gLauncher = "xdg-open";

std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

// Children are not waited for one by one; ignoring SIGCHLD would change the process for
// everyone, so finished openers are reaped at the next call instead.
void ReapFinishedChildren() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

}  // namespace

HINSTANCE_SHELL ShellExecuteA(HWND, const char* verb, const char* file, const char* parameters,
                              const char* directory, int showCmd) {
    TShellCall call{Text(verb), Text(file), Text(parameters), Text(directory), showCmd};
    std::string launcher;
    {
        std::lock_guard<std::mutex> guard(gLock);
        if (gRecording) {
            gCalls.push_back(call);
            return SE_SUCCESS;
        }
        launcher = gLauncher;
    }
    if (call.File.empty()) return SE_ERR_FNF;
    if (!call.Verb.empty() && call.Verb != "open") return SE_ERR_NOASSOC;
    ReapFinishedChildren();
    std::vector<char*> argv{launcher.data(), call.File.data(), nullptr};
    pid_t pid;
    if (::posix_spawnp(&pid, launcher.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return SE_ERR_NOASSOC;
    return SE_SUCCESS;
}

void SetShellRecording(bool on) {
    std::lock_guard<std::mutex> guard(gLock);
    gRecording = on;
}

bool ShellRecording() {
    std::lock_guard<std::mutex> guard(gLock);
    return gRecording;
}

std::vector<TShellCall> RecordedShellCalls() {
    std::lock_guard<std::mutex> guard(gLock);
    return gCalls;
}

void ClearRecordedShellCalls() {
    std::lock_guard<std::mutex> guard(gLock);
    gCalls.clear();
}

void SetShellLauncher(const std::string& program) {
    std::lock_guard<std::mutex> guard(gLock);
    gLauncher = program;
}
