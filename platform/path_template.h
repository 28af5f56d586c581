// Path templates: literal text with placeholders such as {TEMP} and {PID},
// expanded into a bounded buffer. The expansion logic is platform-free; the
// platform values it reads come through `template_sources`.
#pragma once
#include <cstdint>

#include "format/units.h"

#include "platform/run_directory_template.h"

// The template of the stock launcher; a packed launcher's own comes from its
// record (run_directory.cpp).
constexpr const u16* RUN_DIRECTORY_TEMPLATE = DEFAULT_RUN_DIRECTORY_TEMPLATE;
constexpr u16 HOME_TEMPLATE[] = U16("{HOME}");

constexpr int FOLDER_PROFILE = 0x28;          // CSIDL_PROFILE
constexpr int FOLDER_LOCAL_APPDATA = 0x1C;    // CSIDL_LOCAL_APPDATA
constexpr size_t KNOWN_FOLDER_CAPACITY = 260;  // MAX_PATH, as SHGetFolderPathW requires

// Where the expansion takes its platform values from. The launcher uses
// `system_template_sources()`; tests give their own.
struct template_sources {
    // GetTempPathW semantics: writes the temporary path, with its trailing
    // backslash, at `at` within `room` units. When the path cannot be had or
    // does not fit it leaves `at` empty, and the expansion then fails.
    void (*write_temp_path)(u16* at, size_t room);
    // SHGetFolderPathW semantics: true only for S_OK; fills `folder`
    // (KNOWN_FOLDER_CAPACITY units).
    bool (*known_folder)(int folder_id, u16* folder);
    // argv[0] as the runtime split the command line, or nullptr when the
    // argument vector has no first element.
    const u16* (*program)();
    uint32_t (*current_process_id)();
    // The system time as a FILETIME count.
    int64_t (*system_time)();
    // Environment access with get_env_var semantics (heap copy or nullptr).
    u16* (*get_env)(const char* name);
    bool (*set_env)(const char* name, const u16* value);
};

// Expands `path_template` into `output` (capacity units including the
// terminator). False when a literal does not fit, a name matches no
// placeholder (an unmatched "}" and an over-long name included), a folder
// lookup fails, no temporary path is written or a nested expansion fails; a
// placeholder value that does not fit ends the process abnormally.
bool expand_path_template(const template_sources& sources, u16* output,
                          const u16* path_template, size_t capacity);

// Appends the known folder after the text already in `output`.
bool append_known_folder(const template_sources& sources, u16* output, int folder_id,
                         size_t capacity);

#ifdef _WIN32
const template_sources& system_template_sources();
// The launcher's form: the system's sources.
bool expand_path_template(u16* output, const u16* path_template, size_t capacity);
#endif
