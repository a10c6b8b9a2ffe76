// AVX2 + FMA build of the hot loops; only called when the processor has both.
#define PELMOR_KERNEL_NS avx2
#include "Kernels.inl"
