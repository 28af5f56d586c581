// wordcount: a small command-line tool, an ordinary console program that
// knows nothing of the launcher. It counts the lines, words and bytes of its
// files (or of standard input without any), prints one line for each and
// ends with 1 when a file cannot be read. Packed with `--console --run`, the
// one-file tool behaves from cmd as this program does.
#include <cstdio>
#include <cwchar>

namespace {

struct counts {
    unsigned long long lines = 0, words = 0, bytes = 0;
};

counts count(FILE* file) {
    counts result;
    bool in_word = false;
    for (int byte; (byte = std::fgetc(file)) != EOF;) {
        ++result.bytes;
        if (byte == '\n') ++result.lines;
        bool space = byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r' || byte == '\v' || byte == '\f';
        if (!space && !in_word) ++result.words;
        in_word = !space;
    }
    return result;
}

void print(const counts& c, const wchar_t* name) {
    std::wprintf(L"%8llu %8llu %8llu %ls\n", c.lines, c.words, c.bytes, name);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wcscmp(argv[1], L"--help") == 0) {
        std::wprintf(L"usage: wordcount [FILE...]\nLines, words and bytes of each FILE, or of standard input.\n");
        return 0;
    }
    if (argc < 2) {
        print(count(stdin), L"");
        return 0;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        FILE* file = _wfopen(argv[i], L"rb");
        if (file == nullptr) {
            std::fwprintf(stderr, L"wordcount: cannot read %ls\n", argv[i]);
            status = 1;
            continue;
        }
        print(count(file), argv[i]);
        std::fclose(file);
    }
    return status;
}
