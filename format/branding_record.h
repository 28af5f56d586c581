// The product texts the launcher expands for {COMPANY}, {PRODUCT} and
// {VERSION}, and the template of its run directory, kept as one
// fixed-capacity record in a section of its own so
// that the packer can find it and fill it together with the version block.
// Layout only: shared by the launcher, the packer and the tests.
#pragma once
#include <cstddef>
#include <cstdint>

#include "format/units.h"

// The section that holds the record and nothing else, and the mark it starts
// with; a packer that finds the section but not this mark (another layout)
// refuses to touch it.
constexpr char BRANDING_SECTION_NAME[8] = {'.', 'b', 'r', 'a', 'n', 'd', 0, 0};
constexpr char BRANDING_MARK[16] = "onefile-brand-1";

// Capacities in UTF-16 units, terminator included. A text fills its array
// from the start and the units after its terminator are zero.
constexpr size_t BRANDING_TEXT_CAPACITY = 256;
constexpr size_t BRANDING_VERSION_CAPACITY = 24;  // "65535.65535.65535" and more
constexpr size_t LAUNCHER_VERSION_CAPACITY = 16;  // bytes, this launcher's own release
constexpr size_t RUN_DIRECTORY_TEMPLATE_CAPACITY = 512;
constexpr size_t PAYLOAD_DIGEST_SIZE = 32;
// The record of releases before the run-directory template: the same fields
// up to launcher_version. The packer still brands such a stub's texts.
constexpr uint32_t BRANDING_RECORD_SIZE_WITHOUT_TEMPLATE = 24 + 2 * (2 * 256 + 24) + 16;
// The record of releases before the build stamp: the same fields up to
// payload_digest. The packer still packs such a stub, without a stamp.
constexpr uint32_t BRANDING_RECORD_SIZE_WITHOUT_STAMP = BRANDING_RECORD_SIZE_WITHOUT_TEMPLATE + 2 * 512 + 32;

// Bits of the record's flags. The build sets PROGRESS_WINDOW in a launcher
// that has the window; the packer sets NO_PROGRESS (--no-progress). Records
// of launchers older than the window hold 0.
constexpr uint32_t BRANDING_FLAG_PROGRESS_WINDOW = 1;
constexpr uint32_t BRANDING_FLAG_NO_PROGRESS = 2;

struct branding_record {
    char mark[16];
    uint32_t record_size;  // sizeof(branding_record), a second check of the layout
    uint32_t flags;        // BRANDING_FLAG_*
    u16 company[BRANDING_TEXT_CAPACITY];
    u16 product[BRANDING_TEXT_CAPACITY];
    u16 version[BRANDING_VERSION_CAPACITY];  // three parts, as {VERSION} gives it
    // The release of the launcher code itself ("1.1.0"), which the packer
    // reports but never changes: the version block may say anything else.
    char launcher_version[LAUNCHER_VERSION_CAPACITY];
    // The template the run directory is expanded from (run_directory_template.h).
    u16 run_directory[RUN_DIRECTORY_TEMPLATE_CAPACITY];
    // For a cache template: the SHA-256 of the payload archive, which the
    // packer writes and a cache records; zero otherwise.
    uint8_t payload_digest[PAYLOAD_DIGEST_SIZE];
    // For a cache template: which of two builds of one version is the newer
    // (a FILETIME count the packer takes from SOURCE_DATE_EPOCH, else from
    // the newest input file); zero otherwise.
    uint64_t build_stamp;
};

static_assert(sizeof(u16) == 2, "the record stores UTF-16 units");
static_assert(offsetof(branding_record, flags) == 20, "layout shared with the packer");
static_assert(offsetof(branding_record, company) == 24, "layout shared with the packer");
static_assert(offsetof(branding_record, run_directory) == BRANDING_RECORD_SIZE_WITHOUT_TEMPLATE,
              "the older record is a prefix of this one");
static_assert(offsetof(branding_record, build_stamp) == BRANDING_RECORD_SIZE_WITHOUT_STAMP,
              "the older record is a prefix of this one");
static_assert(sizeof(branding_record) == BRANDING_RECORD_SIZE_WITHOUT_STAMP + 8, "no padding");

// The launcher's record (platform/branding.cpp).
extern const branding_record launcher_branding;
