// The progress window of a long unpacking, and the parent's hand-off of the
// foreground and the start-up cursor to the application. Launch control: the
// window lives in progress_window.cpp, on a thread of its own.
#pragma once
#include <cstdint>

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
// The parent's status when the user cancelled the unpacking: the system's
// ERROR_CANCELLED, neither the success 0 nor the failure 2 of the launcher.
constexpr int CANCELLED_EXIT_STATUS = 1223;

// The window's class, and the message by which the run library names the
// process whose first window closes it too (wParam: its id): the program it
// started, whose windows are not the child's own.
constexpr wchar_t PROGRESS_WINDOW_CLASS[] = L"OnefileProgress";
constexpr UINT PROGRESS_WATCH_PROCESS_MESSAGE = WM_APP + 1;

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
