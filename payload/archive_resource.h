// The payload archive where the launcher finds it: resource 27 of its own
// module (archive_win32.cpp). Reading it is format/archive_reader.h's.
#pragma once
#include "format/archive_reader.h"

#ifdef _WIN32
// A view of resource 27 (RT_RCDATA) of the own module, cursor at its first
// byte and bounded by its size. A missing resource ends the process with
// MESSAGE_NO_PAYLOAD and status 2.
payload_archive open_payload_archive();
#endif
