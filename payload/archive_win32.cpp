// The payload archive's Win32 edge: a view of resource 27 of the launcher's
// own module. Win32 calls only, through `win32`.
#include "payload/archive_resource.h"

#include "diagnostics/failure.h"
#include "platform/win32_api.h"

payload_archive open_payload_archive() {
    HRSRC found = win32.FindResourceA(nullptr, MAKEINTRESOURCEA(PAYLOAD_RESOURCE_ID),
                                      MAKEINTRESOURCEA(PAYLOAD_RESOURCE_TYPE));
    if (found == nullptr) fail_with_message(MESSAGE_NO_PAYLOAD);
    HGLOBAL loaded = win32.LoadResource(nullptr, found);
    if (loaded == nullptr) fail_with_message(MESSAGE_NO_PAYLOAD);
    const void* first_byte = win32.LockResource(loaded);
    if (first_byte == nullptr) fail_with_message(MESSAGE_NO_PAYLOAD);
    // The size bounds every later read, so a damaged archive cannot lead the
    // walk out of the image.
    DWORD size = win32.SizeofResource(nullptr, found);
    return payload_archive_over(static_cast<const uint8_t*>(first_byte), size);
}
