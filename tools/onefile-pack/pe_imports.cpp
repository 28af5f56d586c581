// The import and export tables of a PE32+ file, read as the loader will read
// them: kind of image, the run_code export and the imported DLLs. A user's
// file: every read is bounded and no offset in it is trusted. Standard
// library only.
#include <algorithm>
#include <cstring>

#include "checks.h"
#include "pe_layout.h"
#include "format/little_endian.h"

namespace pack {

namespace {

using namespace pe;

constexpr uint16_t MACHINE_I386 = 0x014C;
constexpr uint16_t MACHINE_ARM64 = 0xAA64;
constexpr uint16_t MAGIC_PE32 = 0x10B;
constexpr uint32_t EXPORT_DIRECTORY = 0, IMPORT_DIRECTORY = 1, DELAY_IMPORT_DIRECTORY = 13;
constexpr uint16_t MAX_SECTIONS = 96;         // the loader's own limit
constexpr uint32_t MAX_IMPORTED_DLLS = 4096;  // far above any real library
constexpr uint32_t MAX_EXPORT_NAMES = 1u << 20;
constexpr size_t MAX_DLL_NAME = 255;
constexpr char ENTRY_NAME[] = "run_code";

// Thrown inside the reader only; read_library turns it into the problem text.
struct bad_image {
    std::string why;
    bool certain = false;  // the loader refuses it for sure: no reason to pack it anyway
};

class pe_reader {
public:
    explicit pe_reader(const file_part& part) : part_(part) {}

    std::vector<uint8_t> at_offset(uint64_t offset, size_t count) const {
        if (offset > part_.size || count > part_.size - offset) throw bad_image{"a header or table lies past the end of the file"};
        std::vector<uint8_t> bytes(count);
        part_.in->clear();
        part_.in->seekg(static_cast<std::streamoff>(part_.offset + offset));
        part_.in->read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
        if (static_cast<size_t>(part_.in->gcount()) != count) throw bad_image{"the file cannot be read"};
        return bytes;
    }

    void add_section(uint32_t rva, uint32_t virtual_size, uint32_t raw_offset, uint32_t raw_size) {
        // Bytes past the raw data are zeros in memory; the tables read here
        // never lie there in a linker's output, so they count as missing.
        uint32_t mapped = virtual_size != 0 ? std::min(virtual_size, raw_size) : raw_size;
        sections_.push_back({rva, mapped, raw_offset});
    }
    void set_headers(uint32_t size_of_headers) { headers_ = size_of_headers; }

    // `count` bytes at `rva`, all inside one section's file data (or the headers).
    std::vector<uint8_t> at_rva(uint32_t rva, size_t count) const {
        uint64_t left = 0;
        uint64_t offset = offset_of(rva, left);
        if (count > left) throw bad_image{"a table lies outside the image's sections"};
        return at_offset(offset, count);
    }

    // A NUL-terminated name at `rva`, at most `limit` bytes before the NUL.
    std::string string_at(uint32_t rva, size_t limit) const {
        uint64_t left = 0;
        uint64_t offset = offset_of(rva, left);
        std::vector<uint8_t> bytes = at_offset(offset, static_cast<size_t>(std::min<uint64_t>(left, limit + 1)));
        auto end = std::find(bytes.begin(), bytes.end(), 0);
        if (end == bytes.end()) throw bad_image{"a name in the import or export table has no end"};
        return std::string(bytes.begin(), end);
    }

private:
    struct mapped_section {
        uint32_t rva, size, raw_offset;
    };
    uint64_t offset_of(uint32_t rva, uint64_t& left) const {
        for (const mapped_section& s : sections_) {
            if (rva >= s.rva && rva - s.rva < s.size) {
                left = s.size - (rva - s.rva);
                return static_cast<uint64_t>(s.raw_offset) + (rva - s.rva);
            }
        }
        if (rva < headers_) {
            left = headers_ - rva;
            return rva;
        }
        throw bad_image{"a table lies outside the image's sections"};
    }

