// SPDX-License-Identifier: GPL-3.0-or-later
// sfplay~ and sfrecord~: sound files in and out of a patch, through libsndfile. sfplay~ reads
// its whole file when it opens it, so playing never waits on the disk.
#include "host/builtins/builtins.hpp"

#include <algorithm>
#include <sndfile.h>

#include <type_traits>
#include <vector>

namespace tovo::builtins {
using namespace host;

namespace {

constexpr int MAX_CHANNELS = 64;

int channels_from(short argc, Atom* argv, int at, int fallback) {
    if (argc > at && argv[at].a_type == A_LONG && atom_to_long(argv[at]) > 0)
        return std::min(atom_to_long(argv[at]), MAX_CHANNELS);
    return fallback;
}

Symbol* file_from(short argc, Atom* argv) {
    return argc > 0 && argv[0].a_type == A_SYM ? argv[0].a_w.w_sym : nullptr;
}

// --- sfplay~ FILE [CHANNELS]: plays a sound file ------------------------------------------------
// One signal outlet per channel (the file's count unless CHANNELS is given), and a right outlet
// that bangs when the end is reached. 1 or "start" plays from the start, 0 or "stop" stops,
// "open FILE" loads another file.

struct SfPlay {
    SignalObject z;
    Outlet* done;
    Clock* done_clock;
    float* frames; // the whole file, interleaved
    long frame_count;
    int file_channels;
    int outlets;
    long position; // next frame to play
    int playing;
};
static_assert(std::is_standard_layout_v<SfPlay> &&
              std::is_trivially_default_constructible_v<SfPlay>);

Class* sfplay_class;

// Loads the file in place of the current one; false (with an error line) when it can't.
bool sfplay_load(SfPlay* x, Symbol* file) {
    SF_INFO info{};
    SNDFILE* sf = sf_open(file->s_name, SFM_READ, &info);
    if (!sf) {
        error("sfplay~: can't open %s: %s", file->s_name, sf_strerror(nullptr));
        return false;
    }
    const long bytes = static_cast<long>(info.frames * info.channels * sizeof(float));
    auto* frames = static_cast<float*>(sysmem_newptr(bytes));
    const sf_count_t got = sf_readf_float(sf, frames, info.frames);
    sf_close(sf);
    sysmem_freeptr(x->frames);
    x->frames = frames;
    x->frame_count = static_cast<long>(got);
    x->file_channels = info.channels;
    x->position = 0;
    x->playing = 0;
    return true;
}

void sfplay_ended(SfPlay* x) {
    outlet_bang(x->done);
}

void* sfplay_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<SfPlay*>(newobject(sfplay_class));
    Symbol* file = file_from(argc, argv);
    const bool loaded = file && sfplay_load(x, file);
    x->outlets = channels_from(argc, argv, 1, loaded ? x->file_channels : 1);
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
    sysmem_freeptr(x->frames);
}

void sfplay_start(SfPlay* x) {
    x->position = 0;
    x->playing = x->frames != nullptr;
}

void sfplay_stop(SfPlay* x) {
    x->playing = 0;
}

void sfplay_list(SfPlay* x, Symbol*, short argc, Atom* argv) {
    if (argc > 0 && atom_to_double(argv[0]) != 0)
        sfplay_start(x);
    else
        sfplay_stop(x);
}

void sfplay_open(SfPlay* x, Symbol*, short argc, Atom* argv) {
    if (Symbol* file = file_from(argc, argv))
        sfplay_load(x, file);
    else
        error("sfplay~: open needs a file name");
}

// w: x, n, then one buffer per outlet
std::intptr_t* sfplay_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<SfPlay*>(w[1]);
    const long n = static_cast<long>(w[2]);
    for (int c = 0; c < x->outlets; ++c) {
        auto* out = reinterpret_cast<float*>(w[3 + c]);
        for (long j = 0; j < n; ++j) {
            const long frame = x->position + j;
            out[j] = x->playing && frame < x->frame_count && c < x->file_channels
                         ? x->frames[frame * x->file_channels + c]
                         : 0.0f;
        }
    }
    if (x->playing) {
        x->position += n;
        if (x->position >= x->frame_count) {
            x->playing = 0;
            clock_delay(x->done_clock, 0); // the bang goes out at the next boundary
        }
    }
    return w + 3 + x->outlets;
}

void sfplay_dsp(SfPlay* x, Signal** sp, short*) {
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

struct SfRecord {
    SignalObject z;
    Symbol* file;
    int channels;
    SNDFILE* sf;        // open while recording
    float* interleaved; // one vector of frames
    long frames_recorded;
};
static_assert(std::is_standard_layout_v<SfRecord> &&
              std::is_trivially_default_constructible_v<SfRecord>);

Class* sfrecord_class;

void sfrecord_stop(SfRecord* x) {
    if (x->sf)
        sf_close(x->sf);
    x->sf = nullptr;
}

void sfrecord_start(SfRecord* x) {
    sfrecord_stop(x);
    if (!x->file) {
        error("sfrecord~: no file to record to");
        return;
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(sys_getsr());
    info.channels = x->channels;
    info.format = (x->channels > 2 ? SF_FORMAT_WAVEX : SF_FORMAT_WAV) | SF_FORMAT_FLOAT;
    x->sf = sf_open(x->file->s_name, SFM_WRITE, &info);
    if (!x->sf)
        error("sfrecord~: can't write %s: %s", x->file->s_name, sf_strerror(nullptr));
    x->frames_recorded = 0;
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
    auto* x = static_cast<SfRecord*>(newobject(sfrecord_class));
    x->file = file_from(argc, argv);
    x->channels = channels_from(argc, argv, 1, 1);
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
    if (x->sf && x->interleaved) {
        for (int c = 0; c < x->channels; ++c) {
            const auto* in = reinterpret_cast<const float*>(w[3 + c]);
            for (long j = 0; j < n; ++j)
                x->interleaved[j * x->channels + c] = in[j];
        }
        x->frames_recorded += static_cast<long>(sf_writef_float(x->sf, x->interleaved, n));
    }
    return w + 3 + x->channels;
}

void sfrecord_dsp(SfRecord* x, Signal** sp, short*) {
    sysmem_freeptr(x->interleaved);
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
