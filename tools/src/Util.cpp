#include "Util.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace phost {

std::u16string utf8ToUtf16(std::string_view s) {
    std::u16string out;
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        uint32_t cp = 0xFFFD;
        size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            if (i + len > s.size()) {
                len = 1;
            } else {
                cp = c & (0xFF >> (len + 1));
                for (size_t k = 1; k < len; ++k) {
                    const auto cc = static_cast<unsigned char>(s[i + k]);
                    if ((cc & 0xC0) != 0x80) {
                        cp = 0xFFFD;
                        len = k;
                        break;
                    }
                    cp = (cp << 6) | (cc & 0x3F);
                }
            }
        }
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp > 0x10FFFF ? 0xFFFD : cp);
        }
        i += len;
    }
    return out;
}

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string utf16ToUtf8(const char16_t* s, size_t maxUnits) {
    std::string out;
    for (size_t i = 0; i < maxUnits && s[i]; ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < maxUnits && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
            ++i;
        } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
        }
        appendUtf8(out, cp);
    }
    return out;
}

std::string v3String(const int16_t* s, size_t maxUnits) {
    std::u16string tmp;
    for (size_t i = 0; i < maxUnits && s[i]; ++i) tmp += static_cast<char16_t>(s[i]);
    return utf16ToUtf8(tmp.c_str(), tmp.size());
}

void toV3String(std::string_view s, int16_t* out, size_t maxUnits) {
    if (maxUnits == 0) return;
    const std::u16string u = utf8ToUtf16(s);
    size_t n = u.size() < maxUnits - 1 ? u.size() : maxUnits - 1;
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<int16_t>(u[i]);
    out[n] = 0;
}

bool parseDouble(std::string_view s, double& out) {
    if (s.empty() || s.size() > 64) return false;
    std::string tmp(s);
    char* end = nullptr;
    errno = 0;
    const double d = std::strtod(tmp.c_str(), &end);
    if (end != tmp.c_str() + tmp.size() || errno == ERANGE || !std::isfinite(d)) return false;
    out = d;
    return true;
}

bool parseInt(std::string_view s, long long& out) {
    if (s.empty() || s.size() > 32) return false;
    std::string tmp(s);
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(tmp.c_str(), &end, 10);
    if (end != tmp.c_str() + tmp.size() || errno == ERANGE) return false;
    out = v;
    return true;
}

std::string toLower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string oneLine(std::string_view s) {
    std::string out;
    for (char c : s) out += (c == '\n' || c == '\r') ? ' ' : c;
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

std::string fmt(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    va_list ap2;
    va_copy(ap2, ap);
    const int n = std::vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(out.data(), out.size() + 1, format, ap2);
    va_end(ap2);
    return out;
}

void printLine(const std::string& line) {
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace phost
