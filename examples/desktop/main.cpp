// A windowed packaged application: one top-level window with a list view of
// every file packed beside this library (name relative to the run directory,
// size) and the text of data\about.txt below it. Plain Win32, no framework.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const wchar_t WINDOW_CLASS[] = L"OnefileDesktopExample";
const wchar_t WINDOW_TITLE[] = L"Onefile Desktop Example";
const wchar_t ABOUT_FILE[] = L"data\\about.txt";
const int LIST_ID = 1;
const int TEXT_ID = 2;
const int MARGIN = 8;

struct packed_file {
    std::wstring name;  // relative to the run directory, backslashes
    unsigned long long size;
};

std::wstring own_folder() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&own_folder), &self);
    std::vector<wchar_t> path(32768);
    DWORD length = GetModuleFileNameW(self, path.data(), static_cast<DWORD>(path.size()));
    std::wstring folder(path.data(), length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

// Every file below `root`, depth first; the caller sorts.
void collect_files(const std::wstring& root, const std::wstring& prefix,
                   std::vector<packed_file>& out) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((root + L"\\" + prefix + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            collect_files(root, prefix + name + L"\\", out);
        } else {
            unsigned long long size =
                (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
            out.push_back({prefix + name, size});
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// The file's UTF-8 text with CR LF line ends, as a multi-line edit wants it.
std::wstring read_text(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return L"(cannot read " + path + L")";
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
    CloseHandle(file);
    int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                    nullptr, 0);
    std::wstring wide(units, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(),
                        units);
    std::wstring text;
    for (wchar_t unit : wide) {
        if (unit == L'\r') continue;
        if (unit == L'\n') text += L'\r';
        text += unit;
    }
    return text;
}

void add_column(HWND list, int index, const wchar_t* title, int width, int format) {
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.fmt = format;
    column.cx = width;
    column.pszText = const_cast<wchar_t*>(title);
    SendMessageW(list, LVM_INSERTCOLUMNW, index, reinterpret_cast<LPARAM>(&column));
}

void fill_list(HWND list, const std::vector<packed_file>& files) {
    add_column(list, 0, L"File", 300, LVCFMT_LEFT);
    add_column(list, 1, L"Size (bytes)", 110, LVCFMT_RIGHT);
    for (size_t i = 0; i < files.size(); ++i) {
        LVITEMW item = {};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(i);
        item.pszText = const_cast<wchar_t*>(files[i].name.c_str());
        int row = static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0,
                                                reinterpret_cast<LPARAM>(&item)));
        std::wstring size = std::to_wstring(files[i].size);
        item.iItem = row;
        item.iSubItem = 1;
        item.pszText = size.data();
        SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
    }
}

void create_children(HWND window) {
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window, GWLP_HINSTANCE));
    HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    HWND list = CreateWindowExW(
        WS_EX_CLIENTEDGE, WC_LISTVIEWW, L"",
        WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, 0,
        0, 0, 0, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(LIST_ID)), instance,
        nullptr);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0,
                 LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
    HWND text = CreateWindowExW(
        WS_EX_CLIENTEDGE, L"EDIT", L"",
        WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY |
            ES_AUTOVSCROLL,
        0, 0, 0, 0, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(TEXT_ID)), instance,
        nullptr);
    SendMessageW(list, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    SendMessageW(text, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);

    std::wstring folder = own_folder();
    std::vector<packed_file> files;
    collect_files(folder, L"", files);
    std::sort(files.begin(), files.end(), [](const packed_file& a, const packed_file& b) {
        return _wcsicmp(a.name.c_str(), b.name.c_str()) < 0;
    });
    fill_list(list, files);
    SetWindowTextW(text, read_text(folder + L"\\" + ABOUT_FILE).c_str());
}

// The list takes the upper three fifths of the client area, the text the rest.
void lay_out(HWND window, int width, int height) {
    int inner = std::max(0, width - 2 * MARGIN);
    int list_height = std::max(0, (height - 3 * MARGIN) * 3 / 5);
    int text_height = std::max(0, height - 3 * MARGIN - list_height);
    MoveWindow(GetDlgItem(window, LIST_ID), MARGIN, MARGIN, inner, list_height, TRUE);
    MoveWindow(GetDlgItem(window, TEXT_ID), MARGIN, 2 * MARGIN + list_height, inner, text_height,
               TRUE);
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        create_children(window);
        return 0;
    case WM_SIZE:
        lay_out(window, LOWORD(lparam), HIWORD(lparam));
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int, wchar_t**) {
    // The list view must come from Common Controls 6, which the launcher's
    // manifest binds for the whole process.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES};
    if (!InitCommonControlsEx(&controls)) return 1;

    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance;
    // Resource 1 of the launcher: its icon directory, replaced by the packer.
    window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    window_class.hIconSm = static_cast<HICON>(LoadImageW(
        instance, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
        GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = WINDOW_CLASS;
    if (!RegisterClassExW(&window_class)) return 1;

    HWND window = CreateWindowExW(0, WINDOW_CLASS, WINDOW_TITLE, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 520, 420, nullptr, nullptr,
                                  instance, nullptr);
    if (window == nullptr) return 1;
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);

    MSG message;
    BOOL got;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (got == -1) return 1;
        if (!IsDialogMessageW(window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return static_cast<int>(message.wParam);
}
