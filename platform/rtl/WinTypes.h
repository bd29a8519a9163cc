// WinTypes: the Windows-style base types and constants the program's names are written in
// (DWORD, BOOL, HWND, WPARAM ...), with no behaviour attached.
//
// They live here, in the run-time library, so that a layer which only needs the types (the
// internet library, the shell helpers, the getter's reply records) includes them without
// depending on the message queues; the message-queue header includes this one.
#pragma once

#include <cstdint>

struct HWND__;
using HWND = HWND__*;  // a window handle: bound to a handler on the thread that made it
using UINT = uint32_t;
using DWORD = uint32_t;
using BOOL = int;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using LONG_PTR = intptr_t;
using UINT_PTR = uintptr_t;
using HINSTANCE = void*;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr DWORD INFINITE = 0xFFFFFFFF;  // a wait without a time bound
