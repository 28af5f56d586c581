// The user32, gdi32 and comctl32 functions the progress window calls,
// looked up on its own thread once its delay has passed: a start that shows
// no window never loads them. Launch control; Win32 calls only.
#pragma once
#include "platform/win32_api.h"

#include <commctrl.h>

// Each entry is X(library, function).
#define WINDOW_FUNCTIONS(X)              \
    X(user32, RegisterClassExW)          \
    X(user32, CreateWindowExW)           \
    X(user32, DefWindowProcW)            \
    X(user32, DestroyWindow)             \
    X(user32, ShowWindow)                \
    X(user32, GetMessageW)               \
    X(user32, IsDialogMessageW)          \
    X(user32, TranslateMessage)          \
    X(user32, DispatchMessageW)          \
    X(user32, PostQuitMessage)           \
    X(user32, SetTimer)                  \
    X(user32, SendMessageW)              \
    X(user32, SetWindowTextW)            \
    X(user32, EnableWindow)              \
    X(user32, GetDlgItem)                \
    X(user32, LoadImageW)                \
    X(user32, LoadCursorW)               \
    X(user32, GetSystemMetrics)          \
    X(user32, AdjustWindowRectEx)        \
    X(user32, SystemParametersInfoW)     \
    X(user32, EnumWindows)               \
    X(user32, GetWindowThreadProcessId)  \
    X(user32, IsWindowVisible)           \
    X(user32, GetWindow)                 \
    X(user32, GetForegroundWindow)       \
    X(user32, SetForegroundWindow)       \
    X(comctl32, InitCommonControlsEx)    \
    X(gdi32, CreateFontIndirectW)        \
    X(gdi32, DeleteObject)

struct window_functions {
#define WINDOW_FUNCTION_MEMBER(library, name) decltype(&::name) name;
    WINDOW_FUNCTIONS(WINDOW_FUNCTION_MEMBER)
#undef WINDOW_FUNCTION_MEMBER
};

// Filled by load_window_functions, on the window's thread.
extern window_functions ui;

// Loads the three libraries and looks up every function of the list; false
// when one is missing.
bool load_window_functions();

// `name` of `module` into `function`; false when it is not there.
template <typename Function>
bool look_up(HMODULE module, const char* name, Function& function) {
    FARPROC found = module != nullptr ? win32.GetProcAddress(module, name) : nullptr;
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(found));
    return found != nullptr;
}
