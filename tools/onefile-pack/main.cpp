// onefile-pack: the command line around the packer.
#include <cstring>
#include <iostream>

#include "branding.h"
#include "commands.h"
#include "names.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

const char USAGE[] =
    "usage: onefile-pack COMMAND ...\n"
    "  pack APP_DIR -o OUT.exe [OPTIONS]   the launcher stub with APP_DIR as its payload\n"
    "  brand STUB.exe -o OUT.exe [BRANDING] [LAUNCH]   the stub rebranded, no payload\n"
    "  archive APP_DIR -o FILE [--main NAME] [--compress[=LEVEL|max]] [--quiet]   the bare payload\n"
    "  list EXE                    the payload's entries\n"
    "  extract EXE DIR [--force]   the payload's files, written below DIR\n"
    "  info EXE                    what a packed image holds\n"
    "  --version\n"
    "What pack packs:  --stub STUB.exe  --main NAME  --main-file FILE  --run PROGRAM\n"
    "                  --search-path DIR  --no-default-search  --compress[=LEVEL|max]  --quiet\n"
    "Checks (pack):    --no-check | --strict\n"
    "BRANDING:         --icon FILE.ico  --product TEXT  --company TEXT  --version A.B.C[.D]\n"
    "                  --description TEXT  --copyright TEXT  --original-filename NAME\n"
    "                  --manifest FILE\n"
    "LAUNCH (how the packed file starts):  --console  --run-directory TEMPLATE  --no-progress\n"
    "Run 'onefile-pack COMMAND --help' for one command and what each option does.\n"
    "Every refusal goes to standard error, naming the file and why, with status 2.\n";

const char HELP_PACK[] =
    "usage: onefile-pack pack APP_DIR -o OUT.exe [--stub STUB.exe] [--main NAME] [--main-file FILE]\n"
    "       [--run PROGRAM] [--search-path DIR]... [--no-default-search] [--compress[=LEVEL|max]] [--quiet]\n"
    "       [--no-check | --strict] [BRANDING]\n"
    "Writes OUT.exe: the launcher stub (default: launcher.exe beside this tool) with the\n"
    "files below APP_DIR as its payload, resource 27. NAME (default main.dll) is the\n"
    "application library at the top of APP_DIR and becomes the first entry; with\n"
    "--main-file it is FILE instead, stored as NAME, and messages name FILE. Symbolic\n"
    "links to files are stored as the files they name; links to directories, dangling\n"
    "links and special files are refused (all of them, and every clash of names, in one\n"
    "run); empty directories are not kept. An earlier packed image at OUT.exe inside\n"
    "APP_DIR is left out and replaced; any other file of APP_DIR at OUT.exe is refused,\n"
    "as writing would replace it. On any error OUT.exe is left as it was.\n"
    "Checks (--no-check skips them all): NAME must be a 64-bit (PE32+, x86-64) DLL that\n"
    "exports run_code by name, or nothing is written and the status is 2. Every Windows\n"
    "image in APP_DIR (known by its content, whatever its extension) is checked: a\n"
    "warning (still packing) for one a 64-bit process cannot load, and for each DLL it\n"
    "imports that is neither in its own folder, nor loaded by NAME from the top (for a\n"
    "DLL), nor one every Windows 10 and 11 has. --search-path DIR (repeatable): such a\n"
    "DLL found in a DIR is added beside the file that imports it, and its own imports\n"
    "in turn; the first DIR in the order given that holds a loadable 64-bit DLL of the\n"
    "name wins, as along the loader's path; each addition is printed, with the\n"
    "candidates passed over, and listed by 'info'. A library of Windows is never added.\n"
    "After the DIRs, unless --no-default-search: the runtime folders of the mingw-w64\n"
    "compiler on PATH and /usr/x86_64-w64-mingw32/bin.\n"
    "A warning too for each entry whose path in the run directory would pass 259 units\n"
    "(its folder's 247), which Windows creates only where long paths are enabled\n"
    "(LongPathsEnabled, off by default), or 4095, which the launcher cannot unpack, with\n"
    "TEMP taken as C:\\Users\\<20-character user name>\\AppData\\Local\\Temp (48 units)\n"
    "and the run directory as \\onefile_<10-digit id>_<18-digit time> in it; and when\n"
    "the packed file would keep the launcher's own company, product name or version. --strict makes every warning an error:\n"
    "nothing is written and the status is 2. Every refusal has status 2.\n"

    "--run PROGRAM: the application is PROGRAM, a 64-bit executable in APP_DIR (a path\n"
    "below it; \"/\" is taken for \"\\\"), instead of a library: the first entry is then\n"
    "onefile-run.dll from beside the stub, which starts PROGRAM from the run directory\n"
    "with the launcher's arguments, standard handles, directory and environment, and\n"
    "returns its exit status; the entry .onefile-run names PROGRAM for it.\n"
    "--compress[=LEVEL] stores the payload compressed with zstd at LEVEL (1 to 19,\n"
    "default 3), in pieces of 1 MiB that the launcher decodes on several threads; a\n"
    "launcher older than this tool refuses such a payload. --compress=max packs the\n"
    "files' bytes in blocks of 32 MiB that span files, at level 19, about as small as\n"
    "xz -6 and as slow to pack, for release builds. Without it the payload is\n"
    "stored as it is.\n";
