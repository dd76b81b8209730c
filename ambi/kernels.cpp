// SPDX-License-Identifier: GPL-3.0-or-later
// The choice of kernel path: what the CPU runs, and what TOVO_KERNEL asks for. Built for the
// architecture's baseline like the rest of the plug-ins; only the per-path files carry other
// instruction sets.
#include "kernels.hpp"

#include <cstdlib>
#include <cstring>

namespace tovo::ambi {

namespace {

constexpr const char* PATH_NAMES[KERNEL_PATH_COUNT] = {"baseline", "avx2", "avx512", "portable",
                                                       "neon"};

// This architecture's paths, slowest first.
#if TOVO_KERNELS_X86
constexpr KernelPath LADDER[] = {KERNEL_PORTABLE, KERNEL_BASELINE, KERNEL_AVX2, KERNEL_AVX512};
#elif TOVO_KERNELS_NEON
constexpr KernelPath LADDER[] = {KERNEL_PORTABLE, KERNEL_NEON};
#else
constexpr KernelPath LADDER[] = {KERNEL_PORTABLE};
#endif
constexpr int RUNGS = static_cast<int>(sizeof LADDER / sizeof LADDER[0]);

} // namespace

const char* kernel_path_name(KernelPath path) {
    return path >= 0 && path < KERNEL_PATH_COUNT ? PATH_NAMES[path] : "unknown";
}

bool kernel_path_supported(KernelPath path) {
    switch (path) {
    case KERNEL_PORTABLE:
        return true;
#if TOVO_KERNELS_X86
    // The feature tests below also check that the system saves the wider registers.
    case KERNEL_BASELINE:
        return true;
    case KERNEL_AVX2:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case KERNEL_AVX512:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f");
#endif
#if TOVO_KERNELS_NEON
    // Advanced SIMD, with its fused multiply-add, is part of every aarch64 CPU.
    case KERNEL_NEON:
        return true;
#endif
    default:
        return false;
    }
}

KernelPath choose_kernel_path(const char* request) {
    int ceiling = RUNGS - 1;
    for (int r = 0; request && r < RUNGS; ++r)
        if (std::strcmp(request, PATH_NAMES[LADDER[r]]) == 0)
            ceiling = r;
    for (int r = ceiling; r > 0; --r)
        if (kernel_path_supported(LADDER[r]))
            return LADDER[r];
    return LADDER[0];
}

KernelPath kernel_path() {
    static const KernelPath chosen = choose_kernel_path(std::getenv("TOVO_KERNEL"));
    return chosen;
}

} // namespace tovo::ambi
