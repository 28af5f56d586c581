// The process entry: the runtime calls wWinMain for a GUI-subsystem program
// built with -municode; everything else happens in launcher_main.
#include "launcher/launcher.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return launcher_main(); }
