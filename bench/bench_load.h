// Loading the application library and calling run_code, as the launcher's
// child does, for the baselines that run without the launcher.
#pragma once

// Loads the library at `path`, calls run_code with this process's arguments
// and returns its result; 2 when the library or its entry is missing.
int load_and_run(const wchar_t* path);
