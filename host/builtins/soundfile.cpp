// SPDX-License-Identifier: GPL-3.0-or-later
// sfplay~ and sfrecord~: sound files in and out of a patch, through libsndfile. sfplay~ streams
// its file in fixed blocks, converted to the chain's rate with libsamplerate; sfrecord~ writes
// RF64 that stays plain WAV while it is small, and keeps the header up to date as it goes.
#include "host/builtins/builtins.hpp"

#include <fcntl.h>
#include <samplerate.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace tovo::builtins {
using namespace host;

namespace {

constexpr int MAX_CHANNELS = 64;

Symbol* file_from(short argc, Atom* argv) {
    return argc > 0 && argv[0].a_type == A_SYM ? argv[0].a_w.w_sym : nullptr;
}

// The CHANNELS creation argument: an integer from 1 to 64, or absent (the fallback). False, with
// an error line, for an integer outside that range.
bool channels_from(const char* cls, short argc, Atom* argv, int fallback, int& channels) {
    channels = fallback;
    if (argc < 2 || argv[1].a_type != A_LONG)
        return true;
    const std::int32_t n = atom_to_long(argv[1]);
    if (n < 1 || n > MAX_CHANNELS) {
        error("%s: %d channels: the count is from 1 to %d", cls, static_cast<int>(n), MAX_CHANNELS);
        return false;
    }
    channels = n;
    return true;
}

// --- sfplay~ FILE [CHANNELS]: plays a sound file ------------------------------------------------
// One signal outlet per channel (the file's count unless CHANNELS is given), and a right outlet
// that bangs when the end is reached. 1 or "start" plays from the start, 0 or "stop" stops,
// "open FILE" names another file.
//
// A start opens the file afresh as a Stream, with every buffer it will need, and hands it to the
// perform routine through an atomic slot. The perform routine reads the file a block at a time
// into those buffers and converts it to the chain's rate; it never allocates, locks or waits on
// anything but a read of a regular file (pipes, FIFOs and devices are refused at opening).
// Streams it lets go of come back to the message side on an atomic list, which frees them.
// So playing is safe with the chain on a thread of its own (Runtime::tick_signal) while
// messages arrive on another, and memory does not grow with the file's length.

constexpr long READ_FRAMES = 1024;    // frames read from the file at a time
constexpr long CONVERT_FRAMES = 1024; // frames converted at a time

struct Stream {
    SNDFILE* sf = nullptr;
    int fd = -1;
    SRC_STATE* converter = nullptr; // made when the file's rate and the chain's differ
    int channels = 0;
    double rate = 0;
    std::vector<float> read;     // READ_FRAMES frames, interleaved
    long read_count = 0;         // frames in `read`
    long read_at = 0;            // the next one to use
    bool file_done = false;      // the file has no more frames
    std::vector<float> ready;    // CONVERT_FRAMES frames at the chain's rate
    long ready_count = 0;        // frames in `ready`
    long ready_at = 0;           // the next one to play
    bool ended = false;          // nothing more will come
    Stream* next_done = nullptr; // on the list of streams the perform routine let go of

