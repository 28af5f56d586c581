// Abnormal termination through the runtime library's abort.
#include "platform/end_abnormally.h"

#include <cstdlib>
#ifdef _WIN32
#include <stdlib.h>
#endif

void end_abnormally() { std::abort(); }

void make_abort_unattended() {
#ifdef _WIN32
    // Without this, msvcrt's abort() in a GUI program reports through a
    // message box that waits for a click (seen in Wine 8's msvcrt too).
    _set_error_mode(_OUT_TO_STDERR);
#endif
}
