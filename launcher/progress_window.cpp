// The progress window: product name, icon, a bar by archive bytes and Cancel,
// on a thread of its own that user32 and comctl32 are loaded on only once the
// delay has passed. The window never holds up the writer (it reads a counter
// on a timer) and never changes the status, the output or the child. Every
// failure of its own makes it give up silently.
#include "launcher/progress_window.h"

#include <commctrl.h>

#include <atomic>
#include <cstdio>

#include "format/branding_record.h"
#include "launcher/launcher.h"
#include "launcher/window_functions.h"

extraction_progress unpack_progress;

namespace {

constexpr wchar_t TEXT_UNPACKING[] = L"Unpacking the application\u2026";
constexpr wchar_t TEXT_STARTING[] = L"Starting the application\u2026";
constexpr wchar_t TEXT_CANCELLING[] = L"Cancelling\u2026";
constexpr wchar_t TEXT_CANCEL[] = L"Cancel";
constexpr int BAR_RANGE = 1000;
constexpr int ICON_RESOURCE_ID = 1;  // RT_GROUP_ICON 1, the image's own icon
constexpr UINT_PTR TICK_TIMER = 1;
constexpr WORD ARROW_CURSOR_ID = 32512;  // IDC_ARROW, whose macro is narrow in this build
constexpr size_t LABEL_UNITS = 64;
// Layout in dialog pixels of a 96-dpi screen; the system scales it.
constexpr int CLIENT_WIDTH = 380, CLIENT_HEIGHT = 112, MARGIN = 16;
constexpr int LABEL_TOP = 14, LABEL_HEIGHT = 20, BAR_TOP = 40, BAR_HEIGHT = 18;
constexpr int BUTTON_WIDTH = 88, BUTTON_HEIGHT = 26;

// Who wins the end of unpacking: the writer finishing or Cancel.
enum unpack_phase : int { UNPACKING, CANCELLED, UNPACKED };

struct progress_state {
    std::atomic<int> phase{UNPACKING};
    // Set by the thread before it commits to a window, so that the main
    // thread knows to hand it the child (both use sequentially consistent
    // order against `phase`).
    std::atomic<bool> showing{false};
    std::atomic<bool> finish{false};
    // The thread's own handle of the child, and when the child started.
    std::atomic<HANDLE> child{nullptr};
    std::atomic<DWORD> child_id{0};
    // A process the child started whose windows count as the child's.
    std::atomic<DWORD> program_id{0};
    std::atomic<ULONGLONG> child_started_at{0};
    payload_archive archive = {};
    uint64_t archive_size = 0;  // the bar's total
    HANDLE wake = nullptr;  // set when unpacking ends or the parent finishes
    HANDLE thread = nullptr;
};
progress_state progress;

constexpr int LABEL_ID = 100, BAR_ID = 101;

struct window_view {
    int shown_permille = -1;
    int shown_percent = -1;
    int shown_phase = UNPACKING;
    HFONT font = nullptr;
};
window_view view;

struct visible_window_search {
    DWORD process_id, program_id;
    HWND found;
};

// A shown top-level window of the child's that no other window owns.
BOOL CALLBACK match_visible_window(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<visible_window_search*>(context);
    DWORD owner = 0;
    ui.GetWindowThreadProcessId(window, &owner);
    if ((owner == search.process_id || (search.program_id != 0 && owner == search.program_id)) &&
        ui.IsWindowVisible(window) &&
        ui.GetWindow(window, GW_OWNER) == nullptr) {
        search.found = window;
        return FALSE;
    }
    return TRUE;
}

// Destroying the window ends its thread's message loop. An application
// window that came up behind it is brought to the front first: this window
// holds the foreground, so the system lets it pass it on.
void close_window(HWND window, HWND application) {
    if (application != nullptr && ui.GetForegroundWindow() == window)
        ui.SetForegroundWindow(application);
    ui.DestroyWindow(window);
}

void show_text(HWND window, const wchar_t* text) {
    ui.SetWindowTextW(ui.GetDlgItem(window, LABEL_ID), text);
}

void show_unpacking(HWND window) {
    uint64_t done = unpack_progress.archive_bytes_done.load(std::memory_order_relaxed);
    uint64_t total = progress.archive_size;
    int permille = total == 0 ? 0 : static_cast<int>(done >= total ? BAR_RANGE : done * BAR_RANGE / total);
    if (permille == view.shown_permille) return;
    view.shown_permille = permille;
    ui.SendMessageW(ui.GetDlgItem(window, BAR_ID), PBM_SETPOS, static_cast<WPARAM>(permille), 0);
    // The text changes ten times less often than the bar: only then is it
    // drawn again.
    if (permille / 10 == view.shown_percent) return;
    view.shown_percent = permille / 10;
    wchar_t label[LABEL_UNITS];
    bounded_buffer text = bounded_buffer::cleared(label, LABEL_UNITS);
    text.append(TEXT_UNPACKING);
    text.append(L" ");
    char percent[8];
    snprintf(percent, sizeof percent, "%d%%", permille / 10);
    text.append_widened(percent);
    show_text(window, label);
}

void tick(HWND window) {
    if (progress.finish.load()) {
        close_window(window, nullptr);
        return;
    }
    int phase = progress.phase.load();
    if (phase == UNPACKING) {
        show_unpacking(window);
    } else if (phase != view.shown_phase) {
        view.shown_phase = phase;
        if (phase == UNPACKED) {
            ui.SendMessageW(ui.GetDlgItem(window, BAR_ID), PBM_SETPOS, BAR_RANGE, 0);
            ui.EnableWindow(ui.GetDlgItem(window, IDCANCEL), FALSE);
            show_text(window, TEXT_STARTING);
        }
    }
    HANDLE child = progress.child.load();
    if (child == nullptr) return;
    if (win32.WaitForSingleObject(child, 0) == WAIT_OBJECT_0 ||
        win32.GetTickCount64() - progress.child_started_at.load() >= PROGRESS_HANDOFF_LIMIT_MS) {
        close_window(window, nullptr);
        return;
    }
    visible_window_search search = {progress.child_id.load(), progress.program_id.load(), nullptr};
    ui.EnumWindows(match_visible_window, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) close_window(window, search.found);
}

// Cancel and closing the window mean the same while unpacking runs: the
// writer stops at its next chunk and the parent deletes what was written.
// Once unpacking is complete, closing only closes the window.
void request_cancel(HWND window) {
    int expected = UNPACKING;
    if (progress.phase.compare_exchange_strong(expected, CANCELLED)) {
        unpack_progress.stop_requested.store(true);
        ui.EnableWindow(ui.GetDlgItem(window, IDCANCEL), FALSE);
        show_text(window, TEXT_CANCELLING);
    } else if (expected == UNPACKED) {
        ui.DestroyWindow(window);
    }
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_TIMER:
            tick(window);
            return 0;
        case WM_COMMAND:
            if (LOWORD(wparam) == IDCANCEL) request_cancel(window);
            return 0;
        case WM_CLOSE:
            request_cancel(window);
            return 0;
        case PROGRESS_WATCH_PROCESS_MESSAGE:
            progress.program_id.store(static_cast<DWORD>(wparam));
            return 0;
        case WM_DESTROY:
            ui.PostQuitMessage(0);
            return 0;
        default:
            return ui.DefWindowProcW(window, message, wparam, lparam);
    }
}

