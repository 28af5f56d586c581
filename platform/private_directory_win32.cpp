// The run directory's access list and its owner check. Win32 calls through
// `win32` where they ask the system; building the descriptor in memory
// calls the security functions directly.
#include "platform/private_directory.h"

#include <atomic>
#include <mutex>

#include "platform/win32_api.h"

namespace {

constexpr size_t TOKEN_USER_BYTES = 128;  // a TOKEN_USER and the longest SID (68 bytes)
constexpr size_t ACL_BYTES = 128;         // the header and one entry with that SID
// A self-relative descriptor holding an owner alone: its header and one SID.
constexpr size_t OWNER_DESCRIPTOR_BYTES = 256;

struct own_user_security {
    alignas(8) unsigned char token_user[TOKEN_USER_BYTES];
    alignas(8) unsigned char acl[ACL_BYTES];
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
    bool built;
};
own_user_security security;
std::once_flag security_once;

PSID current_user() {
    // Once known, read without call_once: the sweep's thread asks after the
    // main thread has read it, and call_once's thread-local state is made
    // in the heap on a thread's first use (mingw's emulated TLS), which
    // that thread never enters.
    static std::atomic<PSID> known{nullptr};
    if (PSID user = known.load(std::memory_order_acquire)) return user;
    static std::once_flag once;
    std::call_once(once, [] {
        HANDLE token = nullptr;
        if (!win32.OpenProcessToken(win32.GetCurrentProcess(), TOKEN_QUERY, &token)) return;
        DWORD size = 0;
        if (win32.GetTokenInformation(token, TokenUser, security.token_user,
                                      sizeof security.token_user, &size))
            known.store(reinterpret_cast<TOKEN_USER*>(security.token_user)->User.Sid,
                        std::memory_order_release);
        win32.CloseHandle(token);
    });
    return known.load(std::memory_order_acquire);
}

void build_security() {
    PSID user = current_user();
    if (user == nullptr) return;
    auto* acl = reinterpret_cast<PACL>(security.acl);
    security.built =
        InitializeAcl(acl, sizeof security.acl, ACL_REVISION) &&
        AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                              FILE_ALL_ACCESS, user) &&
        InitializeSecurityDescriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorOwner(&security.descriptor, user, FALSE) &&
        SetSecurityDescriptorDacl(&security.descriptor, TRUE, acl, FALSE) &&
        SetSecurityDescriptorControl(&security.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    security.attributes = {sizeof security.attributes, &security.descriptor, FALSE};
}

}  // namespace

SECURITY_ATTRIBUTES* own_user_only_security() {
    std::call_once(security_once, build_security);
    return security.built ? &security.attributes : nullptr;
}

bool owned_by_current_user(HANDLE handle) {
    // Into a buffer of our own, not one the system allocates: the sweep's
    // thread calls this and must never be inside the heap when the process
    // ends (see tree_deleter_win32.cpp).
    alignas(8) unsigned char descriptor[OWNER_DESCRIPTOR_BYTES];
    DWORD needed = 0;
    PSID user = current_user();
    if (user == nullptr ||
        !win32.GetKernelObjectSecurity(handle, OWNER_SECURITY_INFORMATION, descriptor,
                                       sizeof descriptor, &needed))
        return false;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    return GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) && owner != nullptr &&
           EqualSid(owner, user);
}
