#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <vector>

namespace fw {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "state layouts assume a little-endian machine");

// A growable byte buffer for state and presets. Values are appended in native
// (little-endian) order without padding or length prefixes. Reads take a start
// position and return the position after the value, or -1 when the value does
// not fit in the bytes that remain.
class ByteChunk {
public:
    // Appends bytes; returns the new size, or -1 when the buffer could not grow.
    int PutBytes(const void* data, int n)
    {
        if (n < 0 || (n > 0 && !data)) return -1;
        if (static_cast<int64_t>(bytes.size()) + n > kMaxSize) return -1;
        const size_t old = bytes.size();
        try {
            bytes.resize(old + static_cast<size_t>(n));
        } catch (const std::bad_alloc&) {
            return -1;
        }
        if (n > 0) std::memcpy(bytes.data() + old, data, static_cast<size_t>(n));
        return Size();
    }

    template <class T>
    int Put(const T* v)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        return PutBytes(v, static_cast<int>(sizeof(T)));
    }

    int GetBytes(void* out, int n, int startPos) const
    {
        if (!out || n < 0 || startPos < 0) return -1;
        if (static_cast<int64_t>(startPos) + n > static_cast<int64_t>(bytes.size())) return -1;
        if (n > 0) std::memcpy(out, bytes.data() + startPos, static_cast<size_t>(n));
        return startPos + n;
    }

    template <class T>
    int Get(T* v, int startPos) const
    {
        static_assert(std::is_trivially_copyable_v<T>);
        return GetBytes(v, static_cast<int>(sizeof(T)), startPos);
    }

    int Size() const { return static_cast<int>(bytes.size()); }
    const uint8_t* GetData() const { return bytes.data(); }
    uint8_t* GetData() { return bytes.data(); }
    void Clear() { bytes.clear(); }
    bool Resize(int n)
    {
        if (n < 0 || n > kMaxSize) return false;
        try {
            bytes.resize(static_cast<size_t>(n));
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }
    bool operator==(const ByteChunk& other) const { return bytes == other.bytes; }

    // Upper bound on a chunk; a state stream longer than this is refused.
    static constexpr int kMaxSize = 16 * 1024 * 1024;

private:
    std::vector<uint8_t> bytes;
};

}  // namespace fw