    ~Stream() {
        if (converter)
            src_delete(converter);
        if (sf)
            sf_close(sf);
        if (fd >= 0)
            ::close(fd);
    }
};

// Handed to the perform routine in place of a stream: stop playing.
Stream STOP;

struct SfPlay {
    SignalObject z;
    Outlet* done;
    Clock* done_clock;
    Symbol* file;      // what a start plays
    int file_channels; // its channel count when it was last opened
    int outlets;
    double chain_rate; // set by "dsp"
    Stream* handed;    // message side -> perform routine (atomic)
    Stream* playing;   // the perform routine's own
    Stream* let_go;    // perform routine -> message side, a list (atomic)
};
static_assert(std::is_standard_layout_v<SfPlay> &&
              std::is_trivially_default_constructible_v<SfPlay>);

Class* sfplay_class;

// Opens a file to play; null, with an error line, when it cannot be played.
Stream* sfplay_open_stream(Symbol* file, double chain_rate) {
    const auto refuse = [&](const std::string& why) {
        error("sfplay~: can't open %s: %s", file->s_name, why.c_str());
        return nullptr;
    };
    // Never waits for a writer: a FIFO opened without O_NONBLOCK would block until one came.
    const int fd = ::open(file->s_name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return refuse(std::strerror(errno));
    auto* s = new Stream;
    s->fd = fd;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        delete s;
        return refuse("not a regular file");
    }
    SF_INFO info{};
    s->sf = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
    if (!s->sf) {
        const std::string why = sf_strerror(nullptr);
        delete s;
        return refuse(why);
    }
    if (info.channels < 1 || info.samplerate < 1) {
        delete s;
        return refuse("the file gives no channels or no sample rate");
    }
    s->channels = info.channels;
    s->rate = info.samplerate;
    s->read.assign(static_cast<std::size_t>(READ_FRAMES) * info.channels, 0.0f);
    s->ready.assign(static_cast<std::size_t>(CONVERT_FRAMES) * info.channels, 0.0f);
    if (chain_rate > 0 && chain_rate != s->rate) {
        if (!src_is_valid_ratio(chain_rate / s->rate)) {
            delete s;
            return refuse("its rate, " + std::to_string(info.samplerate) +
                          " Hz, is too far from the chain's to convert");
        }
        int problem = 0;
        s->converter = src_new(SRC_SINC_BEST_QUALITY, info.channels, &problem);
        if (!s->converter) {
            delete s;
            return refuse(src_strerror(problem));
        }
    }
    return s;
}

// Fills the stream's ready frames: read straight from the file at the chain's rate, or
// converted. False when the stream has nothing more.
bool sfplay_refill(Stream* s, double chain_rate) {
    s->ready_at = s->ready_count = 0;
    if (!s->converter) {
        const sf_count_t got = sf_readf_float(s->sf, s->ready.data(), CONVERT_FRAMES);
        s->ready_count = got > 0 ? static_cast<long>(got) : 0;
        return s->ready_count > 0;
    }
    for (;;) {
        if (s->read_at == s->read_count && !s->file_done) {
            const sf_count_t got = sf_readf_float(s->sf, s->read.data(), READ_FRAMES);
            s->read_count = got > 0 ? static_cast<long>(got) : 0;
            s->read_at = 0;
            s->file_done = s->read_count == 0;
        }
        SRC_DATA d{};
        d.data_in = s->read.data() + s->read_at * s->channels;
        d.input_frames = s->read_count - s->read_at;
        d.data_out = s->ready.data();
        d.output_frames = CONVERT_FRAMES;
        d.end_of_input = s->file_done ? 1 : 0;
        d.src_ratio = chain_rate / s->rate;
        if (src_process(s->converter, &d) != 0)
            return false;
        s->read_at += d.input_frames_used;
        s->ready_count = d.output_frames_gen;
        if (s->ready_count > 0)
            return true;
        if (s->file_done)
            return false;
    }
}

// Frees the streams the perform routine has let go of.
void sfplay_collect(SfPlay* x) {
    Stream* s = std::atomic_ref<Stream*>(x->let_go).exchange(nullptr, std::memory_order_acquire);
    while (s) {
        Stream* next = s->next_done;
        delete s;
        s = next;
    }
}

// Hands a stream (or STOP) to the perform routine; one it has not taken yet is replaced.
void sfplay_hand(SfPlay* x, Stream* s) {
    sfplay_collect(x);
    Stream* old = std::atomic_ref<Stream*>(x->handed).exchange(s, std::memory_order_acq_rel);
    if (old && old != &STOP)
        delete old;
}

void sfplay_ended(SfPlay* x) {
    outlet_bang(x->done);
}

void* sfplay_new(Symbol*, short argc, Atom* argv) {
    int outlets = 0;
    if (!channels_from("sfplay~", argc, argv, 0, outlets))
        return nullptr;
    auto* x = static_cast<SfPlay*>(newobject(sfplay_class));
    if (Symbol* file = file_from(argc, argv))
        if (Stream* s = sfplay_open_stream(file, 0)) {
            x->file = file;
            x->file_channels = s->channels;
            delete s;
        }
    x->outlets = outlets > 0 ? outlets : std::clamp(x->file_channels, 1, MAX_CHANNELS);
    z_dsp_setup(&x->z, 0);
    x->done_clock = clock_new(x, sfplay_ended);
    x->done = outlet_new(x, nullptr);
    for (int c = 0; c < x->outlets; ++c)
        outlet_new(x, "signal");
    return x;
}

void sfplay_free(SfPlay* x) {
    z_dsp_free(&x->z);
    clock_free(x->done_clock);
    sfplay_collect(x);
    if (x->handed != &STOP)
        delete x->handed;
    delete x->playing;
}

void sfplay_start(SfPlay* x) {
    if (!x->file) {
        sfplay_hand(x, &STOP);
        return;
    }
    const double rate = x->chain_rate > 0 ? x->chain_rate : sys_getsr();
    Stream* s = sfplay_open_stream(x->file, rate);
    sfplay_hand(x, s ? s : &STOP);
}

void sfplay_stop(SfPlay* x) {
    sfplay_hand(x, &STOP);
}

void sfplay_list(SfPlay* x, Symbol*, short argc, Atom* argv) {
    if (argc > 0 && atom_to_double(argv[0]) != 0)
        sfplay_start(x);
    else
        sfplay_stop(x);
}

void sfplay_open(SfPlay* x, Symbol*, short argc, Atom* argv) {
    Symbol* file = file_from(argc, argv);
    if (!file) {
        error("sfplay~: open needs a file name");
        return;
    }
    if (Stream* s = sfplay_open_stream(file, 0)) {
        x->file = file;
        x->file_channels = s->channels;
        delete s;
        sfplay_hand(x, &STOP);
    }
}

// w: x, n, then one buffer per outlet
std::intptr_t* sfplay_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<SfPlay*>(w[1]);
    const long n = static_cast<long>(w[2]);
    auto** out = reinterpret_cast<float**>(w + 3);
    if (Stream* h =
            std::atomic_ref<Stream*>(x->handed).exchange(nullptr, std::memory_order_acq_rel)) {
        if (Stream* old = x->playing) {
            std::atomic_ref<Stream*> list(x->let_go);
            old->next_done = list.load(std::memory_order_relaxed);
            while (!list.compare_exchange_weak(old->next_done, old, std::memory_order_release))
                ;
        }
        x->playing = h == &STOP ? nullptr : h;
    }
    long j = 0;
    Stream* s = x->playing;
    if (s && !s->ended) {
        while (j < n) {
            if (s->ready_at == s->ready_count && !sfplay_refill(s, x->chain_rate))
                break;
            const long take = std::min(n - j, s->ready_count - s->ready_at);
            for (int c = 0; c < x->outlets; ++c) {
                const float* from = s->ready.data() + s->ready_at * s->channels + c;
                for (long k = 0; k < take; ++k)
                    out[c][j + k] = c < s->channels ? from[k * s->channels] : 0.0f;
            }
            j += take;
            s->ready_at += take;
        }
        // The end is known as soon as the last frames went out: the bang follows at once.
        if (j < n || (s->ready_at == s->ready_count && !sfplay_refill(s, x->chain_rate))) {
            s->ended = true;
            clock_delay(x->done_clock, 0); // the bang goes out at the next boundary
        }
    }
    for (int c = 0; c < x->outlets; ++c)
        std::fill(out[c] + j, out[c] + n, 0.0f);
    return w + 3 + x->outlets;
}

