// The launcher's product texts for {COMPANY}, {PRODUCT} and {VERSION} and its
// run-directory template, in the fixed-capacity record that the packer rewrites together with the version
// block. Data only. The defaults come from the build's settings.
#include "format/branding_record.h"

#include "platform/branding_defaults.h"  // generated from the build's settings

// U16 pastes its argument; one more level lets a macro argument expand first.
#define ONEFILE_WIDE(text) U16(text)

// In the Windows image the record is the only content of its own section, so
// the packer finds it by name instead of searching the image's bytes. It is
// defined in this file alone: the code that reads it cannot see the values
// at compile time and so never folds them into itself.
#ifdef _WIN32
__attribute__((section(".brand"), used))
#endif
extern const branding_record launcher_branding = {
    "onefile-brand-1",
    sizeof(branding_record),
    BRANDING_FLAG_PROGRESS_WINDOW,
    ONEFILE_WIDE(ONEFILE_COMPANY),
    ONEFILE_WIDE(ONEFILE_PRODUCT),
    ONEFILE_WIDE(ONEFILE_VERSION_TEXT),
    ONEFILE_LAUNCHER_VERSION,
    ONEFILE_WIDE(ONEFILE_RUN_DIRECTORY),
    {},  // the payload's digest, written by the packer for a cache
    0,   // the build stamp, written by the packer for a cache
};
