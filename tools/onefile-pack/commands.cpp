// list and extract: the payload of a packed image (or a bare archive) read
// back as the launcher would, one chunk at a time.
#include <cstring>

#include "pack.h"
#include "format/archive_format.h"

namespace pack {

namespace {

struct opened_payload {
    std::ifstream in;
    payload_location where;
};

void open_payload(const fs::path& image, opened_payload& opened) {
    std::error_code error;
    uint64_t size = fs::file_size(image, error);
    if (error) throw pack_error("cannot read " + image.string() + ": " + error.message());
    opened.in.open(image, std::ios::binary);
    if (!opened.in) throw pack_error("cannot read " + image.string());
    opened.where = locate_payload(opened.in, size);
    opened.in.clear();
    opened.in.seekg(static_cast<std::streamoff>(opened.where.offset));
}

// A stored name as a relative path, refusing anything that could leave the
// target directory or that Windows could not create.
fs::path relative_path_of(const std::u16string& name) {
    fs::path path;
    size_t start = 0;
    for (;;) {
        size_t cut = name.find(u'\\', start);
        std::u16string component = name.substr(start, cut == std::u16string::npos ? std::u16string::npos : cut - start);
        std::string problem = component_problem(component);
        if (!problem.empty()) throw pack_error("payload holds an unsafe name (" + problem + "): " + to_utf8(name));
#ifdef _WIN32
        path /= std::wstring(component.begin(), component.end());
#else
        path /= to_utf8(component);
#endif
        if (cut == std::u16string::npos) return path;
        start = cut + 1;
    }
}

}  // namespace

void list_payload(const fs::path& image, std::ostream& out) {
    opened_payload opened;
    open_payload(image, opened);
    char header[3] = {};
    opened.in.read(header, sizeof header);
    const bool compressed = std::memcmp(header, COMPRESSED_ARCHIVE_HEADER, sizeof header) == 0;
    opened.in.clear();
    opened.in.seekg(static_cast<std::streamoff>(opened.where.offset));
    uint64_t count = 0, total = 0;
    uint64_t packed = walk_archive(opened.in, opened.where.size, {[&](const std::u16string& name, uint64_t size) {
                                                     out << size << '\t' << to_utf8(name) << '\n';
                                                     ++count;
                                                     total += size;
                                                 },
                                                 nullptr});
    out << count << " entries, " << total << " bytes";
    if (compressed) out << ", " << describe_compression(packed, total);
    out << "\n";
}

void extract_payload(const fs::path& image, const fs::path& directory) {
    opened_payload opened;
    open_payload(image, opened);
    std::ofstream file;
    fs::path current;
    auto finish = [&] {
        if (!file.is_open()) return;
        file.close();
        if (!file) throw pack_error("cannot write " + current.string());
    };
    walk_archive(opened.in, opened.where.size,
                 {[&](const std::u16string& name, uint64_t) {
                      finish();
                      current = directory / relative_path_of(name);
                      std::error_code error;
                      fs::create_directories(current.parent_path(), error);
                      if (error) throw pack_error("cannot create " + current.parent_path().string() + ": " + error.message());
                      file.open(current, std::ios::binary | std::ios::trunc);
                      if (!file) throw pack_error("cannot create " + current.string());
                  },
                  [&](const char* data, size_t size) {
                      file.write(data, static_cast<std::streamsize>(size));
                      if (!file) throw pack_error("cannot write " + current.string());
                  }});
    finish();
}

}  // namespace pack
