// Harness for the end-to-end tests: packing, processes, reports.
// Test code only; it calls Win32 directly, not through the launcher's table.
#include "tests/launcher/e2e_harness.h"

#include "launcher/ownership.h"

#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwctype>

#include "format/branding_record.h"
#include "platform/tree_deleter.h"
#include "tests/launcher/probe_report.h"

namespace {

std::wstring upper(std::wstring text) {
    for (wchar_t& unit : text) unit = static_cast<wchar_t>(towupper(unit));
    return text;
}

bool is_launcher_variable(const std::wstring& name) {
    std::wstring key = upper(name);
    if (key == L"TMP" || key == L"TEMP") return true;
    for (const wchar_t* variable : REPORT_VARIABLES)
        if (key == variable) return true;
    return false;
}

// The harness's environment without TMP, TEMP and the launcher's variables,
// then the changes, as a sorted environment block.
std::wstring environment_block(const std::vector<environment_change>& changes) {
    std::vector<std::wstring> entries;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry != 0; entry += wcslen(entry) + 1) {
        std::wstring text = entry;
        size_t equals = text.find(L'=', 1);
        if (equals != std::wstring::npos && is_launcher_variable(text.substr(0, equals)))
            continue;
        entries.push_back(text);
    }
    FreeEnvironmentStringsW(strings);
    for (const environment_change& change : changes)
        if (!change.remove) entries.push_back(change.name + L"=" + change.value);
    std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        return upper(a) < upper(b);
    });
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

HANDLE inheritable_output(const std::wstring& path) {
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, TRUE};
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &attributes, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::wstring windows_path(const char* unix_path) {
    std::wstring path = L"Z:";
    for (const char* byte = unix_path; *byte != 0; ++byte)
        path += *byte == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*byte));
    return path;
}

std::string read_file(const std::wstring& path) {
    // Delete sharing too: Wine 8's MoveFileExW still holds the file it has
    // just renamed into place with delete access, and a reader that refused
    // to share deletion read nothing (an empty report, seen under load).
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string bytes;
    char chunk[65536];
    DWORD count = 0;
    while (ReadFile(file, chunk, sizeof chunk, &count, nullptr) && count != 0)
        bytes.append(chunk, count);
    CloseHandle(file);
    return bytes;
}

bool write_file(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    CloseHandle(file);
    return ok;
}

bool file_exists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool directory_exists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::vector<std::wstring> directory_names(const std::wstring& path) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::wstring> run_directories_in(const std::wstring& path) {
    std::vector<std::wstring> names;
    for (const std::wstring& name : directory_names(path))
        if (name.size() < 5 || name.compare(name.size() - 5, 5, L".lock") != 0) names.push_back(name);
    return names;
}

// Through the launcher's own deleter: links stay (tests remove them with
// run_unix_tool), and nothing a link leads to is touched.
void remove_tree(const std::wstring& path) {
    std::wstring folder = folder_of(path);
    HANDLE handle = folder_open(folder.c_str());
    if (handle == INVALID_HANDLE_VALUE) return;
    std::wstring name = path.substr(folder.size() + 1);
    delete_tree(handle, name.c_str(), entry_index(handle, name), nullptr);
    CloseHandle(handle);
}

bool mark_as_run_directory(const std::wstring& path) {
    std::wstring folder = folder_of(path);
    HANDLE handle = folder_open(folder.c_str());
    if (handle == INVALID_HANDLE_VALUE) return false;
    lock_mark mark = {};
    memcpy(mark.magic, LOCK_MARK_MAGIC, sizeof mark.magic);
    mark.directory_index = entry_index(handle, path.substr(folder.size() + 1));
    CloseHandle(handle);
    return mark.directory_index != 0 &&
           write_file(path + L".lock", std::string(reinterpret_cast<const char*>(&mark), sizeof mark));
}

