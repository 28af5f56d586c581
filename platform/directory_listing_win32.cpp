// Directory listing through a handle. Native calls through `win32` only.
#include "platform/directory_listing.h"

namespace {

constexpr NTSTATUS STATUS_OK = 0;
constexpr NTSTATUS STATUS_NO_MORE_ENTRIES = static_cast<NTSTATUS>(0x80000006);  // NO_MORE_FILES
constexpr NTSTATUS STATUS_NO_SUCH_ENTRY = static_cast<NTSTATUS>(0xC000000F);    // NO_SUCH_FILE

bool is_dot_name(const u16* name) {
    return name[0] == U16('.') && (name[1] == 0 || (name[1] == U16('.') && name[2] == 0));
}

}  // namespace

directory_listing listing_in(unsigned char* records, ULONG capacity, bool one_at_a_time) {
    directory_listing listing = {};
    listing.records = records;
    listing.capacity = capacity;
    listing.one_at_a_time = one_at_a_time;
    return listing;
}

const directory_record* next_listed(HANDLE directory, directory_listing& listing, u16* name,
                                    size_t capacity, bool& failed) {
    for (;;) {
        if (!listing.holding) {
            IO_STATUS_BLOCK io = {};
            NTSTATUS status = win32.NtQueryDirectoryFile(
                directory, nullptr, nullptr, nullptr, &io, listing.records, listing.capacity,
                static_cast<FILE_INFORMATION_CLASS>(FILE_DIRECTORY_INFORMATION_CLASS),
                listing.one_at_a_time ? TRUE : FALSE, nullptr, listing.restart ? TRUE : FALSE);
            listing.restart = false;
            if (status != STATUS_OK) {
                failed = status != STATUS_NO_MORE_ENTRIES && status != STATUS_NO_SUCH_ENTRY;
                return nullptr;
            }
            listing.next = 0;
            listing.holding = true;
        }
        const auto* record = reinterpret_cast<const directory_record*>(listing.records + listing.next);
        listing.holding = record->next_entry_offset != 0;
        listing.next += record->next_entry_offset;
        size_t units = record->name_bytes / sizeof(u16);
        if (units == 0 || units >= capacity) continue;
        for (size_t index = 0; index < units; ++index) name[index] = record->name[index];
        name[units] = 0;
        if (!is_dot_name(name)) return record;
    }
}
