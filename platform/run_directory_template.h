// What a run-directory template means before it is expanded: whether the
// packer may store it, which kind of run directory it gives, and which names
// in its folder the start-up sweep may take for leftovers of its launchers.
// Platform-free: text in, verdict out; no Win32 calls and no environment.
#pragma once
#include <cstddef>
#include <cstdint>

#include "format/units.h"

// The template of releases that had no other: a new directory per start,
// named after the parent's process id and start time, in the user's TEMP.
constexpr u16 DEFAULT_RUN_DIRECTORY_TEMPLATE[] = U16("{TEMP}\\onefile_{PID}_{TIME}");

// The longest text a placeholder can give at run time, in UTF-16 units: a
// temporary path (GetTempPathW writes at most MAX_PATH + 1 units), a known
// folder (MAX_PATH), a process id, a FILETIME count, the record's texts.
constexpr size_t LONGEST_FOLDER_UNITS = 261;
constexpr size_t LONGEST_PROCESS_ID_UNITS = 10;
constexpr size_t LONGEST_TIME_UNITS = 19;
// Room the run directory keeps after its own path: ".lock" beside it.
constexpr size_t RUN_DIRECTORY_SUFFIX_ROOM = 16;

enum class run_directory_kind {
    per_start,  // {TIME}: unpacked at each start, deleted at its end
    cache,      // neither {PID} nor {TIME}: unpacked once, reused
};

// The product texts {COMPANY}, {PRODUCT} and {VERSION} give.
struct template_texts {
    const u16* company;
    const u16* product;
    const u16* version;
};

// Why the packer must refuse `path_template`, or nullptr when it may store
// it: braces that close no placeholder or open one twice, a name the
// expansion does not know, {PROGRAM}, {PROGRAM_BASE} or {PROGRAM_DIR} (the
// parent and its child see different first arguments, so they would unpack
// and load in different places), a start that is not an absolute folder
// ({TEMP}, {HOME}, {CACHE_DIR}, a drive "X:\" or a share "\\"), a folder
// placeholder after the start, an empty, "." or ".." component, no
// component of its own below the start, {PID} without {TIME}, {PID} or
// {TIME} more than once, a cache (neither {PID} nor {TIME}) whose last
// component is a folder the user or Windows keeps (Documents, Desktop,
// AppData, ...) or that lies directly in the profile or at a drive's top,
// more than `capacity` - 1 units, or a longest
// expansion that would not leave RUN_DIRECTORY_SUFFIX_ROOM in
// `expansion_capacity` units.
const char* run_directory_template_problem(const u16* path_template, const template_texts& texts,
                                           size_t capacity, size_t expansion_capacity);

// The kind of a template the packer accepted.
run_directory_kind run_directory_template_kind(const u16* path_template);

// The names a per-start template's last component gives: PREFIX, one digit
// run, MIDDLE, another digit run, SUFFIX; the first run is the parent's
// process id when `process_id_first`, else its start time.
constexpr size_t NAME_PART_CAPACITY = 256;
struct run_directory_pattern {
    u16 prefix[NAME_PART_CAPACITY];
    u16 middle[NAME_PART_CAPACITY];
    u16 suffix[NAME_PART_CAPACITY];
    bool process_id_first;
};

// Builds the pattern of a per-start template, or says why the sweep cannot
// tell its leftovers apart safely: {PID} or {TIME} missing from the last
// component or found in the folder above it, a placeholder there other than
// {PID}, {TIME}, {COMPANY}, {PRODUCT} and {VERSION}, a text with a path
// separator or a colon, or a digit run that nothing but digits follows
// (where one number ends and the next begins would be a guess).
const char* make_run_directory_pattern(const u16* path_template, const template_texts& texts,
                                       run_directory_pattern& pattern);

struct matched_run_directory_name {
    uint32_t parent;  // process id
    uint64_t start;   // FILETIME count
    size_t base_length;  // units of the name without `rest`
    const u16* rest;  // what follows the pattern: "", ".swept" or ".lock"
};

// True when `name` is PREFIX digits MIDDLE digits SUFFIX followed by nothing
// else or by `rest` (the caller tells which rests it accepts), with the
// process id in 32 bits and the start time in a signed 64-bit count.
bool match_run_directory_name(const run_directory_pattern& pattern, const u16* name,
                              matched_run_directory_name& matched);