int64_t entry_index(HANDLE folder, const std::wstring& name) {
    static wchar_t own_path[32768];
    if (!folder_own_path(folder, own_path, 32768)) return 0;
    opened_entry entry = entry_open(folder, own_path, name.c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (entry.handle != INVALID_HANDLE_VALUE) CloseHandle(entry.handle);
    return entry.index;
}

std::wstring unix_path_of(const std::wstring& path) {
    using unix_name_fn = char*(CDECL*)(LPCWSTR);
    auto unix_name = reinterpret_cast<unix_name_fn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (unix_name == nullptr) return std::wstring();
    char* unix_path = unix_name(path.c_str());
    if (unix_path == nullptr) return std::wstring();
    std::wstring text;
    for (const char* byte = unix_path; *byte != 0; ++byte) text += static_cast<wchar_t>(*byte);
    HeapFree(GetProcessHeap(), 0, unix_path);
    return text;
}

bool start_process(const std::wstring& application, std::wstring& command_line, bool inherit,
                   DWORD flags, void* environment, const wchar_t* directory,
                   STARTUPINFOW& startup, PROCESS_INFORMATION& process) {
    // Seen with two test runs and a build at once on two cores, and with
    // ctest's two jobs alone.
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(application.c_str(), &command_line[0], nullptr, nullptr, inherit, flags,
                           environment, directory, &startup, &process))
            return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 3) return false;
        std::fprintf(stderr, "start_process: Wine failed a start with an internal error; trying again\n");
        Sleep(200);
    }
}

bool run_unix_command(const std::wstring& arguments) {
    // Wine 8 signals a Unix program's process handle before the program has
    // finished, and passes no exit status on: the command leaves a marker
    // when it is done, and what it did is checked by the caller.
    static int serial = 0;
    std::wstring marker = test_program_folder() + L"\\unix_done_" +
                          std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++serial);
    std::wstring program = L"Z:\\bin\\sh";
    std::wstring command =
        program + L" -c \"" + arguments + L"; touch '" + unix_path_of(marker) + L"'\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!start_process(program, command, false, 0, nullptr, nullptr, startup, process)) return false;
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    // A thousand mkdirs take seconds on a loaded machine.
    for (ULONGLONG deadline = GetTickCount64() + 60000; GetTickCount64() < deadline; Sleep(5))
        if (DeleteFileW(marker.c_str())) return true;
    return false;
}

std::string unix_mode_of(const std::wstring& path) {
    static int serial = 0;
    std::wstring out = test_program_folder() + L"\\unix_mode_" +
                       std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++serial);
    std::wstring unix_path = unix_path_of(path);
    if (unix_path.empty() || !run_unix_command(L"stat -c %a '" + unix_path + L"' > '" +
                                               unix_path_of(out) + L"'"))
        return std::string();
    std::string mode = read_file(out);
    DeleteFileW(out.c_str());
    while (!mode.empty() && (mode.back() == '\n' || mode.back() == '\r')) mode.pop_back();
    return mode;
}

bool make_unix_link(const std::wstring& target, const std::wstring& link) {
    std::wstring from = target.find(L':') == std::wstring::npos ? target : unix_path_of(target);
    std::wstring at = unix_path_of(link);
    return !from.empty() && !at.empty() && run_unix_command(L"ln -s '" + from + L"' '" + at + L"'") &&
           GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool remove_unix_link(const std::wstring& link) {
    std::wstring at = unix_path_of(link);
    return !at.empty() && run_unix_command(L"rm -f '" + at + L"'");
}

void clear_links_below(const std::wstring& folder) {
    std::wstring unix_folder = unix_path_of(folder);
    if (!unix_folder.empty() && directory_exists(folder))
        run_unix_command(L"find '" + unix_folder + L"' -type l -delete; chmod -R u+w '" +
                         unix_folder + L"'");
}

bool make_link_targets(const std::wstring& targets) {
    return CreateDirectoryW(targets.c_str(), nullptr) &&
           write_file(targets + L"\\file.txt", "outside") &&
           write_file(targets + L"\\read_only.txt", "outside, read-only") &&
           SetFileAttributesW((targets + L"\\read_only.txt").c_str(), FILE_ATTRIBUTE_READONLY) &&
           CreateDirectoryW((targets + L"\\directory").c_str(), nullptr) &&
           write_file(targets + L"\\directory\\inner.txt", "inside the outside") &&
           CreateDirectoryW((targets + L"\\empty").c_str(), nullptr);
}

bool plant_links(const std::wstring& directory, const std::wstring& targets) {
    for (const wchar_t* name : {L"file.txt", L"read_only.txt", L"directory", L"empty"})
        if (!make_unix_link(targets + L"\\" + name, directory + L"\\link_to_" + name)) return false;
    return true;
}

std::string link_targets_changed(const std::wstring& targets) {
    std::string changed;
    if (read_file(targets + L"\\file.txt") != "outside") changed += "file.txt ";
    if (read_file(targets + L"\\read_only.txt") != "outside, read-only" ||
        !(GetFileAttributesW((targets + L"\\read_only.txt").c_str()) & FILE_ATTRIBUTE_READONLY))
        changed += "read_only.txt ";
    if (read_file(targets + L"\\directory\\inner.txt") != "inside the outside") changed += "directory ";
    if (!directory_exists(targets + L"\\empty")) changed += "empty ";
    return changed;
}

std::wstring folder_of(const std::wstring& path) {
    size_t last = path.find_last_of(L'\\');
    return last == std::wstring::npos ? path : path.substr(0, last);
}

std::wstring test_program_folder() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], 32768));
    return folder_of(path);
}