HWND add_control(HWND parent, const wchar_t* window_class, const wchar_t* text, DWORD style,
                 int x, int y, int width, int height, int id) {
    HWND control = ui.CreateWindowExW(0, window_class, text, WS_CHILD | WS_VISIBLE | style, x, y,
                                      width, height, parent,
                                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                      win32.GetModuleHandleW(nullptr), nullptr);
    if (control != nullptr && view.font != nullptr)
        ui.SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(view.font), FALSE);
    return control;
}

HWND create_window() {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    if (!ui.InitCommonControlsEx(&controls)) return nullptr;
    HINSTANCE instance = win32.GetModuleHandleW(nullptr);
    const wchar_t* icon_id = MAKEINTRESOURCEW(ICON_RESOURCE_ID);

    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance;
    window_class.hIcon = static_cast<HICON>(ui.LoadImageW(
        instance, icon_id, IMAGE_ICON, ui.GetSystemMetrics(SM_CXICON),
        ui.GetSystemMetrics(SM_CYICON), 0));
    window_class.hIconSm = static_cast<HICON>(ui.LoadImageW(
        instance, icon_id, IMAGE_ICON, ui.GetSystemMetrics(SM_CXSMICON),
        ui.GetSystemMetrics(SM_CYSMICON), 0));
    window_class.hCursor = static_cast<HCURSOR>(ui.LoadCursorW(nullptr, MAKEINTRESOURCEW(ARROW_CURSOR_ID)));
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = PROGRESS_WINDOW_CLASS_NAME;
    if (ui.RegisterClassExW(&window_class) == 0) return nullptr;

    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    if (ui.SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        view.font = ui.CreateFontIndirectW(&metrics.lfMessageFont);

    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame = {0, 0, CLIENT_WIDTH, CLIENT_HEIGHT};
    ui.AdjustWindowRectEx(&frame, style, FALSE, 0);
    int width = frame.right - frame.left, height = frame.bottom - frame.top;
    int x = (ui.GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int y = (ui.GetSystemMetrics(SM_CYSCREEN) - height) / 3;
    HWND window = ui.CreateWindowExW(0, PROGRESS_WINDOW_CLASS_NAME,
                                     reinterpret_cast<const wchar_t*>(launcher_branding.product),
                                     style, x, y, width, height, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return nullptr;

    const int inner = CLIENT_WIDTH - 2 * MARGIN;
    HWND label = add_control(window, L"Static", TEXT_UNPACKING, SS_LEFT | SS_NOPREFIX, MARGIN,
                             LABEL_TOP, inner, LABEL_HEIGHT, LABEL_ID);
    HWND bar = add_control(window, PROGRESS_CLASSW, L"", 0, MARGIN, BAR_TOP, inner, BAR_HEIGHT,
                           BAR_ID);
    HWND button = add_control(window, L"Button", TEXT_CANCEL, WS_TABSTOP | BS_DEFPUSHBUTTON,
                              CLIENT_WIDTH - MARGIN - BUTTON_WIDTH,
                              CLIENT_HEIGHT - MARGIN - BUTTON_HEIGHT, BUTTON_WIDTH,
                              BUTTON_HEIGHT, IDCANCEL);
    if (label == nullptr || bar == nullptr || button == nullptr ||
        ui.SetTimer(window, TICK_TIMER, PROGRESS_TICK_MS, nullptr) == 0) {
        ui.DestroyWindow(window);
        return nullptr;
    }
    ui.SendMessageW(bar, PBM_SETRANGE32, 0, BAR_RANGE);
    tick(window);
    return window;
}

DWORD WINAPI progress_main(void*) {
    // Unpacking that ends within the delay wakes the thread, which then ends
    // without having loaded or shown anything.
    if (win32.WaitForSingleObject(progress.wake, PROGRESS_DELAY_MS) != WAIT_TIMEOUT) return 0;
    progress.showing.store(true);
    if (progress.phase.load() != UNPACKING || !load_window_functions()) return 0;
    // Counted here, off the writer's way: for the compressed form this
    // walks every entry's header.
    progress.archive_size = payload_progress_total(progress.archive);
    HWND window = create_window();
    if (window == nullptr) return 0;
    ui.ShowWindow(window, SW_SHOWNORMAL);
    // Waiting for input here is also what ends the parent's start-up cursor.
    MSG message;
    while (ui.GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (ui.IsDialogMessageW(window, &message)) continue;
        ui.TranslateMessage(&message);
        ui.DispatchMessageW(&message);
    }
    if (view.font != nullptr) ui.DeleteObject(view.font);
    return 0;
}

// user32 functions for the main thread's hand-off, only when user32 is in
// the process already (the shell brought it in): a start that never needed
// it does not load it for this.
template <typename Function>
bool loaded_user32_function(const char* name, Function& function) {
    HMODULE user32 = win32.GetModuleHandleW(L"user32.dll");
    return user32 != nullptr && look_up(user32, name, function);
}

}  // namespace

void start_progress_window(const payload_archive& archive) {
    if ((launcher_branding.flags & BRANDING_FLAG_NO_PROGRESS) != 0) return;
    progress.archive = archive;
    progress.wake = win32.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (progress.wake == nullptr) return;
    progress.thread = win32.CreateThread(nullptr, 0, progress_main, nullptr, 0, nullptr);
}

bool finish_unpacking() {
    int expected = UNPACKING;
    bool complete = progress.phase.compare_exchange_strong(expected, UNPACKED);
    if (progress.wake != nullptr) win32.SetEvent(progress.wake);
    return complete;
}

void progress_child_started(HANDLE child_process, DWORD child_id) {
    // Windows lets a process take the foreground when the foreground process
    // allows it; the launcher stands between the user and the application,
    // so it passes its own permission on. Fails harmlessly without one.
    decltype(&::AllowSetForegroundWindow) allow_foreground = nullptr;
    if (loaded_user32_function("AllowSetForegroundWindow", allow_foreground))
        allow_foreground(child_id);
    // The start-up cursor lasts while the started process has not yet waited
    // for input (up to seconds after its first user32 call). The parent will
    // never show a window of its own now: it waits for input once, so the
    // cursor follows the child's start alone.
    decltype(&::PeekMessageW) peek_message = nullptr;
    MSG message;
    if (loaded_user32_function("PeekMessageW", peek_message))
        peek_message(&message, nullptr, 0, 0, PM_NOREMOVE);

    if (!progress.showing.load()) return;
    HANDLE own = nullptr;
    HANDLE self = win32.GetCurrentProcess();
    if (!win32.DuplicateHandle(self, child_process, self, &own, SYNCHRONIZE, FALSE, 0)) return;
    progress.child_id.store(child_id);
    progress.child_started_at.store(win32.GetTickCount64());
    progress.child.store(own);
}

void finish_progress_window() {
    progress.finish.store(true);
    if (progress.wake != nullptr) win32.SetEvent(progress.wake);
    if (progress.thread == nullptr) return;
    // A window that does not close in time is ended with the process; what
    // its thread may still use is then left open.
    if (win32.WaitForSingleObject(progress.thread, PROGRESS_FINISH_WAIT_MS) != WAIT_OBJECT_0) return;
    HANDLE child = progress.child.exchange(nullptr);
    if (child != nullptr) win32.CloseHandle(child);
    win32.CloseHandle(progress.thread);
    progress.thread = nullptr;
}
