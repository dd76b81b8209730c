// SPDX-License-Identifier: GPL-3.0-or-later
// The layout of the field rotator's coefficients: which channels form each order's block, and
// how many coefficients a format has. The loops themselves are kernels, one per instruction set
// (kernel_body.hpp).
#include "rotate_kernel.hpp"

namespace tovo::ambi {

int rotation_block(std::int32_t order, std::int32_t dimension, std::int32_t n, int* channels) {
    // The two horizontal channels of order n stand at 2n - 1 and 2n; in 3-D the height channels
    // of the lower orders (1, 3, 5, ... of them) come before order n's 2n - 1.
    channels[0] = 2 * n - 1;
    channels[1] = 2 * n;
    if (dimension != 3)
        return 2;
    const int first_height = 2 * order + 1 + (n - 1) * (n - 1);
    for (int k = 0; k < 2 * n - 1; ++k)
        channels[2 + k] = first_height + k;
    return 2 * n + 1;
}

int rotation_coefficient_count(std::int32_t order, std::int32_t dimension) {
    int count = 0;
    for (std::int32_t n = 1; n <= order; ++n) {
        const int size = dimension == 3 ? 2 * n + 1 : 2;
        count += size * size;
    }
    return count;
}

} // namespace tovo::ambi