const char HELP_BRANDING[] =
    "BRANDING (pack and brand; any of them rewrites the version block, starting from\n"
    "the stub's own) and LAUNCH:\n"
    "  --icon FILE.ico         its images (PNG or BMP, at most 256 pixels) replace every\n"
    "                          RT_ICON and RT_GROUP_ICON 1\n"
    "  --product TEXT          ProductName and InternalName; FileDescription too unless\n"
    "                          --description is given\n"
    "  --company TEXT          CompanyName\n"
    "  --version A.B.C[.D]     1 to 4 numbers of 0..65535, missing ones 0: file and\n"
    "                          product version, FileVersion and ProductVersion\n"
    "  --description TEXT      FileDescription\n"
    "  --copyright TEXT        LegalCopyright (added only when given)\n"
    "  --original-filename N   OriginalFilename (default: OUT's file name)\n"
    "  --manifest FILE         replaces RT_MANIFEST 1; must be well-formed XML (UTF-8)\n"
    "  --no-progress           the launcher never shows its progress window (shown\n"
    "                          otherwise while unpacking takes over 0.4 s); changes\n"
    "                          only the branding record\n"
    "  --console               the image is of the console subsystem: a console window\n"
    "                          or the caller's console, and cmd waits for it; only the\n"
    "                          header's subsystem field (and checksum) changes\n"
    "  --run-directory T       where the launcher unpacks, a template (default\n"
    "                          {TEMP}\\onefile_{PID}_{TIME}): an absolute start ({TEMP},\n"
    "                          {HOME}, {CACHE_DIR}, X:\\ or \\\\server\\share), then names\n"
    "                          with {COMPANY}, {PRODUCT}, {VERSION}, {PID} and {TIME};\n"
    "                          with {TIME} a new directory per start, with neither\n"
    "                          {PID} nor {TIME} a cache unpacked once and reused while\n"
    "                          the payload's digest is the same (ending in a folder of\n"
    "                          its own, such as {CACHE_DIR}\\{COMPANY}\\{PRODUCT});\n"
    "                          \"/\" is taken for \"\\\"; changes only the branding record\n"
    "Texts hold 1 to 255 UTF-16 units. Company, product and version also go into the\n"
    "stub's branding record (section .brand), which {COMPANY}, {PRODUCT} and {VERSION}\n"
    "(three parts) expand to; a stub without that record refuses these three options.\n"
    "Bad branding input: one line on stderr, status 2, OUT left as it was.\n";
const char HELP_BRAND[] =
    "usage: onefile-pack brand STUB.exe -o OUT.exe [BRANDING]\n"
    "Writes OUT.exe: the stub (no payload) with its resources and branding record\n"
    "rewritten as 'pack' would, for packing later or at build time. OUT may be STUB.\n";
const char HELP_ARCHIVE[] =
    "usage: onefile-pack archive APP_DIR -o FILE [--main NAME] [--compress[=LEVEL|max]] [--quiet]\n"
    "Writes the bare payload archive, for placing as resource 27 (RT_RCDATA, language\n"
    "neutral) with a resource compiler of your own.\n";
const char HELP_LIST[] =
    "usage: onefile-pack list EXE\n"
    "One line per entry in archive order: size in bytes, TAB, name; then a summary\n"
    "(with a compressed payload, also its compressed size and the ratio).\n"
    "EXE may be a packed image or a bare archive.\n";
const char HELP_EXTRACT[] =
    "usage: onefile-pack extract EXE DIR [--force]\n"
    "Writes every entry of the payload below DIR, as the launcher would. A file that\n"
    "already exists there is refused (status 2, nothing written) unless --force; each\n"
    "file is written under a temporary name and takes its own only once complete, so\n"
    "a damaged payload leaves no partial file.\n";