    const file_part& part_;
    std::vector<mapped_section> sections_;
    uint32_t headers_ = 0;
};

std::string hex16(uint16_t value) {
    const char* digits = "0123456789abcdef";
    std::string text = "0x";
    for (int shift = 12; shift >= 0; shift -= 4) text += digits[(value >> shift) & 0xF];
    return text;
}

void add_name(std::vector<std::string>& names, const std::string& name) {
    std::string key = library_key(name);
    for (const std::string& known : names)
        if (library_key(known) == key) return;
    names.push_back(name);
}

void add_import(library_image& library, const std::string& name) {
    if (name.empty()) throw bad_image{"an imported DLL has an empty name"};
    add_name(library.imports, name);
}

void read_imports(const pe_reader& pe, uint32_t rva, library_image& library) {
    for (uint32_t i = 0;; ++i) {
        if (i == MAX_IMPORTED_DLLS) throw bad_image{"the import table does not end"};
        std::vector<uint8_t> descriptor = pe.at_rva(rva + 20 * i, 20);
        if (std::all_of(descriptor.begin(), descriptor.end(), [](uint8_t b) { return b == 0; })) return;
        add_import(library, pe.string_at(get32(descriptor, 12), MAX_DLL_NAME));
    }
}

// Delay-load descriptors name their DLL by RVA when bit 0 of the attributes
// is set (every current linker); older ones by virtual address.
void read_delay_imports(const pe_reader& pe, uint32_t rva, uint64_t image_base, library_image& library) {
    for (uint32_t i = 0;; ++i) {
        if (i == MAX_IMPORTED_DLLS) throw bad_image{"the delay-load import table does not end"};
        std::vector<uint8_t> descriptor = pe.at_rva(rva + 32 * i, 32);
        uint32_t name = get32(descriptor, 4);
        if (name == 0) return;
        if ((get32(descriptor, 0) & 1) == 0) {
            if (name < image_base || name - image_base > UINT32_MAX) throw bad_image{"the delay-load import table is damaged"};
            name = static_cast<uint32_t>(name - image_base);
        }
        add_import(library, pe.string_at(name, MAX_DLL_NAME));
    }
}

bool exports_by_name(const pe_reader& pe, uint32_t rva, const char* wanted) {
    std::vector<uint8_t> directory = pe.at_rva(rva, 40);
    uint32_t count = get32(directory, 24);
    if (count == 0) return false;
    if (count > MAX_EXPORT_NAMES) throw bad_image{"the export table is damaged"};
    std::vector<uint8_t> names = pe.at_rva(get32(directory, 32), 4 * static_cast<size_t>(count));
    const size_t wanted_size = std::strlen(wanted);
    for (uint32_t i = 0; i < count; ++i) {
        // A name that cannot be read is not ours; it does not spoil the rest.
        try {
            if (pe.string_at(get32(names, 4 * i), wanted_size) == wanted) return true;
        } catch (const bad_image&) {
        }
    }
    return false;
}

// An export whose address lies inside the export directory is a forwarder:
// the text "library.function" (or "library.#ordinal") stands there instead
// of code. The library is the part before the last dot (where Wine 8's
// loader splits it).
void read_forwarders(const pe_reader& pe, uint32_t rva, uint32_t size, library_image& library) {
    std::vector<uint8_t> directory = pe.at_rva(rva, 40);
    uint32_t count = get32(directory, 20);
    if (count > MAX_EXPORT_NAMES) throw bad_image{"the export table is damaged"};
    std::vector<uint8_t> addresses = pe.at_rva(get32(directory, 28), 4 * static_cast<size_t>(count));
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t address = get32(addresses, 4 * i);
        if (address < rva || address - rva >= size) continue;
        std::string forwarder = pe.string_at(address, 2 * MAX_DLL_NAME);
        size_t dot = forwarder.rfind('.');
        if (dot == std::string::npos || dot == 0) throw bad_image{"a forwarded export names no library"};
        add_name(library.forwarded_to, forwarder.substr(0, dot));
    }
}

void read_into(const file_part& part, library_image& library) {
    pe_reader pe(part);
    if (part.size < 64) throw bad_image{"not a Windows image (shorter than a DOS header)", true};
    std::vector<uint8_t> dos = pe.at_offset(0, 64);
    if (dos[0] != 'M' || dos[1] != 'Z') throw bad_image{"not a Windows image (no MZ signature)", true};
    uint32_t pe_at = get32(dos, 0x3C);
    std::vector<uint8_t> coff = pe.at_offset(pe_at, 24);
    if (std::memcmp(coff.data(), "PE\0\0", 4) != 0) throw bad_image{"not a Windows image (no PE signature)", true};
    library.is_image = true;
    uint16_t machine = get16(coff, 4);
    if (machine == MACHINE_I386) throw bad_image{"a 32-bit x86 image; the launcher is a 64-bit process", true};
    if (machine == MACHINE_ARM64) throw bad_image{"an ARM64 image; the launcher is an x86-64 process", true};
    if (machine != MACHINE_AMD64) throw bad_image{"built for machine " + hex16(machine) + ", not x86-64", true};
    uint16_t section_count = get16(coff, 6);
    uint16_t optional_size = get16(coff, 20);
    uint16_t characteristics = get16(coff, 22);
    if (optional_size < 2) throw bad_image{"no optional header"};
    std::vector<uint8_t> opt = pe.at_offset(pe_at + 24ull, optional_size);
    uint16_t magic = get16(opt, 0);
    if (magic == MAGIC_PE32) throw bad_image{"a PE32 (32-bit) image; the launcher is a 64-bit process", true};
    if (magic != MAGIC_PE32_PLUS) throw bad_image{"the optional header is not PE32+"};
    library.is_dll = (characteristics & FILE_DLL) != 0;
    if ((characteristics & FILE_EXECUTABLE_IMAGE) == 0) throw bad_image{"not marked as an executable image (was linking incomplete?)"};
    if (optional_size < 112) throw bad_image{"the optional header is too small"};
    uint64_t image_base = get64(opt, 24);
    pe.set_headers(get32(opt, 60));
    uint32_t directories = std::min<uint32_t>(get32(opt, 108), (optional_size - 112) / 8);
    auto directory = [&](uint32_t index, uint32_t& rva) {
        rva = index < directories ? get32(opt, 112 + 8 * index) : 0;
        return rva != 0 && get32(opt, 112 + 8 * index + 4) != 0;
    };
    if (section_count > MAX_SECTIONS) throw bad_image{"too many sections"};
    std::vector<uint8_t> table = pe.at_offset(pe_at + 24ull + optional_size, 40 * static_cast<size_t>(section_count));
    for (uint16_t i = 0; i < section_count; ++i)
        pe.add_section(get32(table, 40 * i + 12), get32(table, 40 * i + 8), get32(table, 40 * i + 20), get32(table, 40 * i + 16));

    uint32_t rva = 0;
    if (directory(IMPORT_DIRECTORY, rva)) read_imports(pe, rva, library);
    // The loader reads delay-load descriptors only when a function is first
    // called, so damage there costs warnings, never the refusal.
    if (directory(DELAY_IMPORT_DIRECTORY, rva)) {
        try {
            read_delay_imports(pe, rva, image_base, library);
        } catch (const bad_image&) {
        }
    }
    if (directory(EXPORT_DIRECTORY, rva)) {
        library.exports_run_code = exports_by_name(pe, rva, ENTRY_NAME);
        // Read only when such an export is imported: damage costs warnings.
        try {
            read_forwarders(pe, rva, get32(opt, 112 + 8 * EXPORT_DIRECTORY + 4), library);
        } catch (const bad_image&) {
        }
    }
}

}  // namespace

library_image read_image(const file_part& part) {
    library_image library;
    try {
        read_into(part, library);
    } catch (const bad_image& bad) {
        library.problem = bad.why;
        library.never_loads = bad.certain;
    }
    return library;
}

library_image read_library(const file_part& part) {
    library_image library = read_image(part);
    if (library.problem.empty() && !library.is_dll) {
        library.problem = "a program, not a DLL (IMAGE_FILE_DLL is not set)";
        library.never_loads = true;
    }
    return library;
}

}  // namespace pack
