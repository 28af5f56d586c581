// A GUI-subsystem program like the launcher that fails in the way its first
// argument names, so a test can watch the bytes, streams and exit status
// from outside the process.
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <cstdlib>

#include "diagnostics/failure.h"
#include "platform/end_abnormally.h"

int wmain(int argc, wchar_t** argv) {
    make_abort_unattended();  // as the launcher does at start-up
    if (argc < 2) return 99;
    const wchar_t* operation = argv[1];
    const wchar_t* argument = argc > 2 ? argv[2] : L"";
    uint32_t code = static_cast<uint32_t>(std::wcstoul(argument, nullptr, 0));
    if (wcscmp(operation, L"signal_handler") == 0) fail_with_message(MESSAGE_SIGNAL_HANDLER);
    if (wcscmp(operation, L"entry_point") == 0) fail_with_message(MESSAGE_NO_ENTRY_POINT);
    if (wcscmp(operation, L"no_header") == 0) fail_no_payload_header();
    if (wcscmp(operation, L"load_dll") == 0) fail_with_system_error(MESSAGE_LOAD_DLL, code);
    if (wcscmp(operation, L"launch_child") == 0) fail_launch_child(code);
    if (wcscmp(operation, L"unpack_write") == 0) {
        SetLastError(code);
        fail_unpack_write();
    }
    if (wcscmp(operation, L"open_target") == 0) fail_open_target(argument);
    if (wcscmp(operation, L"expand_template") == 0) fail_expand_template(argument);
    if (wcscmp(operation, L"end_abnormally") == 0) end_abnormally();
    return 98;
}
