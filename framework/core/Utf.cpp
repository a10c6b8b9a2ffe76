#include "core/Utf.h"

namespace fw {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;

// Decodes one code point from UTF-8; advances p. Invalid sequences yield U+FFFD and skip one byte.
uint32_t DecodeUtf8(const unsigned char*& p)
{
    const unsigned char c = *p;
    if (c < 0x80) {
        ++p;
        return c;
    }
    int len = 0;
    uint32_t cp = 0;
    if ((c & 0xE0) == 0xC0) {
        len = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4;
        cp = c & 0x07;
    } else {
        ++p;
        return kReplacement;
    }
    for (int i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            ++p;
            return kReplacement;
        }
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    static constexpr uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++p;
        return kReplacement;
    }
    p += len;
    return cp;
}

void AppendUtf8(std::string& s, uint32_t cp)
{
    if (cp < 0x80) {
        s += static_cast<char>(cp);
    } else if (cp < 0x800) {
        s += static_cast<char>(0xC0 | (cp >> 6));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += static_cast<char>(0xE0 | (cp >> 12));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        s += static_cast<char>(0xF0 | (cp >> 18));
        s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        s += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

int Utf8ToUtf16(const char* in, int16_t* out, int outUnits)
{
    if (!out || outUnits <= 0) return 0;
    int n = 0;
    if (in) {
        const auto* p = reinterpret_cast<const unsigned char*>(in);
        while (*p) {
            const uint32_t cp = DecodeUtf8(p);
            if (cp >= 0x10000) {
                if (n + 2 > outUnits - 1) break;
                const uint32_t v = cp - 0x10000;
                out[n++] = static_cast<int16_t>(0xD800 | (v >> 10));
                out[n++] = static_cast<int16_t>(0xDC00 | (v & 0x3FF));
            } else {
                if (n + 1 > outUnits - 1) break;
                out[n++] = static_cast<int16_t>(cp);
            }
        }
    }
    out[n] = 0;
    return n;
}

std::string Utf16ToUtf8(const int16_t* in, int maxUnits)
{
    std::string s;
    if (!in) return s;
    for (int i = 0; i < maxUnits; ++i) {
        const uint32_t u = static_cast<uint16_t>(in[i]);
        if (u == 0) break;
        if (u >= 0xD800 && u <= 0xDBFF) {
            const uint32_t lo = (i + 1 < maxUnits) ? static_cast<uint16_t>(in[i + 1]) : 0;
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                AppendUtf8(s, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
            } else {
                AppendUtf8(s, kReplacement);
            }
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            AppendUtf8(s, kReplacement);
        } else {
            AppendUtf8(s, u);
        }
    }
    return s;
}

}  // namespace fw
