// How failures are told and how the process ends: the message lines on the
// runtime's standard streams, exit status 2 or abnormal termination. Windows
// only; callers decide when to fail.
#include "diagnostics/failure.h"

#include <cstdio>
#include <cstdlib>

#include "platform/end_abnormally.h"
#include "platform/bounded_buffer.h"
#include "platform/win32_api.h"

namespace {

constexpr DWORD SYSTEM_TEXT_FLAGS = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                    FORMAT_MESSAGE_FROM_SYSTEM;  // 0x1300
constexpr DWORD ENGLISH_UNITED_STATES = 1033;
// Stands in for the system text when there is none for the code (or none in
// English), so the line keeps its shape.
constexpr char UNKNOWN_ERROR_TEXT[] = "unknown error";

// Every unit of a path becomes at most one byte, so a path of any length the
// launcher builds fits.
char narrow_path[CHILD_COMMAND_LINE_CAPACITY];

}  // namespace

void print_system_error(const char* text, uint32_t code) {
    char* system_text = nullptr;
    DWORD length = win32.FormatMessageA(SYSTEM_TEXT_FLAGS, nullptr, code, ENGLISH_UNITED_STATES,
                                        reinterpret_cast<char*>(&system_text), 0, nullptr);
    if (length == 0 || system_text == nullptr) system_text = const_cast<char*>(UNKNOWN_ERROR_TEXT);
    // The code is shown as the signed number "%ld" makes of it. The system
    // text keeps its own line break; it is not released, the process ends.
    std::fprintf(stderr, "%s ([Error %ld] %s)\n", text, static_cast<long>(static_cast<int32_t>(code)),
                 system_text);
}

void fail_with_message(const char* text) {
    std::puts(text);
    std::exit(FAILURE_EXIT_STATUS);
}

void fail_with_system_error(const char* text, uint32_t code) {
    print_system_error(text, code);
    std::exit(FAILURE_EXIT_STATUS);
}

void fail_no_payload_header() { fail_with_message(MESSAGE_NO_HEADER); }

void fail_unpack_write() {
    DWORD code = GetLastError();
    fail_with_system_error(MESSAGE_UNPACK_WRITE, code);
}

void fail_launch_child(uint32_t code) { fail_with_system_error(MESSAGE_LAUNCH_CHILD, code); }

void fail_open_target(const u16* target_path) {
    narrow_for_message(target_path, narrow_path, sizeof narrow_path);
    std::fprintf(stderr, FORMAT_OPEN_TARGET, narrow_path);
    std::exit(FAILURE_EXIT_STATUS);
}

void fail_expand_template(const u16* path_template) {
    narrow_for_message(path_template, narrow_path, sizeof narrow_path);
    std::fprintf(stderr, FORMAT_EXPAND_TEMPLATE, narrow_path);
    // abort does not flush the streams; the line must be out before it.
    std::fflush(stderr);
    end_abnormally();
}
