#include "Kernels.h"

namespace pelmor::kernel {

Simd bestSimd() {
    static const Simd best = [] {
        __builtin_cpu_init();
        return (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) ? Simd::Avx2Fma : Simd::Baseline;
    }();
    return best;
}

const Table& table(Simd simd) {
    // Never hand out code the processor cannot run.
    if (simd == Simd::Avx2Fma && bestSimd() == Simd::Avx2Fma) return avx2::table();
    return baseline::table();
}

}  // namespace pelmor::kernel
