// Small helpers shared by the host: text conversion, number parsing, thread-safe output.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace phost {

std::u16string utf8ToUtf16(std::string_view s);
// Appends code point `cp` to `out` in UTF-8.
void appendUtf8(std::string& out, uint32_t cp);
std::string utf16ToUtf8(const char16_t* s, size_t maxUnits);
// VST3 strings are arrays of int16_t holding UTF-16 code units.
std::string v3String(const int16_t* s, size_t maxUnits);
void toV3String(std::string_view s, int16_t* out, size_t maxUnits);

// Parses the whole of `s` as a finite number.
bool parseDouble(std::string_view s, double& out);
bool parseInt(std::string_view s, long long& out);

std::string toLower(std::string_view s);
// Replaces line breaks so that an error message stays on one line.
std::string oneLine(std::string_view s);
std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Whole lines to stdout, never interleaved between threads, flushed at once.
void printLine(const std::string& line);

// Error that ends the program with a one-line message and the given exit code.
struct HostError {
    std::string message;
    int exitCode = 1;
};

}  // namespace phost
