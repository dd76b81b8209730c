// SPDX-License-Identifier: GPL-3.0-or-later
// dlmopen gives each copy its own globals, so the core type each reads at start-up is the one
// the environment holds at that moment; the environment is put back after each load.
#include "bench/openblas.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <optional>

namespace tovo::bench {

namespace {

constexpr const char* LIBRARY = "libopenblas.so.0";

// Sets or unsets an environment variable for the life of the object.
class EnvironmentOverride {
public:
    EnvironmentOverride(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvironmentOverride() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }
    EnvironmentOverride(const EnvironmentOverride&) = delete;
    EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

} // namespace

const char* best_openblas_core() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        return "SkylakeX";
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return "Haswell";
    return nullptr;
}

OpenBlas load_openblas(const char* core) {
    const EnvironmentOverride threads("OPENBLAS_NUM_THREADS", "1");
    const EnvironmentOverride core_type("OPENBLAS_CORETYPE", core);
    // The library's own detection is measured as it comes, without a cache size set for it.
    std::optional<EnvironmentOverride> l2_size;
    if (!core)
        l2_size.emplace("OPENBLAS_L2_SIZE", nullptr);
    void* library = dlmopen(LM_ID_NEWLM, LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return {};
    auto set_threads = reinterpret_cast<void (*)(int)>(dlsym(library, "openblas_set_num_threads"));
    auto core_name = reinterpret_cast<char* (*)()>(dlsym(library, "openblas_get_corename"));
    auto sgemm = reinterpret_cast<decltype(&cblas_sgemm)>(dlsym(library, "cblas_sgemm"));
    if (!set_threads || !core_name || !sgemm)
        return {};
    set_threads(1);
    return {sgemm, core_name()};
}

} // namespace tovo::bench
