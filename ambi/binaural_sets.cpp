// SPDX-License-Identifier: GPL-3.0-or-later
// The shared binaural designs: a short list, most recently used first, keyed by the file as it
// stands on disk, the rate and the format.
#include "binaural_sets.hpp"

#include "hrir_set.hpp"

#include <sys/stat.h>

#include <cstdint>
#include <list>
#include <mutex>

namespace tovo::ambi {

namespace {

// Designs kept when no box holds them: a few formats and rates of a set or two.
constexpr std::size_t KEPT = 8;

struct Key {
    std::string path;
    std::int64_t size;
    std::int64_t modified_ns;
    std::uint64_t device, inode;
    double rate;
    int dimension, order;
    bool operator==(const Key&) const = default;
};

struct Entry {
    Key key;
    std::shared_ptr<const BinauralDesign> design;
};

std::mutex& designs_mutex() {
    static std::mutex m;
    return m;
}

std::list<Entry>& designs() {
    static std::list<Entry> kept;
    return kept;
}

} // namespace

std::shared_ptr<const BinauralDesign> binaural_design_for(const std::string& path, double rate,
                                                          const AmbiFormat& format,
                                                          std::string& reason) {
    if (!(rate >= MIN_RATE_HZ && rate <= MAX_RATE_HZ)) {
        reason = "no filters are made for a sample rate outside 1000 to 768000 Hz";
        return nullptr;
    }
    struct stat info {};
    const bool known = ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    const Key key{path,
                  known ? static_cast<std::int64_t>(info.st_size) : -1,
                  known ? static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                              info.st_mtim.tv_nsec
                        : -1,
                  known ? static_cast<std::uint64_t>(info.st_dev) : 0,
                  known ? static_cast<std::uint64_t>(info.st_ino) : 0,
                  rate,
                  format.dimension,
                  format.order};
    std::lock_guard lock(designs_mutex());
    std::list<Entry>& kept = designs();
    if (known)
        for (auto it = kept.begin(); it != kept.end(); ++it)
            if (it->key == key) {
                kept.splice(kept.begin(), kept, it);
                return it->design;
            }

    // Anything else goes to libmysofa, which also says why a file is no set.
    HrirSet set;
    if (!set.open(path, reason))
        return nullptr;
    auto design = std::make_shared<BinauralDesign>();
    design->filters = design_binaural(set, rate, format);
    design->path = path;
    design->measurements = set.measurements();
    design->file_rate = set.sample_rate();
    if (known) {
        kept.push_front({key, design});
        if (kept.size() > KEPT)
            kept.pop_back();
    }
    return design;
}

} // namespace tovo::ambi
