// Baseline x86-64 build of the hot loops.
#define PELMOR_KERNEL_NS baseline
#include "Kernels.inl"
