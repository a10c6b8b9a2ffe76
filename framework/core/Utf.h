#pragma once

#include <cstdint>
#include <string>

namespace fw {

// UTF-8 -> UTF-16 into a fixed array of outUnits units (terminator included). Truncates at
// a character boundary; invalid UTF-8 bytes become U+FFFD. Returns the units written
// (without the terminator).
int Utf8ToUtf16(const char* in, int16_t* out, int outUnits);

// UTF-16 (up to maxUnits units or the first 0) -> UTF-8. Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const int16_t* in, int maxUnits);

}  // namespace fw