void sfplay_dsp(SfPlay* x, Signal** sp, short*) {
    x->chain_rate = sp[0]->s_sr;
    // The chain is not running while it is built: a stream made for another rate gets its
    // converter here, never in the perform routine.
    for (Stream* s : {x->playing, x->handed})
        if (s && s != &STOP && !s->converter && s->rate != x->chain_rate) {
            int problem = 0;
            s->converter = src_is_valid_ratio(x->chain_rate / s->rate)
                               ? src_new(SRC_SINC_BEST_QUALITY, s->channels, &problem)
                               : nullptr;
            if (!s->converter)
                s->ended = true;
        }
    std::vector<void*> args{x, reinterpret_cast<void*>(sp[0]->s_n)};
    for (int c = 0; c < x->outlets; ++c)
        args.push_back(sp[c]->s_vec);
    dsp_addv(sfplay_perform, static_cast<long>(args.size()), args.data());
}

void sfplay_assist(SfPlay* x, void*, long kind, long index, char* text) {
    if (kind == 1)
        sprintf(text, "1/start, 0/stop, open FILE");
    else if (index < x->outlets)
        sprintf(text, "channel %ld (signal)", index);
    else
        sprintf(text, "bang when the end is reached");
}

// --- sfrecord~ FILE [CHANNELS]: records its inlets to a float WAV file ---------------------------
// 1 or "start" (re)writes the file from its beginning, 0 or "stop" closes it, "open FILE"
// names another file. Freeing the box closes the file too.
//
// Everything that could refuse a recording is checked before the file is opened, so a start
// that fails leaves an existing file as it was. The file is RF64, written as plain WAV while it
// stays under 4 GiB; its header is brought up to date after every second of audio, so a process
// that dies leaves a file that reads back to that point.

