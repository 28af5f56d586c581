// The probe's script as a console program of its own: what `--run` packs in
// the tests, so the same script runs as a library's run_code and as a program.
extern "C" int run_code(int argc, wchar_t** argv);

int wmain(int argc, wchar_t** argv) { return run_code(argc, argv); }
