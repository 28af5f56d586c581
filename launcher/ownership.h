// The one rule of what is ours. A directory is deleted, renamed away,
// pruned or written into only when this launcher made it: the run directory
// this process made new, or a directory that carries the mark a launcher
// writes when it makes one, before any content. Being the same user's is not
// enough: a user's own folders are that user's too. Every path that deletes
// or renames a tree asks judge_ownership on the directory's own handle and
// hands the deleter the identity it judged; none brings a rule of its own.
// Windows only; Win32 calls through `win32`.
#pragma once
#include <atomic>
#include <cstdint>

#include "format/branding_record.h"
#include "format/shared_names.h"
#include "format/units.h"
#include "platform/bounded_buffer.h"
#include "platform/tree_deleter.h"

// The marks. A run directory's is in its lock file (`<name>.lock`, made new
// just before the directory): the lock mark and the directory's number on
// its volume, written right after the directory is made. So a per-start
// directory carries nothing the application would see, and the mark names
// exactly one directory: a folder made later at that path by anyone else
// has another number.
constexpr char LOCK_MARK_MAGIC[16] = "onefile-mark-1";
struct lock_mark {
    char magic[16];
    int64_t directory_index;
};
static_assert(sizeof(lock_mark) == 24, "stored as it is");

// A cache's (and its staging directory's) is inside it, in CACHE_RECORD_NAME,
// written when the staging directory is made: which application made it
// (the record's company and product), which build (its version and build
// stamp), the directory's number on its volume (a rename into place keeps
// it; a copy of the folder, mark and all, has another), and the payload's
// digest, zero until every file is on the disk. A mark of an earlier layout
// names no directory: not ours.
constexpr auto CACHE_RECORD_NAME = in_units<u16>(CACHE_RECORD_ENTRY);
constexpr char CACHE_MARK_MAGIC[16] = "onefile-cache-3";
struct cache_mark {
    char magic[16];
    u16 company[BRANDING_TEXT_CAPACITY];
    u16 product[BRANDING_TEXT_CAPACITY];
    u16 version[BRANDING_VERSION_CAPACITY];
    uint64_t build_stamp;  // the record's
    int64_t directory_index;
    uint8_t digest[PAYLOAD_DIGEST_SIZE];
};
static_assert(sizeof(cache_mark) == 16 + 2 * 2 * 256 + 2 * 24 + 8 + 8 + 32, "stored as it is");
constexpr size_t CACHE_MARK_DIGEST_OFFSET = offsetof(cache_mark, digest);

// The access a directory is opened with for judging: its owner, and its
// entries opened relative to it.
constexpr DWORD OWNERSHIP_ACCESS = FILE_LIST_DIRECTORY | FILE_TRAVERSE | READ_CONTROL;

enum class ownership {
    none,            // not ours: never deleted, renamed or written into
    made_here,       // the run directory this process made new
    run_directory,   // carries a lock mark naming it
    cache,           // carries a cache mark naming it (the mark is given back)
};

struct ownership_verdict {
    ownership how;
    cache_mark mark;  // when how is cache
};

constexpr size_t MADE_NAME_CAPACITY = COMPONENT_NAME_CAPACITY;

// The directory this process made new, published whole (or not at all) for
// whoever cleans up, the console handler's thread included, and never
// changed while published.
struct made_directory {
    u16 folder_text[RUN_DIRECTORY_CAPACITY];  // the folder as the template gave it
    u16 folder_path[RUN_DIRECTORY_CAPACITY];  // its own path (folder_own_path) then
    u16 name[MADE_NAME_CAPACITY];
    u16 lock_name[MADE_NAME_CAPACITY + 8];    // name + ".lock"
    int64_t directory_index;
    int64_t lock_index;
};
extern std::atomic<const made_directory*> published_made_directory;

// The folder of a made directory, opened again and proven to be the one it
// was made in (its own path); INVALID_HANDLE_VALUE otherwise.
HANDLE open_made_folder(const made_directory& made);

// Judges the directory `name` of `folder` (own path `folder_path`), opened
// by entry_open with OWNERSHIP_ACCESS as `directory`: a plain directory of
// this user, and made here, or marked. `base_length` is the units of `name`
// its lock file is named after (a swept directory's name without ".swept").
ownership_verdict judge_ownership(HANDLE folder, const u16* folder_path, const u16* name,
                                  size_t base_length, const opened_entry& directory);

// The same for a directory given by path alone: opens its folder and the
// directory, judges, and on success leaves them open in `folder` and
// `directory` (the caller closes both). INVALID_HANDLE_VALUE in both
// otherwise.
ownership_verdict judge_ownership_at(const u16* path, HANDLE& folder, opened_entry& directory);

// True when `mark` was made by this application: the record's company and
// product texts.
bool same_application(const cache_mark& mark);
// True when the build that made `mark` is newer than this one: a higher
// version, or the same version with a later build stamp (the packer's, from
// its inputs: never the packed file's time, which a copy or a touch moves).
bool newer_build(const cache_mark& mark);
// This build's mark for the directory numbered `directory_index`, digest zero.
void this_build_mark(cache_mark& mark, int64_t directory_index);

// Writes the lock mark for `directory_index` into the lock file `file`
// (opened for writing). False when it could not be written whole.
bool write_lock_mark(HANDLE file, int64_t directory_index);

// True when the lock file open as `file` (with read access) carries the
// lock mark: a lock file a launcher made.
bool lock_file_marked(HANDLE file);
