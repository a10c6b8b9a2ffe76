#include "AllocationCount.h"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

thread_local bool tCounting = false;
thread_local long tAllocations = 0;

void* Counted(std::size_t n, std::size_t align = 0)
{
    if (tCounting) ++tAllocations;
    if (n == 0) n = 1;
    void* p = nullptr;
    if (align > alignof(std::max_align_t)) {
        if (posix_memalign(&p, align, n) != 0) p = nullptr;
    } else {
        p = std::malloc(n);
    }
    return p;
}

}  // namespace

namespace rtcheck {

AllocationCount::AllocationCount()
{
    tAllocations = 0;
    tCounting = true;
}

AllocationCount::~AllocationCount() { tCounting = false; }

long AllocationCount::value() const { return tAllocations; }

}  // namespace rtcheck

// Replacing the global operators with malloc/free is the standard pairing; the compiler cannot
// see that and warns.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n)
{
    if (void* p = Counted(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n)
{
    if (void* p = Counted(n)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Counted(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Counted(n); }
void* operator new(std::size_t n, std::align_val_t a)
{
    if (void* p = Counted(n, static_cast<std::size_t>(a))) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a)
{
    if (void* p = Counted(n, static_cast<std::size_t>(a))) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
