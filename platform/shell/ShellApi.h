// ShellApi: opening a folder or a web address with the desktop's default handler.
//
// ShellExecuteA keeps the Windows call's arguments. With no verb ("open" is the same) it
// hands File to `xdg-open`, started with posix_spawn (never through a shell, so no text
// of File is ever interpreted), and does not wait for it. Tests and the headless program
// switch the launcher to recording mode: calls are then recorded instead of run.
#pragma once

#include "platform/rtl/WinTypes.h"

#include <string>
#include <vector>

using HINSTANCE_SHELL = intptr_t;

constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_NORMAL = 1;

// Result codes: above 32 is success, as with the Windows call.
constexpr HINSTANCE_SHELL SE_ERR_FNF = 2;          // nothing to open
constexpr HINSTANCE_SHELL SE_ERR_NOASSOC = 31;     // no handler could be started
constexpr HINSTANCE_SHELL SE_SUCCESS = 42;

// Opens File with its default handler. Verb must be null, empty or "open"; Parameters and
// Directory are accepted as the Windows call does and not used by the default handler.
HINSTANCE_SHELL ShellExecuteA(HWND parent, const char* verb, const char* file, const char* parameters,
                              const char* directory, int showCmd);

// One recorded call.
struct TShellCall {
    std::string Verb;
    std::string File;
    std::string Parameters;
    std::string Directory;
    int ShowCmd = 0;
};

// Recording mode: when on, ShellExecuteA records the call and starts nothing.
void SetShellRecording(bool on);
bool ShellRecording();
std::vector<TShellCall> RecordedShellCalls();
void ClearRecordedShellCalls();
// The program started for the default action (default "xdg-open"); tests point it at a
// harmless program.
void SetShellLauncher(const std::string& program);
