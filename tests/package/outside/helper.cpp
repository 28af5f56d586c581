// A library of the outside project's own, which the application imports:
// packed beside main.dll through onefile_pack(LIBRARIES).
extern "C" __declspec(dllexport) int outside_status() { return 42; }
