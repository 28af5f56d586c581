// How failures are told and how the process ends: the message lines on the
// runtime's standard streams, exit status 2 or abnormal termination; and,
// for a process that has neither stream (started from the desktop), the same
// line in a message box. Windows only; callers decide when to fail.
#include "diagnostics/failure.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "format/branding_record.h"
#include "platform/bounded_buffer.h"
#include "platform/end_abnormally.h"
#include "platform/win32_api.h"

namespace {

constexpr DWORD SYSTEM_TEXT_FLAGS = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                    FORMAT_MESSAGE_FROM_SYSTEM;  // 0x1300
constexpr DWORD ENGLISH_UNITED_STATES = 1033;
// Stands in for the system text when there is none for the code (or none in
// English), so the line keeps its shape.
constexpr char UNKNOWN_ERROR_TEXT[] = "unknown error";
constexpr size_t SECOND_SENTENCE_CAPACITY = 1024;
// Room for a path of any length the launcher builds, one byte a unit, and
// the text around it.
constexpr size_t LINE_CAPACITY = CHILD_COMMAND_LINE_CAPACITY + 1024;

char narrow_path[CHILD_COMMAND_LINE_CAPACITY];
// The line being reported, line break included, kept for the box.
char failure_line[LINE_CAPACITY];
u16 box_text[LINE_CAPACITY + SECOND_SENTENCE_CAPACITY];

// A stream that reaches someone: a handle the process was given and that
// names an open file, pipe or console.
bool stream_usable(DWORD which) {
    HANDLE handle = win32.GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    if (win32.GetFileType(handle) != FILE_TYPE_UNKNOWN) return true;
    return GetLastError() == NO_ERROR;
}

void append_ascii(u16* text, size_t& length, const char* bytes) {
    for (; *bytes != 0; ++bytes) {
        unsigned char byte = static_cast<unsigned char>(*bytes);
        text[length++] = byte < 0x80 ? byte : L'?';
    }
}

// The line (and a second sentence, when there is one) in a box titled with
// the product's name, for a process whose streams reach nobody. Returns when
// the user closes it.
void show_failure_box(const char* second_sentence) {
    size_t length = 0;
    size_t line_length = std::strlen(failure_line);
    if (line_length > 0 && failure_line[line_length - 1] == '\n') failure_line[line_length - 1] = 0;
    append_ascii(box_text, length, failure_line);
    if (second_sentence != nullptr) {
        append_ascii(box_text, length, "\n\n");
        append_ascii(box_text, length, second_sentence);
    }
    box_text[length] = 0;
    win32.MessageBoxW(nullptr, box_text, launcher_branding.product, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

// Writes the failure line to `stream`; true when neither standard stream
// reaches anyone, so the line must be shown in a box as well.
bool write_unheard(FILE* stream) {
    std::fputs(failure_line, stream);
    std::fflush(stream);
    return !stream_usable(STD_OUTPUT_HANDLE) && !stream_usable(STD_ERROR_HANDLE);
}

void tell(FILE* stream) {
    if (write_unheard(stream)) show_failure_box(nullptr);
}

void format_system_error(const char* text, uint32_t code) {
    char* system_text = nullptr;
    DWORD length = win32.FormatMessageA(SYSTEM_TEXT_FLAGS, nullptr, code, ENGLISH_UNITED_STATES,
                                        reinterpret_cast<char*>(&system_text), 0, nullptr);
    if (length == 0 || system_text == nullptr) system_text = const_cast<char*>(UNKNOWN_ERROR_TEXT);
    // The system's texts end in CR LF; cut, the report stays one line with
    // ")" on it. The text is not released: the process ends.
    size_t end = std::strlen(system_text);
    while (end > 0 && (system_text[end - 1] == '\r' || system_text[end - 1] == '\n' ||
                       system_text[end - 1] == ' '))
        system_text[--end] = 0;
    // The code is shown as the signed number "%ld" makes of it.
    std::snprintf(failure_line, sizeof failure_line, "%s ([Error %ld] %s)\n", text,
                  static_cast<long>(static_cast<int32_t>(code)), system_text);
}

}  // namespace

void print_system_error(const char* text, uint32_t code) {
    format_system_error(text, code);
    std::fputs(failure_line, stderr);
}

void fail_with_message(const char* text) {
    std::snprintf(failure_line, sizeof failure_line, "%s\n", text);
    tell(stdout);
    std::exit(FAILURE_EXIT_STATUS);
}

void fail_with_system_error(const char* text, uint32_t code) {
    format_system_error(text, code);
    tell(stderr);
    std::exit(FAILURE_EXIT_STATUS);
}

void fail_load_library(uint32_t code, const u16* library_path, const u16* directory) {
    format_system_error(MESSAGE_LOAD_DLL, code);
    // Only a library that is not there is worth the walk; a damaged or
    // foreign one is the application library itself or says so. The name
    // goes on a line of its own, after the line as it always reads.
    static char sentence[SECOND_SENTENCE_CAPACITY];
    bool named = code == ERROR_MOD_NOT_FOUND &&
                 describe_missing_import(library_path, directory, sentence, sizeof sentence);
    bool unheard = write_unheard(stderr);
    if (named) {
        std::fputs(sentence, stderr);
        std::fputs("\n", stderr);
        std::fflush(stderr);
    }
    if (unheard) show_failure_box(named ? sentence : nullptr);
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
    std::snprintf(failure_line, sizeof failure_line, FORMAT_OPEN_TARGET, narrow_path);
    tell(stderr);
    std::exit(FAILURE_EXIT_STATUS);
}

void fail_damaged_entry(const u16* entry_name) {
    narrow_for_message(entry_name, narrow_path, sizeof narrow_path);
    std::snprintf(failure_line, sizeof failure_line, FORMAT_DAMAGED_ENTRY, narrow_path);
    tell(stderr);
    std::exit(FAILURE_EXIT_STATUS);
}

void fail_expand_template(const u16* path_template) {
    narrow_for_message(path_template, narrow_path, sizeof narrow_path);
    std::snprintf(failure_line, sizeof failure_line, FORMAT_EXPAND_TEMPLATE, narrow_path);
    // abort does not flush the streams; tell() puts the line out before it.
    tell(stderr);
    end_abnormally();
}
