// A minimal reader of DER elements (single-byte tags, definite lengths),
// used where the exact encoded bytes of a part of a certificate matter.
#pragma once
#include <windows.h>

#include <cstddef>
#include <string>

namespace tessera::cert {

struct DerElement {
    BYTE tag = 0;
    const BYTE* start = nullptr;    // the tag byte
    const BYTE* content = nullptr;  // the value
    size_t length = 0;              // of the value
    size_t total() const { return size_t(content - start) + length; }
};

class DerReader {
public:
    DerReader(const BYTE* data, size_t length) : p_(data), end_(data + length) {}
    explicit DerReader(const DerElement& e) : p_(e.content), end_(e.content + e.length) {}
    bool AtEnd() const { return p_ >= end_; }
    // Reads the next element; false on malformed input (nothing consumed).
    bool Next(DerElement& e) {
        const BYTE* p = p_;
        if (end_ - p < 2) return false;
        e.start = p;
        e.tag = *p++;
        if ((e.tag & 0x1F) == 0x1F) return false;
        size_t len = *p++;
        if (len & 0x80) {
            size_t n = len & 0x7F;
            if (n == 0 || n > 4 || size_t(end_ - p) < n) return false;
            len = 0;
            for (size_t i = 0; i < n; ++i) len = (len << 8) | *p++;
        }
        if (size_t(end_ - p) < len) return false;
        e.content = p;
        e.length = len;
        p_ = p + len;
        return true;
    }
    bool Next(DerElement& e, BYTE expectedTag) { return Next(e) && e.tag == expectedTag; }
    // Reads the next element only if it carries the tag.
    bool Optional(DerElement& e, BYTE tag) {
        if (AtEnd() || *p_ != tag) return false;
        return Next(e);
    }

private:
    const BYTE* p_;
    const BYTE* end_;
};

// Dotted text of an encoded OBJECT IDENTIFIER; empty when malformed.
inline std::string OidText(const BYTE* p, size_t n) {
    if (n == 0 || (p[n - 1] & 0x80)) return std::string();
    std::string text;
    unsigned long long value = 0;
    bool first = true;
    for (size_t i = 0; i < n; ++i) {
        if (value > (~0ULL >> 8)) return std::string();
        value = (value << 7) | (p[i] & 0x7F);
        if (p[i] & 0x80) continue;
        if (first) {
            unsigned long long top = value < 40 ? 0 : value < 80 ? 1 : 2;
            text = std::to_string(top);
            value -= top * 40;
            first = false;
        }
        // Appended piece by piece: GCC 12 at -O3 takes '"." + std::to_string()'
        // (an insert at the front of a temporary) for an overlapping copy
        // and reports -Wrestrict.
        text += '.';
        text += std::to_string(value);
        value = 0;
    }
    return text;
}

}  // namespace tessera::cert
