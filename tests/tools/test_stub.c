/* A small GUI-subsystem image standing in for the launcher in the packer's
   tests: it reports resource 27 as the loader sees it. */
#include <windows.h>
#include <stdio.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show) {
    (void)instance; (void)previous; (void)command_line; (void)show;
    HRSRC found = FindResourceA(NULL, MAKEINTRESOURCEA(27), MAKEINTRESOURCEA(10));
    if (found == NULL) {
        printf("no resource 27\n");
        return 3;
    }
    DWORD size = SizeofResource(NULL, found);
    const unsigned char* bytes = (const unsigned char*)LockResource(LoadResource(NULL, found));
    unsigned long long trailer = 0;
    for (int i = 7; i >= 0; --i) trailer = (trailer << 8) | bytes[size - 8 + i];
    printf("size %lu header %c%c%c trailer %llu\n", size, bytes[0], bytes[1], bytes[2], trailer);
    return 0;
}
