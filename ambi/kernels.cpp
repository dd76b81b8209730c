// SPDX-License-Identifier: GPL-3.0-or-later
// The choice of kernel path: what the CPU runs, and what TOVO_KERNEL asks for. Built for baseline
// x86-64 like the rest of the plug-ins; only the per-path files carry other instruction sets.
#include "kernels.hpp"

#include <cstdlib>
#include <cstring>

namespace tovo::ambi {

namespace {

constexpr const char* PATH_NAMES[KERNEL_PATH_COUNT] = {"baseline", "avx2", "avx512"};

} // namespace

const char* kernel_path_name(KernelPath path) {
    return path >= 0 && path < KERNEL_PATH_COUNT ? PATH_NAMES[path] : "unknown";
}

bool kernel_path_supported(KernelPath path) {
    // The feature tests below also check that the system saves the wider registers.
    __builtin_cpu_init();
    switch (path) {
    case KERNEL_BASELINE:
        return true;
    case KERNEL_AVX2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case KERNEL_AVX512:
        return __builtin_cpu_supports("avx512f");
    }
    return false;
}

KernelPath choose_kernel_path(const char* request) {
    int ceiling = KERNEL_PATH_COUNT - 1;
    for (int p = 0; request && p < KERNEL_PATH_COUNT; ++p)
        if (std::strcmp(request, PATH_NAMES[p]) == 0)
            ceiling = p;
    for (int p = ceiling; p > 0; --p)
        if (kernel_path_supported(static_cast<KernelPath>(p)))
            return static_cast<KernelPath>(p);
    return KERNEL_BASELINE;
}

KernelPath kernel_path() {
    static const KernelPath chosen = choose_kernel_path(std::getenv("TOVO_KERNEL"));
    return chosen;
}

} // namespace tovo::ambi
