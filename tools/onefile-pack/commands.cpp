// list and extract: the payload of a packed image (or a bare archive) read
// in place with the launcher's reader, as the launcher would.
#include <algorithm>

#include "mapped_file.h"
#include "pack.h"
#include "payload_walk.h"

namespace pack {

namespace {

// The payload of `file`, where its image places it; a payload said to pass
// the file's end is cut there, and the walk meets the cut as damage.
payload_walk walk_payload_of(const mapped_file& file) {
    payload_location where = locate_payload(file.data(), file.size());
    uint64_t size = std::min(where.size, file.size() - std::min(where.offset, file.size()));
    return payload_walk(file.data() + where.offset, size);
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
    mapped_file file(image);
    payload_walk walk = walk_payload_of(file);
    uint64_t count = 0, total = 0, packed = 0;
    for (payload_entry entry; walk.next(entry);) {
        out << entry.size << '\t' << to_utf8(entry.name) << '\n';
        ++count;
        total += entry.size;
        packed += entry.packed;
    }
    out << count << " entries, " << total << " bytes";
    if (walk.compressed()) out << ", " << describe_compression(packed, total);
    out << "\n";
}

void extract_payload(const fs::path& image, const fs::path& directory) {
    mapped_file file(image);
    payload_walk walk = walk_payload_of(file);
    for (payload_entry entry; walk.next(entry);) {
        fs::path current = directory / relative_path_of(entry.name);
        std::error_code error;
        fs::create_directories(current.parent_path(), error);
        if (error) throw pack_error("cannot create " + current.parent_path().string() + ": " + error.message());
        std::ofstream out(current, std::ios::binary | std::ios::trunc);
        if (!out) throw pack_error("cannot create " + current.string());
        walk.read(entry, [&](const uint8_t* data, size_t size) {
            out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
            if (!out) throw pack_error("cannot write " + current.string());
        });
        out.close();
        if (!out) throw pack_error("cannot write " + current.string());
    }
}

}  // namespace pack
