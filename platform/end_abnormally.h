// The one way the launcher ends when an internal limit is broken: the runtime
// library's abort, with no message of our own and no exit processing.
#pragma once

// (Not named abnormal_termination: mingw-w64's excpt.h defines that as a
// macro for the SEH intrinsic.)

[[noreturn]] void end_abnormally();

// Makes abort end the process unattended. The Windows runtime shows a message
// box from abort() in a GUI-subsystem program unless its error mode sends the
// report to standard error; called once at start-up.
void make_abort_unattended();
