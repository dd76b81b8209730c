// SPDX-License-Identifier: GPL-3.0-or-later
// Kernel tests run once per path: a fixture that skips a path this CPU cannot run, and every
// path with each test named after it.
#pragma once

#include "ambi/kernels.hpp"

#include <gtest/gtest.h>

#include <string>

namespace tovo::testing {

class KernelPathTest : public ::testing::TestWithParam<ambi::KernelPath> {
protected:
    void SetUp() override {
        if (!ambi::kernel_path_supported(GetParam()))
            GTEST_SKIP() << "this CPU does not run the " << ambi::kernel_path_name(GetParam())
                         << " path: it is not tested here";
    }
    const ambi::KernelTable& kernel() const { return ambi::kernels(GetParam()); }
};

// Every path, the portable one first; the paths of other architectures are reported as skipped.
inline constexpr ambi::KernelPath EVERY_KERNEL_PATH[] = {ambi::KERNEL_PORTABLE,
                                                         ambi::KERNEL_BASELINE, ambi::KERNEL_AVX2,
                                                         ambi::KERNEL_AVX512, ambi::KERNEL_NEON};

inline std::string kernel_path_test_name(const ::testing::TestParamInfo<ambi::KernelPath>& info) {
    return ambi::kernel_path_name(info.param);
}

} // namespace tovo::testing
