// SPDX-License-Identifier: GPL-3.0-or-later
// OpenBLAS loaded twice into the benchmark, each copy in a link-map namespace of its own so that
// each reads its own core type when it starts: one with the best kernels for this CPU forced,
// one with the library's own detection. Both run single-threaded.
#pragma once

#include <cblas.h>

#include <string>

namespace tovo::bench {

struct OpenBlas {
    decltype(&cblas_sgemm) sgemm = nullptr; // null when the library could not be loaded
    std::string core;                       // the core type the copy runs with
};

// The core type OpenBLAS should run on this CPU at best ("SkylakeX", "Haswell"), or null when
// its detection cannot be bettered.
const char* best_openblas_core();

// A copy with `core` forced, or with its own detection when `core` is null.
OpenBlas load_openblas(const char* core);

} // namespace tovo::bench
