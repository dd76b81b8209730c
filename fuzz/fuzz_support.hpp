// SPDX-License-Identifier: GPL-3.0-or-later
// What both fuzz targets share: the package's classes, loading their plug-ins before the first
// input (so coverage counts them from the start), the console lines only a fault prints, and a
// folder of sound files for sfplay~ and sfrecord~ to meet.
#pragma once

#include "host/runtime.hpp"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tovo::fuzz {

inline constexpr const char* PACKAGE_CLASSES[] = {
    "tovo.ambi.encode~",
    "tovo.ambi.decode~",
    "tovo.ambi.binaural~",
    "tovo.ambi.rotate~",
    "tovo.ambi.convert~",
    "tovo.ambi.allrad~",
    "quat",
    "rot.apply",
    "rot.reverse",
    "rot.fromturn",
    "rot.toturn",
    "rot.fromangles",
    "rot.toangles",
    "rot.direction",
    "rot.fromypr",
    "rot.toypr",
    "tovo.gl.bounds",
    "tovo",
};

[[noreturn]] inline void fault(std::string_view what, std::string_view line) {
    std::fprintf(stderr, "fuzz: %.*s: %.*s\n", static_cast<int>(what.size()), what.data(),
                 static_cast<int>(line.size()), line.data());
    std::abort();
}

// A plug-in that misuses the host API, or a perform routine that loses its place in the chain.
inline void check_fault_lines(std::string_view line) {
    if (line.starts_with("bug:"))
        fault("host API misused", line);
    if (line.starts_with("error: dsp: ") &&
        line.find("returned the wrong position") != std::string_view::npos)
        fault("perform routine lost its place", line);
}

inline void load_plugins() {
    host::Runtime rt(TOVO_EXTERNALS_DIR, [](std::string_view line) { check_fault_lines(line); });
    for (const char* cls : PACKAGE_CLASSES) {
        std::string why;
        if (!rt.create(std::string("preload ") + cls, cls, {}, why))
            fault("can't load the package", why);
    }
}

// --- the sound-file folder ----------------------------------------------------------------------
// Both targets run in a temporary folder of generated files: valid ones, one at another rate,
// truncated ones, lying headers, no channels, an empty file, a FIFO and a folder. Inputs name
// them as plain words, so every file they touch is in this folder; after each input whatever
// it wrote is removed and any generated file it overwrote is made again.

inline constexpr const char* SOUND_FILES[] = {
    "valid.wav", "rate.wav",  "trunc.wav", "lying.au", "whole.au",
    "zero.wav",  "empty.wav", "fifo",      "folder",
};

struct SoundFolder {
    std::filesystem::path path;
    std::map<std::string, std::string> bytes; // the generated regular files
};

inline SoundFolder& sound_folder() {
    static SoundFolder folder;
    return folder;
}

inline std::string wav_bytes(int rate, int channels, long frames) {
    const std::filesystem::path scratch = sound_folder().path / "scratch.wav";
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* sf = sf_open(scratch.c_str(), SFM_WRITE, &info);
    if (!sf)
        fault("can't make the sound files", sf_strerror(nullptr));
    std::vector<float> samples(static_cast<std::size_t>(frames * channels));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(0.5 * std::sin(0.05 * static_cast<double>(i)));
    sf_writef_float(sf, samples.data(), frames);
    sf_close(sf);
    std::ifstream in(scratch, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), {}};
    std::filesystem::remove(scratch);
    return bytes;
}

inline std::string au_bytes(std::uint32_t claimed, int frames) {
    std::string h = ".snd";
    for (std::uint32_t v : {24u, claimed, 6u, 8000u, 1u})
        for (int shift = 24; shift >= 0; shift -= 8)
            h += static_cast<char>((v >> shift) & 0xff);
    for (int i = 0; i < frames; ++i)
        h += std::string("\x3e\x80\x00\x00", 4); // 0.25
    return h;
}

inline void restore_sound_files() {
    SoundFolder& f = sound_folder();
    for (const auto& [name, bytes] : f.bytes) {
        const std::filesystem::path p = f.path / name;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(p, ec) ||
            std::filesystem::file_size(p, ec) != bytes.size()) {
            std::filesystem::remove_all(p, ec);
            std::ofstream(p, std::ios::binary) << bytes;
        }
    }
    std::error_code ec;
    if (!std::filesystem::is_fifo(f.path / "fifo", ec)) {
        std::filesystem::remove_all(f.path / "fifo", ec);
        ::mkfifo((f.path / "fifo").c_str(), 0600);
    }
    if (!std::filesystem::is_directory(f.path / "folder", ec)) {
        std::filesystem::remove_all(f.path / "folder", ec);
        std::filesystem::create_directory(f.path / "folder", ec);
    }
}

// Makes the folder; called once, before the first input.
inline void enter_sound_folder() {
    SoundFolder& f = sound_folder();
    char name[] = "/tmp/tovo-fuzz-XXXXXX";
    if (!::mkdtemp(name))
        fault("can't make the sound folder", name);
    f.path = name;
    const std::string valid = wav_bytes(8000, 2, 400);
    f.bytes = {
        {"valid.wav", valid},
        {"rate.wav", wav_bytes(44100, 1, 600)},
        {"trunc.wav", valid.substr(0, 30)},
        {"lying.au", au_bytes(40000, 10)},
        {"whole.au", au_bytes(0xffffffffu, 10)},
        {"zero.wav", valid.substr(0, 22) + std::string(2, '\0') + valid.substr(24)},
        {"empty.wav", ""},
    };
    restore_sound_files();
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(sound_folder().path, ec);
    });
}

// One input's stay in the folder: it enters at the start and, at the end, removes what the input
// wrote, makes again what it changed, and goes back where it was (so that paths given to the
// fuzzer on its command line keep their meaning). Made before the input's runtime, so that the
// runtime, and every recorder with it, is gone before the folder is tidied.
class InSoundFolder {
public:
    InSoundFolder() : back_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (back_ < 0 || ::chdir(sound_folder().path.c_str()) != 0)
            fault("can't enter the sound folder", sound_folder().path.string());
    }
    ~InSoundFolder() {
        SoundFolder& f = sound_folder();
        std::vector<std::filesystem::path> extra;
        for (const auto& entry : std::filesystem::directory_iterator(f.path)) {
            const std::string name = entry.path().filename().string();
            if (!f.bytes.contains(name) && name != "fifo" && name != "folder")
                extra.push_back(entry.path());
        }
        std::error_code ec;
        for (const auto& p : extra)
            std::filesystem::remove_all(p, ec);
        restore_sound_files();
        if (::fchdir(back_) != 0)
            fault("can't leave the sound folder", f.path.string());
        ::close(back_);
    }
    InSoundFolder(const InSoundFolder&) = delete;
    InSoundFolder& operator=(const InSoundFolder&) = delete;

private:
    int back_;
};

} // namespace tovo::fuzz
