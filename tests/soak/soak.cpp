// SPDX-License-Identifier: GPL-3.0-or-later
// The soak: a cycle script (a box of every class made, connected, sent its messages, run and
// freed) run thousands of times in one patch. Memory must stay flat: the heap in use after the
// last cycle is what it was after the warm-up, once every plug-in is loaded and every buffer
// has grown to its size. Prints the figures; exit status 1 when the heap grew or a line failed.
//   soak SCRIPT CYCLES
#include "app/script.hpp"

#include <malloc.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOVO_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(TOVO_ASAN)
// From the AddressSanitizer runtime (declared here: g++ ships no header for it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

// Bytes the program holds on the heap now.
std::size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__) || defined(TOVO_ASAN)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

// The C library keeps a few freed blocks of each size in per-thread caches that its figures
// count as in use, so the heap would seem to creep until every cache is full. The soak runs with
// those caches off (a setting read at start, hence the second start).
constexpr const char* NO_CACHES = "glibc.malloc.tcache_count=0";

void restart_without_caches(char** argv) {
    const char* tunables = std::getenv("GLIBC_TUNABLES");
    if (tunables && std::string(tunables).find(NO_CACHES) != std::string::npos)
        return;
    const std::string value = tunables ? std::string(tunables) + ":" + NO_CACHES : NO_CACHES;
    setenv("GLIBC_TUNABLES", value.c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("soak: can't restart");
    std::exit(2);
}

long resident_kib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: soak SCRIPT CYCLES\n");
        return 2;
    }
    restart_without_caches(argv);
    std::ifstream file(argv[1]);
    std::stringstream text;
    text << file.rdbuf();
    const long cycles = std::stol(argv[2]);
    // Long enough for every plug-in to load and every container to reach its size.
    const long warmup = cycles / 10 > 10 ? cycles / 10 : 10;
    if (!file || cycles <= warmup) {
        std::fprintf(stderr, "soak: need a script and more than %ld cycles\n", warmup);
        return 2;
    }

    long lines = 0, failures = 0;
    std::string first_failure;
    tovo::host::Runtime rt(TOVO_EXTERNALS_DIR, [&](std::string_view line) {
        ++lines;
        if (line.starts_with("error") || line.starts_with("bug")) {
            if (failures++ == 0)
                first_failure = line;
        }
    });
    tovo::app::Script script(rt);
    auto cycle = [&] {
        std::istringstream in(text.str());
        script.run(in);
    };

    for (long c = 0; c < warmup; ++c)
        cycle();
    const std::size_t heap_before = heap_in_use();
    const long resident_before = resident_kib();
    for (long c = warmup; c < cycles; ++c)
        cycle();
    const std::size_t heap_after = heap_in_use();
    const long resident_after = resident_kib();

    std::printf("soak: %ld cycles, %ld console lines\n", cycles, lines);
    std::printf("soak: heap in use %zu bytes after %ld warm-up cycles, %zu bytes after all %ld\n",
                heap_before, warmup, heap_after, cycles);
    std::printf("soak: resident %ld KiB, then %ld KiB\n", resident_before, resident_after);
    if (failures > 0) {
        std::printf("soak: %ld error lines, the first: %s\n", failures, first_failure.c_str());
        return 1;
    }
    if (heap_after > heap_before) {
        std::printf("soak: the heap grew by %zu bytes\n", heap_after - heap_before);
        return 1;
    }
    return 0;
}
