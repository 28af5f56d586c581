// The manifest's well-formedness check (see manifest_check.h): one pass
// over the bytes with a stack of open element names. No platform calls.
#include "format/manifest_check.h"

#include <cctype>

namespace {

class xml_checker {
public:
    explicit xml_checker(const std::vector<uint8_t>& d) : d_(d) {}

    bool run(std::string& error) {
        if (!valid_utf8()) return fail(error, "not valid UTF-8");
        if (d_.size() >= 3 && d_[0] == 0xEF && d_[1] == 0xBB && d_[2] == 0xBF) at_ = 3;
        if (starts("<?xml") && at_ + 5 < d_.size() && is_space(d_[at_ + 5])) {
            if (!processing_instruction()) return fail(error, why_);
        }
        bool root_seen = false;
        while (skip_space(), at_ < d_.size()) {
            if (starts("<!--")) {
                if (!comment()) return fail(error, why_);
            } else if (starts("<?")) {
                if (!processing_instruction()) return fail(error, why_);
            } else if (starts("<!DOCTYPE")) {
                return fail(error, "document type declarations are not supported");
            } else if (d_[at_] == '<' && !root_seen) {
                if (!element()) return fail(error, why_);
                root_seen = true;
            } else {
                return fail(error, root_seen ? "content after the root element" : "text before the root element");
            }
        }
        if (!root_seen) return fail(error, "no root element");
        return true;
    }

private:
    const std::vector<uint8_t>& d_;
    size_t at_ = 0;
    std::string why_;

