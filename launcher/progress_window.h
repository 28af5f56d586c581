// The progress window of a long unpacking, and the parent's hand-off of the
// foreground and the start-up cursor to the application. Launch control: the
// window lives in progress_window.cpp, on a thread of its own.
#pragma once
#include <cstdint>

#include "format/shared_names.h"
#include "payload/extraction.h"
#include "platform/win32_api.h"

// Unpacking that ends within the delay shows nothing and loads nothing.
constexpr DWORD PROGRESS_DELAY_MS = 400;
// How often the window reads the counter and looks for the application.
constexpr UINT PROGRESS_TICK_MS = 50;
// The longest the window stays up once the child has started.
constexpr ULONGLONG PROGRESS_HANDOFF_LIMIT_MS = 10000;
// How long the parent waits for the window's thread before it ends anyway.
constexpr DWORD PROGRESS_FINISH_WAIT_MS = 2000;
// The window's class (PROGRESS_WINDOW_CLASS) as the system takes it. The
// run library names the program it started, whose windows are not the
// child's own, with PROGRESS_WATCH_PROCESS_MESSAGE; the parent returns
// CANCELLED_EXIT_STATUS after a Cancel.
constexpr auto PROGRESS_WINDOW_CLASS_NAME = in_units<wchar_t>(PROGRESS_WINDOW_CLASS);
static_assert(PROGRESS_WATCH_PROCESS_MESSAGE == WM_APP + 1, "a message of the application's own range");

// The writer's progress, which the window reads and through which it asks
// the writer to stop (payload/extraction.h).
extern extraction_progress unpack_progress;

// Starts the window's thread for the payload `archive` (cursor past its
// header), unless the branding record says --no-progress. The thread waits
// PROGRESS_DELAY_MS and then shows the window if unpacking still runs.
// Silent on any failure.
void start_progress_window(const payload_archive& archive);

// Called when the writer has stopped. True when unpacking is complete and the
// child may start; false when Cancel came first.
bool finish_unpacking();

// The child has started: lets it take the foreground, ends the parent's part
// of the start-up cursor, and gives the window the child to watch.
void progress_child_started(HANDLE child_process, DWORD child_id);

// Closes the window if it is still up and waits a bounded time for its
// thread. Called before the parent ends.
void finish_progress_window();
