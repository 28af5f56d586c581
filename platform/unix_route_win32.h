// Under Wine on a Linux host, the Unix side of a handle: its descriptor,
// the kernel's own calls on it, and names in the host's form. The tree
// deleter removes names and the cache's check looks at entries through
// these, where Wine's own path handling would follow a link. Windows only;
// every call goes through `win32` (both entries are null elsewhere).
#pragma once
#ifndef _WIN32
#error "unix_route_win32.h is for the Windows build only"
#endif

#include <cstddef>
#include <cstdint>

#include "format/units.h"
#include "platform/win32_api.h"

// struct stat of Linux on x86-64.
struct linux_status {
    uint64_t device;
    uint64_t inode;
    uint64_t links;
    uint32_t mode;
    uint32_t user, group, padding;
    uint64_t special_device;
    int64_t size, block_size, blocks;
    uint64_t times[6];
    int64_t reserved[3];
};
constexpr long long LINUX_CLOSE = 3;
constexpr long long LINUX_FSTAT = 5;
constexpr long long LINUX_FCHMOD = 91;
constexpr long long LINUX_NEWFSTATAT = 262;
constexpr long long LINUX_UNLINKAT = 263;
constexpr long long LINUX_NOT_FOUND = -2;  // -ENOENT
constexpr long long AT_NO_FOLLOW = 0x100;
constexpr long long AT_DIRECTORY = 0x200;  // AT_REMOVEDIR
constexpr uint32_t TYPE_MASK = 0170000;
constexpr uint32_t TYPE_DIRECTORY = 0040000;
constexpr uint32_t TYPE_FILE = 0100000;
constexpr uint32_t TYPE_LINK = 0120000;
constexpr uint32_t OWNER_WRITE = 0200;
constexpr int NO_DESCRIPTOR = -1;

constexpr long long LINUX_OPENAT2 = 437;
constexpr long long LINUX_NO_SYSTEM_CALL = -38;  // -ENOSYS

// True where the Unix side can be reached (Wine on a Linux host).
bool unix_route();
// A descriptor of its own on what `handle` is open on (the very open file
// Wine's server made), or NO_DESCRIPTOR.
int descriptor_of(HANDLE handle);
void close_descriptor(int& descriptor);
// newfstatat without following a link at the name.
long long status_of_name(int folder, const char* name, linux_status& status);
// `name` in the host's form (UTF-8), as Wine 8 names it on the Unix side;
// false for a name it maps (its private-use units stand for characters
// Windows names cannot hold) or one that is not whole UTF-16.
bool host_name(const u16* name, char* out, size_t capacity);
