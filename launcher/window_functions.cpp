// The progress window's user-interface functions, looked up by name.
#include "launcher/window_functions.h"

window_functions ui;

// comctl32 resolves to Common Controls 6 through the image's manifest.
bool load_window_functions() {
    HMODULE user32 = win32.LoadLibraryW(L"user32.dll");
    HMODULE gdi32 = win32.LoadLibraryW(L"gdi32.dll");
    HMODULE comctl32 = win32.LoadLibraryW(L"comctl32.dll");
    bool ok = true;
#define LOOK_UP(library, name) ok = look_up(library, #name, ui.name) && ok;
    WINDOW_FUNCTIONS(LOOK_UP)
#undef LOOK_UP
    return ok;
}
