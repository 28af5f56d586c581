// An application library that needs the C++ runtime's DLLs: built without
// -static, it imports libstdc++-6.dll and libgcc_s_seh-1.dll.
#include <stdexcept>
#include <string>

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv) {
    try {
        if (argv == nullptr) throw std::runtime_error(std::to_string(argc));
    } catch (const std::exception& e) {
        return static_cast<int>(std::string(e.what()).size());
    }
    return argc;
}