bool set_run_directory_template(const std::wstring& image, const std::wstring& path_template,
                                unsigned char digest_seed, const std::wstring& product) {
    std::string bytes = read_file(image);
    auto u32_at = [&](size_t at) {
        uint32_t value = 0;
        for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
        return value;
    };
    if (bytes.size() < 0x40 || path_template.size() >= RUN_DIRECTORY_TEMPLATE_CAPACITY) return false;
    size_t header = u32_at(0x3C);
    size_t sections = static_cast<uint8_t>(bytes[header + 6]) | (static_cast<uint8_t>(bytes[header + 7]) << 8);
    size_t optional_size = static_cast<uint8_t>(bytes[header + 20]) | (static_cast<uint8_t>(bytes[header + 21]) << 8);
    size_t table = header + 24 + optional_size;
    for (size_t index = 0; index < sections; ++index) {
        size_t entry = table + 40 * index;
        if (bytes.compare(entry, 8, std::string(BRANDING_SECTION_NAME, 8)) != 0) continue;
        size_t field = u32_at(entry + 20) + offsetof(branding_record, run_directory);
        for (size_t unit = 0; unit < RUN_DIRECTORY_TEMPLATE_CAPACITY; ++unit) {
            wchar_t value = unit < path_template.size() ? path_template[unit] : 0;
            bytes[field + 2 * unit] = static_cast<char>(value & 0xFF);
            bytes[field + 2 * unit + 1] = static_cast<char>(value >> 8);
        }
        size_t product_field = u32_at(entry + 20) + offsetof(branding_record, product);
        for (size_t unit = 0; !product.empty() && unit < BRANDING_TEXT_CAPACITY; ++unit) {
            wchar_t value = unit < product.size() ? product[unit] : 0;
            bytes[product_field + 2 * unit] = static_cast<char>(value & 0xFF);
            bytes[product_field + 2 * unit + 1] = static_cast<char>(value >> 8);
        }
        size_t digest = u32_at(entry + 20) + offsetof(branding_record, payload_digest);
        for (size_t index = 0; index < PAYLOAD_DIGEST_SIZE; ++index)
            bytes[digest + index] = static_cast<char>(digest_seed + index);
        size_t stamp = u32_at(entry + 20) + offsetof(branding_record, build_stamp);
        for (size_t index = 0; index < sizeof(uint64_t); ++index) bytes[stamp + index] = 0;
        bytes[stamp] = static_cast<char>(digest_seed);
        return write_file(image, bytes);
    }
    return false;
}

bool pack_launcher(const std::wstring& stub, const std::wstring& target,
                   const std::string& archive) {
    if (!CopyFileW(stub.c_str(), target.c_str(), FALSE)) return false;
    HANDLE update = BeginUpdateResourceW(target.c_str(), FALSE);
    if (update == nullptr) return false;
    std::string data = archive;
    if (!UpdateResourceW(update, MAKEINTRESOURCEW(10), MAKEINTRESOURCEW(27),
                         MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), &data[0],
                         static_cast<DWORD>(data.size()))) {
        EndUpdateResourceW(update, TRUE);
        return false;
    }
    return EndUpdateResourceW(update, FALSE) != FALSE;
}

launched_process::~launched_process() {
    if (process_.hProcess != nullptr) {
        if (WaitForSingleObject(process_.hProcess, 0) != WAIT_OBJECT_0)
            TerminateProcess(process_.hProcess, 1);
        CloseHandle(process_.hProcess);
    }
}