struct SfRecord {
    SignalObject z;
    Symbol* file;
    int channels;
    int rate;           // of the recording under way
    SNDFILE* sf;        // open while recording
    float* interleaved; // one vector of frames
    long interleaved_frames;
    long long frames_recorded;
    long long frames_since_header;
    int failed; // a write failed: nothing more is written until the next start
    unsigned long long device, inode;
};
static_assert(std::is_standard_layout_v<SfRecord> &&
              std::is_trivially_default_constructible_v<SfRecord>);

Class* sfrecord_class;

// The files being recorded in this process, by device and inode: a second recorder on one of
// them would write a second header over the first one's data.
std::set<std::pair<unsigned long long, unsigned long long>>& files_recording() {
    static std::set<std::pair<unsigned long long, unsigned long long>> files;
    return files;
}

void sfrecord_stop(SfRecord* x) {
    if (!x->sf)
        return;
    if (sf_close(x->sf) != 0 && !x->failed)
        error("sfrecord~: closing %s failed: its header may be wrong", x->file->s_name);
    x->sf = nullptr;
    files_recording().erase({x->device, x->inode});
}

// Why the patch's current settings cannot be recorded to x->file; empty when they can.
std::string sfrecord_refusal(SfRecord* x, SF_INFO& info) {
    namespace fs = std::filesystem;
    const double sr = sys_getsr();
    // The header holds the rate and the bytes a second of audio takes in 32 bits each.
    const double top = static_cast<double>(0xffffffffu / (4u * static_cast<unsigned>(x->channels)));
    if (!(sr >= 1 && sr <= top && sr == static_cast<double>(static_cast<long long>(sr)))) {
        char text[160];
        snprintf(text, sizeof text,
                 "the sample rate %.10g Hz can't be written: a sound file takes a whole number "
                 "of Hz from 1 to %.0f for %d channels",
                 sr, top, x->channels);
        return text;
    }
    info = SF_INFO{};
    info.samplerate = static_cast<int>(sr);
    info.channels = x->channels;
    info.format = SF_FORMAT_RF64 | SF_FORMAT_FLOAT;
    if (!sf_format_check(&info))
        return "the format does not take " + std::to_string(x->channels) + " channels at " +
               std::to_string(info.samplerate) + " Hz";
    const fs::path path(x->file->s_name);
    std::error_code ec;
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    if (!fs::is_directory(folder, ec))
        return "there is no folder " + folder.string();
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        return "the folder " + folder.string() + " can't be written to";
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return "it is not a regular file";
        if (::access(path.c_str(), W_OK) != 0)
            return "the file can't be written to";
        if (files_recording().contains({st.st_dev, st.st_ino}))
            return "another sfrecord~ is recording to it";
    }
    return {};
}

void sfrecord_start(SfRecord* x) {
    sfrecord_stop(x);
    if (!x->file) {
        error("sfrecord~: no file to record to");
        return;
    }
    SF_INFO info{};
    if (const std::string why = sfrecord_refusal(x, info); !why.empty()) {
        error("sfrecord~: can't write %s: %s", x->file->s_name, why.c_str());
        return;
    }
    x->sf = sf_open(x->file->s_name, SFM_WRITE, &info);
    if (!x->sf) {
        error("sfrecord~: can't write %s: %s", x->file->s_name, sf_strerror(nullptr));
        return;
    }
    sf_command(x->sf, SFC_RF64_AUTO_DOWNGRADE, nullptr, SF_TRUE);
    struct stat st {};
    ::stat(x->file->s_name, &st);
    x->device = st.st_dev;
    x->inode = st.st_ino;
    files_recording().insert({x->device, x->inode});
    x->rate = info.samplerate;
    x->frames_recorded = 0;
    x->frames_since_header = 0;
    x->failed = 0;
}

