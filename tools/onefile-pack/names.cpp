// Entry names as Windows will see them: the checks that keep a packed tree
// creatable by the launcher, case folding for uniqueness, UTF-8 conversion.
#include "names.h"

namespace pack {

namespace {

bool is_invalid_unit(char16_t unit) {
    if (unit < 0x20) return true;
    switch (unit) {
    case u'<': case u'>': case u':': case u'"': case u'/': case u'\\': case u'|': case u'?': case u'*':
        return true;
    default:
        return false;
    }
}

// Device names stay reserved with any extension ("nul.txt") and with
// trailing spaces before the dot.
bool is_reserved_device(const std::u16string& component) {
    std::u16string base = fold_case(component.substr(0, component.find(u'.')));
    while (!base.empty() && base.back() == u' ') base.pop_back();
    static const char16_t* const devices[] = {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"};
    for (const char16_t* device : devices) {
        if (base == device) return true;
    }
    if (base.size() == 4 && (base.compare(0, 3, u"COM") == 0 || base.compare(0, 3, u"LPT") == 0)) {
        char16_t digit = base[3];
        return (digit >= u'1' && digit <= u'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
    }
    return false;
}

}  // namespace

std::string component_problem(const std::u16string& component) {
    if (component.empty()) return "empty name component";
    for (char16_t unit : component) {
        if (is_invalid_unit(unit)) return "character not allowed in Windows file names";
    }
    if (component.back() == u'.' || component.back() == u' ')
        return "Windows drops a trailing dot or space";
    if (is_reserved_device(component)) return "reserved Windows device name";
    return {};
}

std::u16string fold_case(const std::u16string& name) {
    std::u16string folded = name;
    for (char16_t& u : folded) {
        if (u >= u'a' && u <= u'z') u = static_cast<char16_t>(u - 0x20);
        else if (u >= 0xE0 && u <= 0xFE && u != 0xF7) u = static_cast<char16_t>(u - 0x20);
        else if (u == 0xFF) u = 0x178;
        else if ((u >= 0x100 && u <= 0x137) || (u >= 0x14A && u <= 0x177)) u = static_cast<char16_t>(u & ~1u);
        else if ((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E)) u = static_cast<char16_t>(u - ((u & 1) ? 0 : 1));
        else if (u >= 0x3B1 && u <= 0x3CB && u != 0x3C2) u = static_cast<char16_t>(u - 0x20);
        else if (u == 0x3C2) u = 0x3A3;
        else if (u >= 0x430 && u <= 0x44F) u = static_cast<char16_t>(u - 0x20);
        else if (u >= 0x450 && u <= 0x45F) u = static_cast<char16_t>(u - 0x50);
    }
    return folded;
}

std::string to_utf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate has no UTF-8 form
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string from_utf8(const std::string& text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[i]);
        uint32_t c;
        size_t extra;
        if (lead < 0x80) { c = lead; extra = 0; }
        else if ((lead & 0xE0) == 0xC0) { c = lead & 0x1F; extra = 1; }
        else if ((lead & 0xF0) == 0xE0) { c = lead & 0x0F; extra = 2; }
        else if ((lead & 0xF8) == 0xF0) { c = lead & 0x07; extra = 3; }
        else throw pack_error("name is not valid UTF-8: " + text);
        if (i + extra >= text.size()) throw pack_error("name is not valid UTF-8: " + text);
        for (size_t k = 1; k <= extra; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) throw pack_error("name is not valid UTF-8: " + text);
            c = (c << 6) | (next & 0x3F);
        }
        static const uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (c < smallest[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            throw pack_error("name is not valid UTF-8: " + text);
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += extra + 1;
    }
    return out;
}

}  // namespace pack
