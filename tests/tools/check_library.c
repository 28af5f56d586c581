/* Tiny libraries for the packer's check of the application library, built
   with mingw-w64: each exports EXPORTED and, when CALLED is defined, imports
   that function from another of them; with PROGRAM, a program calling it. */
#include <wchar.h>

#ifdef CALLED
__declspec(dllimport) int CALLED(int argc, wchar_t** argv);
#endif

__declspec(dllexport) int EXPORTED(int argc, wchar_t** argv) {
#ifdef CALLED
    return CALLED(argc, argv);
#else
    (void)argv;
    return argc;
#endif
}

#ifdef PROGRAM
int main(void) { return EXPORTED(0, 0); }
#endif