bool launched_process::start(const std::wstring& application, const std::wstring& command_line,
                             const std::wstring& temp_folder,
                             const std::wstring& current_directory,
                             const std::wstring& output_prefix,
                             const std::vector<environment_change>& changes) {
    output_prefix_ = output_prefix;
    std::vector<environment_change> all = {{L"TMP", temp_folder, false},
                                           {L"TEMP", temp_folder, false}};
    all.insert(all.end(), changes.begin(), changes.end());
    std::wstring environment = environment_block(all);

    HANDLE output = inheritable_output(output_prefix + L".stdout");
    HANDLE error = inheritable_output(output_prefix + L".stderr");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE input = input_file.empty() ? nullptr
                 : CreateFileW(input_file.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherited, OPEN_EXISTING, 0, nullptr);
    startup.hStdInput = input == INVALID_HANDLE_VALUE ? nullptr : input;
    startup.hStdOutput = output;
    startup.hStdError = error;
    std::wstring writable_command_line = command_line;
    DWORD flags = CREATE_UNICODE_ENVIRONMENT | (suspended ? CREATE_SUSPENDED : 0) | extra_flags;
    bool started = start_process(application, writable_command_line, true, flags, &environment[0],
                                 current_directory.c_str(), startup, process_);
    CloseHandle(output);
    CloseHandle(error);
    if (startup.hStdInput != nullptr) CloseHandle(startup.hStdInput);
    if (started && !suspended) CloseHandle(process_.hThread);
    return started;
}

void launched_process::resume() {
    ResumeThread(process_.hThread);
    CloseHandle(process_.hThread);
}

bool launched_process::wait(DWORD timeout_ms) {
    if (WaitForSingleObject(process_.hProcess, timeout_ms) != WAIT_OBJECT_0) {
        TerminateProcess(process_.hProcess, 1);
        return false;
    }
    return GetExitCodeProcess(process_.hProcess, &exit_code_) != FALSE;
}

std::string launched_process::standard_output() const {
    return read_file(output_prefix_ + L".stdout");
}

std::string launched_process::standard_error() const {
    return read_file(output_prefix_ + L".stderr");
}

probe_report read_report(const std::wstring& path) {
    probe_report report;
    std::string bytes = read_file(path);
    std::wstring text(bytes.size() / 2, L'\0');
    for (size_t index = 0; index < text.size(); ++index)
        text[index] = static_cast<wchar_t>(static_cast<unsigned char>(bytes[2 * index]) |
                                           static_cast<unsigned char>(bytes[2 * index + 1]) << 8);
    size_t at = 0;
    while (at < text.size()) {
        size_t key_end = text.find(L'\0', at);
        if (key_end == std::wstring::npos) break;
        size_t value_end = text.find(L'\0', key_end + 1);
        if (value_end == std::wstring::npos) break;
        report[text.substr(at, key_end - at)] = text.substr(key_end + 1, value_end - key_end - 1);
        at = value_end + 1;
    }
    return report;
}

probe_report wait_for_report(const std::wstring& path, DWORD timeout_ms) {
    probe_report report;
    for (ULONGLONG deadline = GetTickCount64() + timeout_ms;;) {
        report = read_report(path);
        if (!report.empty() || GetTickCount64() >= deadline) return report;
        Sleep(20);
    }
}

bool wait_for_file(const std::wstring& path, DWORD timeout_ms) {
    for (DWORD waited = 0; waited <= timeout_ms; waited += 20) {
        if (file_exists(path)) return true;
        Sleep(20);
    }
    return false;
}

std::vector<std::wstring> reported_arguments(const probe_report& report) {
    std::vector<std::wstring> arguments;
    auto count = report.find(REPORT_ARGC);
    if (count == report.end()) return arguments;
    int argc = std::stoi(count->second);
    for (int index = 0; index < argc; ++index) {
        auto value = report.find(REPORT_ARGV_PREFIX + std::to_wstring(index));
        arguments.push_back(value == report.end() ? L"<missing>" : value->second);
    }
    return arguments;
}

std::vector<std::wstring> system_arguments(const std::wstring& command_line) {
    std::vector<std::wstring> arguments;
    int count = 0;
    wchar_t** vector = CommandLineToArgvW(command_line.c_str(), &count);
    for (int index = 0; index < count; ++index) arguments.push_back(vector[index]);
    LocalFree(vector);
    return arguments;
}

std::string printable(const std::wstring& text) {
    std::string out;
    for (wchar_t unit : text) {
        if (unit >= 0x20 && unit < 0x7F) {
            out += static_cast<char>(unit);
        } else {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(unit));
            out += escaped;
        }
    }
    return out;
}