const char HELP_INFO[] =
    "usage: onefile-pack info EXE\n"
    "The launcher's release, its subsystem (console or windows), whether it shows a progress window, the version block's texts and versions, the icon sizes,\n"
    "the run-directory template with its kind and whether leftovers are swept,\n"
    "the payload's entry count and size, the application library, whether it exports\n"
    "run_code, the program it starts (--run), the imports of the program (--run) or\n"
    "of the library (MISSING: neither in the\n"
    "payload nor a system library), an\n"
    "'added' row for each library --search-path supplied, a 'missing' row for each\n"
    "library an image in the payload imports that nothing provides (\"The library X,\n"
    "imported by Y, could not be found.\", as the launcher's failure box says it), an\n"
    "'unloadable' row for each image no 64-bit process loads, and whether the image\n"
    "is signed. 'launcher' is the release of the launcher code; the version block's\n"
    "versions are the packed application's. On a bare stub: its defaults, payload none.\n"
    "Status 3 when a 'missing' or 'unloadable' row is shown, 2 when EXE cannot be read\n"
    "as a packed image or a stub, or is a program that carries no payload.\n";

constexpr int INFO_MISSING_IMPORT_STATUS = 3;

struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

bool wants_help(int argc, char** argv) {
    for (int i = 2; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
    return false;
}

pack::fs::path default_stub(const char* argv0) {
    pack::fs::path self = argv0;
    std::error_code error;
#ifndef _WIN32
    pack::fs::path link = pack::fs::read_symlink("/proc/self/exe", error);
    if (!error) self = link;
#endif
    return self.parent_path() / "launcher.exe";
}

#ifdef _WIN32
// The runtime gives `main` its arguments in the ANSI code page, which cannot
// hold every name a product may have; the system's own split of the command
// line keeps the UTF-16 text. The Win32 edge of the tool: nothing else here.
std::vector<std::u16string> wide_arguments;

void read_wide_arguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* split = CommandLineToArgvW(GetCommandLineW(), &count);
    if (split == nullptr) return;
    for (int i = 0; i < count && i < argc; ++i) {
        // Used only where both splits agree on the argument.
        char narrow[4096];
        int length = WideCharToMultiByte(CP_ACP, 0, split[i], -1, narrow, sizeof narrow,
                                         nullptr, nullptr);
        bool same = length > 0 && std::strcmp(narrow, argv[i]) == 0;
        std::wstring wide = split[i];
        wide_arguments.push_back(same ? std::u16string(wide.begin(), wide.end()) : std::u16string());
    }
    LocalFree(split);
}
#endif

// Argument `index` (`text`) as UTF-16: UTF-8 on Linux, the system's UTF-16
// split on Windows.
std::u16string text_argument(int index, const char* text) {
#ifdef _WIN32
    if (index < static_cast<int>(wide_arguments.size()) && !wide_arguments[index].empty())
        return wide_arguments[index];
    std::string narrow = text;
    std::u16string widened;
    for (char byte : narrow) widened += static_cast<char16_t>(static_cast<unsigned char>(byte));
    return widened;
#else
    (void)index;
    return pack::from_utf8(text);
#endif
}

// A branding text: not empty, and text that converts.
std::u16string branding_text(const std::string& option, int index, const char* text) {
    if (*text == 0) throw pack::option_error(option, "must not be empty");
    try {
        return text_argument(index, text);
    } catch (const pack::pack_error& e) {
        throw pack::option_error(option, e.what());
    }
}

// A problem of EXE named by its file, as every refusal names its file:
// `body`'s messages that name neither EXE nor `also` (extract's DIR) get it
// in front.
template <typename Body>
auto naming(const std::string& exe, const std::string& also, Body body) {
    try {
        return body();
    } catch (const pack::pack_error& e) {
        std::string what = e.what();
        if (what.find(exe) != std::string::npos || (!also.empty() && what.find(also) != std::string::npos)) throw;
        throw pack::pack_error(exe + ": " + what);
    }
}

