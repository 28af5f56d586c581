// Rules of the start-up sweep that need no system: which names in the
// temporary folder are run directories, whether their owner is gone, and the
// paths the sweep works with. Platform-free; no Win32 calls here.
#pragma once
#include <cstdint>

#include "format/units.h"
#include "platform/run_directory_template.h"
#include "platform/tree_paths.h"

// A run directory is named after its template's last component, PARENT and
// START as decimal digits (by default onefile_<PARENT>_<START>); the sweep
// renames one it is about to delete to that name with this suffix, so an
// interrupted deletion is found and finished by a later start.
constexpr u16 SWEEP_SUFFIX[] = U16(".swept");
// The file beside a run directory that its launchers hold a shared
// byte-range lock on, at this offset (far past any data: it only marks).
constexpr u16 LOCK_FILE_SUFFIX[] = U16(".lock");
constexpr uint64_t LOCK_FILE_OFFSET = uint64_t{1} << 40;

// The lock file's name of the directory named by the first `length` units
// of `name`, into `out` (capacity units); false when it does not fit.
bool lock_file_name(u16* out, size_t capacity, const u16* name, size_t length);

struct run_directory_name {
    uint32_t parent;  // process id
    uint64_t start;   // FILETIME count, at most INT64_MAX as the launcher writes it
    bool swept;       // carries SWEEP_SUFFIX
    bool lock;        // carries LOCK_FILE_SUFFIX: the lock file, not the directory
    size_t base_length;  // units of the name without either suffix
};

// True when `name` is exactly a name `pattern` gives, optionally followed
// by SWEEP_SUFFIX or LOCK_FILE_SUFFIX, and both numbers fit (PARENT in 32
// bits, START in a signed 64-bit count). Anything else is not ours and is
// never touched.
bool parse_run_directory_name(const run_directory_pattern& pattern, const u16* name,
                              run_directory_name& parsed);

// What the system said about the process PARENT names.
struct owner_query {
    bool opened;           // OpenProcess succeeded
    uint32_t open_error;   // GetLastError() when it did not
    bool times_read;       // GetProcessTimes succeeded
    uint64_t created;      // its creation time, a FILETIME count
    uint64_t exited;       // its exit time; 0 while it runs
};

enum class owner_state { gone, alive, doubtful };

// Gone: no process has that id (OpenProcess fails with
// ERROR_INVALID_PARAMETER), or the process that has it was created after
// START (the id was reused), or the process has ended (one that another
// process still holds a handle to can still be opened). Any other failure is doubt, and doubt keeps the
// directory. Process id 0 opens as "invalid parameter" too, but no launcher
// ever has it: doubtful.
owner_state judge_owner(const run_directory_name& name, const owner_query& query);

constexpr uint32_t ERROR_INVALID_PARAMETER_CODE = 87;
