// A windowed program for `--run`: shows a window and ends with 0 when it
// comes to the front within ten seconds, 4 when it does not. Its first
// argument, when given, is a file it creates once its window is up.
#include <windows.h>

namespace {
constexpr UINT_PTR CHECK_TIMER = 1;
constexpr ULONGLONG FOREGROUND_LIMIT_MS = 10000;
constexpr int NOT_IN_FRONT = 4;
int status = NOT_IN_FRONT;
ULONGLONG deadline = 0;

LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_TIMER) {
        if (GetForegroundWindow() == window) status = 0;
        if (status == 0 || GetTickCount64() > deadline) DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = instance;
    window_class.lpszClassName = L"OnefileRunWindow";
    RegisterClassW(&window_class);
    HWND window = CreateWindowExW(0, L"OnefileRunWindow", L"run window", WS_OVERLAPPEDWINDOW, 100, 100, 300, 200,
                                  nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 5;
    ShowWindow(window, SW_SHOWNORMAL);
    if (__argc > 1) {
        HANDLE marker = CreateFileW(__wargv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    }
    deadline = GetTickCount64() + FOREGROUND_LIMIT_MS;
    SetTimer(window, CHECK_TIMER, 50, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return status;
}