void sfrecord_list(SfRecord* x, Symbol*, short argc, Atom* argv) {
    if (argc > 0 && atom_to_double(argv[0]) != 0)
        sfrecord_start(x);
    else
        sfrecord_stop(x);
}

void sfrecord_open(SfRecord* x, Symbol*, short argc, Atom* argv) {
    sfrecord_stop(x);
    x->file = file_from(argc, argv);
    if (!x->file)
        error("sfrecord~: open needs a file name");
}

void* sfrecord_new(Symbol*, short argc, Atom* argv) {
    int channels = 1;
    if (!channels_from("sfrecord~", argc, argv, 1, channels))
        return nullptr;
    auto* x = static_cast<SfRecord*>(newobject(sfrecord_class));
    x->file = file_from(argc, argv);
    x->channels = channels;
    z_dsp_setup(&x->z, static_cast<short>(x->channels));
    return x;
}

void sfrecord_free(SfRecord* x) {
    z_dsp_free(&x->z);
    sfrecord_stop(x);
    sysmem_freeptr(x->interleaved);
}

// w: x, n, then one buffer per inlet
std::intptr_t* sfrecord_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<SfRecord*>(w[1]);
    const long n = static_cast<long>(w[2]);
    if (x->sf && !x->failed && x->interleaved && n <= x->interleaved_frames) {
        for (int c = 0; c < x->channels; ++c) {
            const auto* in = reinterpret_cast<const float*>(w[3 + c]);
            for (long j = 0; j < n; ++j)
                x->interleaved[j * x->channels + c] = in[j];
        }
        const sf_count_t wrote = sf_writef_float(x->sf, x->interleaved, n);
        x->frames_recorded += wrote > 0 ? wrote : 0;
        if (wrote != n) {
            // A full disk or a file size limit: said once, and the recording stops here; the
            // header is written for what reached the file when the recording is closed.
            x->failed = 1;
            error("sfrecord~: writing %s failed after %lld frames (%s); the recording is stopped",
                  x->file->s_name, x->frames_recorded, sf_strerror(x->sf));
        } else if ((x->frames_since_header += n) >= x->rate) {
            x->frames_since_header = 0;
            sf_command(x->sf, SFC_UPDATE_HEADER_NOW, nullptr, 0);
        }
    }
    return w + 3 + x->channels;
}

void sfrecord_dsp(SfRecord* x, Signal** sp, short*) {
    sysmem_freeptr(x->interleaved);
    x->interleaved_frames = sp[0]->s_n;
    x->interleaved = static_cast<float*>(sysmem_newptr(sp[0]->s_n * x->channels * sizeof(float)));
    std::vector<void*> args{x, reinterpret_cast<void*>(sp[0]->s_n)};
    for (int c = 0; c < x->channels; ++c)
        args.push_back(sp[c]->s_vec);
    dsp_addv(sfrecord_perform, static_cast<long>(args.size()), args.data());
}

void sfrecord_assist(SfRecord*, void*, long kind, long index, char* text) {
    if (kind == 1)
        sprintf(text, "channel %ld (signal); 1/start, 0/stop, open FILE", index);
}

} // namespace

int sfplay_main() {
    setup(&sfplay_class, sfplay_new, sfplay_free, sizeof(SfPlay), 0, A_GIMME, 0);
    addmess(sfplay_list, "list", A_GIMME, 0);
    addmess(sfplay_start, "start", 0);
    addmess(sfplay_stop, "stop", 0);
    addmess(sfplay_open, "open", A_GIMME, 0);
    addmess(sfplay_dsp, "dsp", A_CANT, 0);
    addmess(sfplay_assist, "assist", A_CANT, 0);
    z_add_signalmethod();
    return 0;
}

int sfrecord_main() {
    setup(&sfrecord_class, sfrecord_new, sfrecord_free, sizeof(SfRecord), 0, A_GIMME, 0);
    addmess(sfrecord_list, "list", A_GIMME, 0);
    addmess(sfrecord_start, "start", 0);
    addmess(sfrecord_stop, "stop", 0);
    addmess(sfrecord_open, "open", A_GIMME, 0);
    addmess(sfrecord_dsp, "dsp", A_CANT, 0);
    addmess(sfrecord_assist, "assist", A_CANT, 0);
    z_add_signalmethod();
    return 0;
}

} // namespace tovo::builtins