int run(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::cout << USAGE;
        return argc < 2 ? 2 : 0;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::cout << "onefile-pack " << ONEFILE_TOOL_VERSION << '\n';
        return 0;
    }
    std::string command = argv[1];
    const char* help = command == "pack" ? HELP_PACK : command == "archive" ? HELP_ARCHIVE
                     : command == "list" ? HELP_LIST : command == "extract" ? HELP_EXTRACT
                     : command == "info" ? HELP_INFO : command == "brand" ? HELP_BRAND : nullptr;
    if (help == nullptr) throw usage_error("unknown command '" + command + "'");
    if (wants_help(argc, argv)) {
        std::cout << help;
        if (command == "pack" || command == "brand") std::cout << HELP_BRANDING;
        return 0;
    }

    std::vector<std::string> positional;
    pack::pack_options options;
    options.progress = true;
    bool have_output = false, have_stub = false, force = false;
    pack::branding_options branding;
    options.branding = &branding;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) throw usage_error(arg + " needs a value");
            return argv[++i];
        };
        bool brands = command == "pack" || command == "brand";
        if (brands && arg == "--icon") {
            branding.icon = value();
        } else if (brands && arg == "--manifest") {
            branding.manifest = value();
        } else if (brands && arg == "--no-progress") {
            branding.no_progress = true;
        } else if (brands && arg == "--run-directory") {
            const char* text_value = value();
            branding.run_directory = branding_text(arg, i, text_value);
        } else if (brands && arg == "--console") {
            branding.console = true;
        } else if (brands && arg == "--version") {
            branding.version = value();
        } else if (brands && (arg == "--product" || arg == "--company" || arg == "--description" ||
                              arg == "--copyright" || arg == "--original-filename")) {
            const char* text_value = value();
            std::u16string text = branding_text(arg, i, text_value);
            (arg == "--product" ? branding.product : arg == "--company" ? branding.company
             : arg == "--description" ? branding.description : arg == "--copyright" ? branding.copyright
             : branding.original_filename) = text;
        } else if ((command == "pack" || command == "archive" || command == "brand") && (arg == "-o" || arg == "--output")) {
            options.output = value();
            have_output = true;
        } else if (command == "pack" && arg == "--stub") {
            options.stub = value();
            have_stub = true;
        } else if ((command == "pack" || command == "archive") && arg == "--main") {
            const char* main_value = value();
            options.main_name = text_argument(i, main_value);
        } else if ((command == "pack" || command == "archive") && arg == "--quiet") {
            options.progress = false;
        } else if ((command == "pack" || command == "archive") &&
                   (arg == "--compress" || arg.rfind("--compress=", 0) == 0)) {
            options.compress = arg == "--compress" ? pack::DEFAULT_COMPRESSION_LEVEL
                                                   : pack::checked_compression_level(arg.substr(11));
        } else if (command == "extract" && arg == "--force") {
            force = true;
        } else if (command == "pack" && arg == "--no-check") {
            options.check = false;
        } else if (command == "pack" && arg == "--strict") {
            options.strict = true;
        } else if (command == "pack" && arg == "--search-path") {
            options.search_paths.emplace_back(value());
        } else if (command == "pack" && arg == "--no-default-search") {
            options.default_search = false;
        } else if (command == "pack" && arg == "--run") {
            const char* program = value();
            options.run_program = text_argument(i, program);
            if (options.run_program.empty()) throw usage_error("--run needs a program");
        } else if (command == "pack" && arg == "--main-file") {
            options.main_file = value();
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw usage_error("unknown option '" + arg + "' for " + command);
        } else {
            positional.push_back(arg);
        }
    }
    if (!options.check && (options.strict || !options.search_paths.empty()))
        throw usage_error(std::string(options.strict ? "--strict" : "--search-path") + " and --no-check exclude each other");
    if (!options.run_program.empty() && (!options.main_file.empty() || options.main_name != u"main.dll"))
        throw usage_error("--run brings its own application library; --main and --main-file do not go with it");
    size_t wanted = command == "extract" ? 2 : 1;
    if (positional.size() != wanted) throw usage_error("wrong number of arguments for " + command);

    if (command == "brand") {
        if (!have_output) throw usage_error("brand needs -o OUTPUT");
        pack::brand_stub(positional[0], options.output, branding);
    } else if (command == "pack" || command == "archive") {
        if (!have_output) throw usage_error(command + " needs -o OUTPUT");
        options.app_dir = positional[0];
        if (command == "archive") {
            pack::write_bare_archive(options.app_dir, options.main_name, options.output, options.progress,
                                     options.compress);
            return 0;
        }
        if (!have_stub) options.stub = default_stub(argv[0]);
        pack::pack_image(options);
    } else if (command == "info") {
        size_t missing = naming(positional[0], "", [&] { return pack::show_info(positional[0], std::cout); });
        // A CI step can fail on a file that would look for a library along PATH.
        if (missing != 0) return INFO_MISSING_IMPORT_STATUS;
    } else if (command == "list") {
        naming(positional[0], "", [&] { pack::list_payload(positional[0], std::cout); });
    } else {
        naming(positional[0], positional[1], [&] { pack::extract_payload(positional[0], positional[1], force); });
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    read_wide_arguments(argc, argv);
#endif
    // One line a problem, each with the tool's name: a refusal may list several.
    auto report = [](const char* what, const char* hint) {
        std::string text = what;
        for (size_t start = 0, end; start < text.size(); start = end + 1) {
            end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::cerr << "onefile-pack: error: " << text.substr(start, end - start) << hint << "\n";
        }
    };
    try {
        return run(argc, argv);
    } catch (const usage_error& e) {
        report(e.what(), " (see onefile-pack --help)");
        return 2;
    } catch (const pack::pack_error& e) {
        report(e.what(), "");
        return 2;
    } catch (const std::exception& e) {
        report(e.what(), "");
        return 1;
    }
}
