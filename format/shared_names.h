// Names and values that cross programs: what the packer writes and the
// launcher and the run library read back, the variables the launcher hands
// to the application, the progress window the run library talks to, and the
// statuses a caller sees. Platform-free: ASCII text and plain integers (the
// Win32 value written out where Win32 has a type); no program's header.
#pragma once
#include <cstddef>
#include <cstdint>

// An ASCII name in the unit type a program works in (char16_t for the
// packer, the launcher's u16), spelt once here.
template <typename Unit, size_t N>
struct name_units {
    Unit units[N];
    constexpr operator const Unit*() const { return units; }
};
template <typename Unit, size_t N>
constexpr name_units<Unit, N> in_units(const char (&ascii)[N]) {
    name_units<Unit, N> name{};
    for (size_t index = 0; index < N; ++index) name.units[index] = static_cast<Unit>(ascii[index]);
    return name;
}

// --- environment variables: the handshake and the child's information -------
constexpr char PARENT_VARIABLE[] = "TALVOR_ONEFILE_PARENT";
constexpr char START_VARIABLE[] = "TALVOR_ONEFILE_START";
constexpr char DIRECTORY_VARIABLE[] = "TALVOR_ONEFILE_DIRECTORY";
constexpr char ORIGINAL_ARGV0_VARIABLE[] = "TALVOR_ORIGINAL_ARGV0";

// --- payload entries the packer adds and the launcher's side reads -----------
// Beside the run library: the program it starts, as a name in the run
// directory, UTF-8.
constexpr char RUN_PROGRAM_ENTRY[] = ".onefile-run";
// Inside a cache: its mark. Not a payload entry, but a name the packer must
// keep free in the application's tree.
constexpr char CACHE_RECORD_ENTRY[] = ".onefile-cache";

// --- the cache's record ----------------------------------------------------------
// A start that runs from a cache whose digest is not recorded yet (the one
// that made it, and every start that trusted it while its maker lived)
// holds an event of this name in its session until it has tried the
// record: "<prefix><volume serial>_<directory number>_<payload digest>",
// the numbers as 16 lower-case hex digits each, the digest as 64. Other
// starts of the same build trust such a cache only while the event exists.
constexpr char CACHE_RECORD_EVENT_PREFIX[] = "Local\\OnefileCacheRecord_";

// --- name limits (a payload entry's: the archive format's) ---------------------
// One name in a folder: 255 units, the limit of every Windows file system,
// and the terminator.
constexpr size_t COMPONENT_NAME_CAPACITY = 256;

// --- the progress window ------------------------------------------------------
// Its class, and the message by which the run library names the process
// whose first window closes it too (wParam: its id).
constexpr char PROGRESS_WINDOW_CLASS[] = "OnefileProgress";
constexpr uint32_t PROGRESS_WATCH_PROCESS_MESSAGE = 0x8000 + 1;  // WM_APP + 1

// --- exit statuses besides the application's own ------------------------------
constexpr int FAILURE_EXIT_STATUS = 2;  // every reported failure: one "Error, " line
// The child's (or the program's) status could not be read.
constexpr uint32_t UNREADABLE_EXIT_STATUS = 1;
// The user cancelled the unpacking: the system's ERROR_CANCELLED, neither
// the success 0 nor the failure 2.
constexpr int CANCELLED_EXIT_STATUS = 1223;
// A child stopped after the console handler's grace period: the status the
// system gives a console program ended by Ctrl+C (STATUS_CONTROL_C_EXIT).
constexpr uint32_t STOPPED_CHILD_EXIT_STATUS = 0xC000013A;
// The run library's program, ended because the launcher went first.
constexpr uint32_t ORPHANED_PROGRAM_STATUS = 1;

// --- handles ------------------------------------------------------------------
// FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE: an open that
// stands in nobody's way, for judging and deleting what others may hold.
constexpr uint32_t SHARE_ALL = 0x1 | 0x2 | 0x4;