    bool fail(std::string& error, const std::string& why) {
        size_t line = 1;
        for (size_t i = 0; i < at_ && i < d_.size(); ++i) line += d_[i] == '\n';
        error = "line " + std::to_string(line) + ": " + why;
        return false;
    }
    bool fault(const std::string& why) {
        why_ = why;
        return false;
    }
    static bool is_space(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    static bool name_start(uint8_t c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
    }
    static bool name_char(uint8_t c) { return name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }
    bool starts(const char* text) const {
        size_t i = 0;
        for (; text[i] != 0; ++i)
            if (at_ + i >= d_.size() || d_[at_ + i] != static_cast<uint8_t>(text[i])) return false;
        return true;
    }
    void skip_space() {
        while (at_ < d_.size() && is_space(d_[at_])) ++at_;
    }
    bool skip_past(const char* end, const char* what) {
        while (at_ < d_.size() && !starts(end)) ++at_;
        if (at_ >= d_.size()) return fault(std::string("unterminated ") + what);
        at_ += std::string(end).size();
        return true;
    }
    bool comment() {
        at_ += 4;
        while (at_ < d_.size() && !starts("--")) ++at_;
        if (!starts("-->")) return fault(at_ >= d_.size() ? "unterminated comment" : "'--' inside a comment");
        at_ += 3;
        return true;
    }
    bool processing_instruction() {
        at_ += 2;
        if (!name()) return fault("processing instruction without a target");
        return skip_past("?>", "processing instruction");
    }
    bool name(std::string* out = nullptr) {
        if (at_ >= d_.size() || !name_start(d_[at_])) return false;
        size_t start = at_;
        while (at_ < d_.size() && name_char(d_[at_])) ++at_;
        if (out) out->assign(d_.begin() + static_cast<std::ptrdiff_t>(start), d_.begin() + static_cast<std::ptrdiff_t>(at_));
        return true;
    }
    // After '&': a predefined entity or a character reference, then ';'.
    bool reference() {
        ++at_;
        if (starts("#x")) {
            at_ += 2;
            size_t digits = 0;
            while (at_ < d_.size() && std::isxdigit(d_[at_])) ++at_, ++digits;
            if (digits == 0) return fault("bad character reference");
        } else if (starts("#")) {
            ++at_;
            size_t digits = 0;
            while (at_ < d_.size() && d_[at_] >= '0' && d_[at_] <= '9') ++at_, ++digits;
            if (digits == 0) return fault("bad character reference");
        } else {
            std::string entity;
            if (!name(&entity) || (entity != "lt" && entity != "gt" && entity != "amp" && entity != "quot" &&
                                   entity != "apos"))
                return fault("unknown entity '&" + entity + "'");
        }
        if (at_ >= d_.size() || d_[at_] != ';') return fault("reference without ';'");
        ++at_;
        return true;
    }
    bool attribute_value() {
        if (at_ >= d_.size() || (d_[at_] != '"' && d_[at_] != '\'')) return fault("attribute value not quoted");
        uint8_t quote = d_[at_++];
        while (at_ < d_.size() && d_[at_] != quote) {
            if (d_[at_] == '<') return fault("'<' in an attribute value");
            if (d_[at_] == '&') {
                if (!reference()) return false;
            } else {
                ++at_;
            }
        }
        if (at_ >= d_.size()) return fault("unterminated attribute value");
        ++at_;
        return true;
    }
    // The start tag at `at_`, its content and its end tag; nesting is kept
    // on an explicit stack so that a deep document cannot exhaust the
    // machine stack.
    bool element() {
        std::vector<std::string> open;
        do {
            if (starts("</")) {
                at_ += 2;
                std::string closing;
                if (!name(&closing)) return fault("end tag without a name");
                skip_space();
                if (at_ >= d_.size() || d_[at_] != '>') return fault("unterminated end tag </" + closing + ">");
                ++at_;
                if (open.empty() || closing != open.back())
                    return fault("end tag </" + closing + "> does not match <" + (open.empty() ? "" : open.back()) + ">");
                open.pop_back();
            } else if (starts("<!--")) {
                if (!comment()) return false;
            } else if (starts("<![CDATA[")) {
                at_ += 9;
                if (!skip_past("]]>", "CDATA section")) return false;
            } else if (starts("<?")) {
                if (!processing_instruction()) return false;
            } else if (starts("<")) {
                ++at_;
                std::string tag;
                if (!name(&tag)) return fault("tag without a name");
                std::vector<std::string> attributes;
                for (;;) {
                    bool spaced = at_ < d_.size() && is_space(d_[at_]);
                    skip_space();
                    if (at_ >= d_.size()) return fault("unterminated start tag <" + tag + ">");
                    if (starts("/>")) {
                        at_ += 2;
                        break;
                    }
                    if (d_[at_] == '>') {
                        ++at_;
                        open.push_back(tag);
                        break;
                    }
                    std::string attribute;
                    if (!spaced || !name(&attribute)) return fault("bad attribute in <" + tag + ">");
                    for (const std::string& seen : attributes)
                        if (seen == attribute) return fault("attribute " + attribute + " twice in <" + tag + ">");
                    attributes.push_back(attribute);
                    skip_space();
                    if (at_ >= d_.size() || d_[at_] != '=') return fault("attribute " + attribute + " without a value");
                    ++at_;
                    skip_space();
                    if (!attribute_value()) return false;
                }
            } else if (d_[at_] == '&') {
                if (!reference()) return false;
            } else if (starts("]]>")) {
                return fault("']]>' in text");
            } else {
                ++at_;
            }
            if (!open.empty() && at_ >= d_.size()) return fault("element <" + open.back() + "> is not closed");
        } while (!open.empty());
        return true;
    }
    bool valid_utf8() const {
        for (size_t i = 0; i < d_.size();) {
            uint8_t c = d_[i];
            size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 9;
            if (extra == 9 || c == 0xC0 || c == 0xC1 || (extra > 0 && i + extra >= d_.size())) return false;
            for (size_t k = 1; k <= extra; ++k)
                if ((d_[i + k] & 0xC0) != 0x80) return false;
            if (c < 0x20 && !is_space(c)) return false;  // XML allows no other control character
            i += extra + 1;
        }
        return true;
    }
};

}  // namespace

bool check_manifest_xml(const std::vector<uint8_t>& document, std::string& error) {
    return xml_checker(document).run(error);
}
