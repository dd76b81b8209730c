// SPDX-License-Identifier: GPL-3.0-or-later
// Signal sources: sig~ (a constant), cycle~ (a cosine oscillator) and noise~ (white noise from
// a seed, the same samples on every run); and snapshot~, which reads a signal back as numbers.
#include "host/builtins/builtins.hpp"
#include <tovo/relaxed.hpp>

#include <array>
#include <cmath>
#include <cstdint>
#include <type_traits>

namespace tovo::builtins {
using namespace host;

namespace {

// --- sig~ [VALUE]: a constant signal ------------------------------------------------------------

struct Sig {
    SignalObject z;
    float value; // written by "list", read once per vector
};
static_assert(std::is_standard_layout_v<Sig> && std::is_trivially_default_constructible_v<Sig>);

Class* sig_class;

void* sig_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<Sig*>(newobject(sig_class));
    z_dsp_setup(&x->z, 0);
    x->value = argc > 0 ? static_cast<float>(atom_to_double(argv[0])) : 0.0f;
    outlet_new(x, "signal");
    return x;
}

void sig_list(Sig* x, Symbol*, short argc, Atom* argv) {
    if (argc > 0)
        store_relaxed(x->value, static_cast<float>(atom_to_double(argv[0])));
}

std::intptr_t* sig_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<Sig*>(w[1]);
    const long n = static_cast<long>(w[2]);
    auto* out = reinterpret_cast<float*>(w[3]);
    const float v = load_relaxed(x->value);
    for (long j = 0; j < n; ++j)
        out[j] = v;
    return w + 4;
}

void sig_dsp(Sig* x, Signal** sp, short*) {
    void* args[] = {x, reinterpret_cast<void*>(sp[0]->s_n), sp[0]->s_vec};
    dsp_addv(sig_perform, 3, args);
}

void sig_assist(Sig*, void*, long kind, long, char* text) {
    sprintf(text, kind == 1 ? "number: the value (float)" : "constant value (signal)");
}

// --- cycle~ [FREQUENCY]: cosine oscillator -----------------------------------------------------

constexpr int TABLE_SIZE = 2048; // one period, plus a guard point for interpolation

const std::array<float, TABLE_SIZE + 1>& cosine_table() {
    static const auto table = [] {
        std::array<float, TABLE_SIZE + 1> t{};
        for (int i = 0; i <= TABLE_SIZE; ++i)
            t[i] = static_cast<float>(std::cos(2.0 * M_PI * i / TABLE_SIZE));
        return t;
    }();
    return table;
}

struct Cycle {
    SignalObject z;
    float frequency; // Hz, used while no signal is connected to the inlet
    double phase;    // in periods, 0 to 1
    double period;   // seconds per sample
};
static_assert(std::is_standard_layout_v<Cycle> && std::is_trivially_default_constructible_v<Cycle>);

Class* cycle_class;

void* cycle_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<Cycle*>(newobject(cycle_class));
    z_dsp_setup(&x->z, 1);
    x->frequency = argc > 0 ? static_cast<float>(atom_to_double(argv[0])) : 0.0f;
    x->period = 1.0 / sys_getsr();
    outlet_new(x, "signal");
    return x;
}

void cycle_list(Cycle* x, Symbol*, short argc, Atom* argv) {
    if (argc > 0)
        store_relaxed(x->frequency, static_cast<float>(atom_to_double(argv[0])));
}

// Reads the table at the phase and moves the phase on by one sample at frequency f.
inline float cycle_step(const float* table, double& phase, double f, double period) {
    const double at = phase * TABLE_SIZE;
    const int i = static_cast<int>(at);
    const float frac = static_cast<float>(at - i);
    const float y = table[i] + frac * (table[i + 1] - table[i]);
    phase += f * period;
    phase -= std::floor(phase);
    if (!(phase >= 0.0 && phase < 1.0)) // a non-finite frequency restarts the period
        phase = 0.0;
    return y;
}

// w: x, n, frequency signal (or null for the stored frequency), out
std::intptr_t* cycle_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<Cycle*>(w[1]);
    const long n = static_cast<long>(w[2]);
    const auto* freq = reinterpret_cast<const float*>(w[3]);
    auto* out = reinterpret_cast<float*>(w[4]);
    const float* table = cosine_table().data();
    const double fixed = load_relaxed(x->frequency);
    double phase = x->phase;
    for (long j = 0; j < n; ++j)
        out[j] = cycle_step(table, phase, freq ? freq[j] : fixed, x->period);
    x->phase = phase;
    return w + 5;
}

void cycle_dsp(Cycle* x, Signal** sp, short* count) {
    x->period = 1.0 / sp[0]->s_sr;
    void* args[] = {x, reinterpret_cast<void*>(sp[0]->s_n), count[0] > 0 ? sp[0]->s_vec : nullptr,
                    sp[1]->s_vec};
    dsp_addv(cycle_perform, 4, args);
}

void cycle_assist(Cycle*, void*, long kind, long, char* text) {
    sprintf(text, kind == 1 ? "frequency in Hz (signal or float)" : "cosine (signal)");
}

// --- noise~ [SEED]: white noise, reproducible -------------------------------------------------

struct Noise {
    SignalObject z;
    std::uint32_t state; // xorshift state, never 0
};
static_assert(std::is_standard_layout_v<Noise> && std::is_trivially_default_constructible_v<Noise>);

Class* noise_class;

std::uint32_t seed_state(std::int32_t seed) {
    const auto s = static_cast<std::uint32_t>(seed);
    return s ? s : 1u;
}

void* noise_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<Noise*>(newobject(noise_class));
    z_dsp_setup(&x->z, 0);
    // A seed is a 32-bit integer; a float seed counts by its integer part.
    std::int32_t seed = 1;
    if (argc > 0) {
        const double v = atom_to_double(argv[0]);
        if (v > -2147483649.0 && v < 2147483648.0)
            seed = atom_to_long(argv[0]);
        else
            error("noise~: seed %g is out of range: a seed is an integer from -2147483648 to "
                  "2147483647; seed 1 is used",
                  v);
    }
    x->state = seed_state(seed);
    outlet_new(x, "signal");
    return x;
}

void noise_seed(Noise* x, std::int32_t seed) {
    x->state = seed_state(seed);
}

std::intptr_t* noise_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<Noise*>(w[1]);
    const long n = static_cast<long>(w[2]);
    auto* out = reinterpret_cast<float*>(w[3]);
    std::uint32_t s = x->state;
    for (long j = 0; j < n; ++j) {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        out[j] = static_cast<float>(s * (1.0 / 2147483648.0) - 1.0); // -1 up to 1
    }
    x->state = s;
    return w + 4;
}

void noise_dsp(Noise* x, Signal** sp, short*) {
    void* args[] = {x, reinterpret_cast<void*>(sp[0]->s_n), sp[0]->s_vec};
    dsp_addv(noise_perform, 3, args);
}

void noise_assist(Noise*, void*, long kind, long, char* text) {
    sprintf(text, kind == 1 ? "seed N: restart the sequence" : "white noise (signal)");
}

// --- snapshot~ [INTERVAL]: the signal's latest sample as a number ------------------------------
// bang sends the last sample of the latest vector; with an interval (ms) it also sends it that
// often, from the first boundary after the interval. "interval 0" stops the repeats.

struct Snapshot {
    SignalObject z;
    Outlet* out;
    Clock* clock;
    double interval_ms;
    float value; // written by perform, read by the message side
    Atom result[1];
};
static_assert(std::is_standard_layout_v<Snapshot> &&
              std::is_trivially_default_constructible_v<Snapshot>);

Class* snapshot_class;

void snapshot_bang(Snapshot* x) {
    atom_setfloat(&x->result[0], load_relaxed(x->value));
    outlet_list(x->out, nullptr, 1, x->result);
}

void snapshot_tick(Snapshot* x) {
    clock_delay(x->clock, x->interval_ms);
    snapshot_bang(x);
}

void snapshot_interval(Snapshot* x, double ms) {
    x->interval_ms = ms > 0 && std::isfinite(ms) ? ms : 0.0;
    if (x->interval_ms > 0)
        clock_delay(x->clock, x->interval_ms);
    else
        clock_unset(x->clock);
}

void* snapshot_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<Snapshot*>(newobject(snapshot_class));
    z_dsp_setup(&x->z, 1);
    x->clock = clock_new(x, snapshot_tick);
    snapshot_interval(x, argc > 0 ? atom_to_double(argv[0]) : 0.0);
    x->out = listout(x);
    return x;
}

void snapshot_free(Snapshot* x) {
    z_dsp_free(&x->z);
    clock_free(x->clock);
}

std::intptr_t* snapshot_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<Snapshot*>(w[1]);
    const long n = static_cast<long>(w[2]);
    const auto* in = reinterpret_cast<const float*>(w[3]);
    if (n > 0)
        store_relaxed(x->value, in[n - 1]);
    return w + 4;
}

void snapshot_dsp(Snapshot* x, Signal** sp, short*) {
    void* args[] = {x, reinterpret_cast<void*>(sp[0]->s_n), sp[0]->s_vec};
    dsp_addv(snapshot_perform, 3, args);
}

void snapshot_assist(Snapshot*, void*, long kind, long, char* text) {
    sprintf(text, kind == 1 ? "signal; bang, interval MS" : "latest sample (float)");
}

} // namespace

int sig_main() {
    setup(&sig_class, sig_new, z_dsp_free, sizeof(Sig), 0, A_GIMME, 0);
    addmess(sig_list, "list", A_GIMME, 0);
    addmess(sig_dsp, "dsp", A_CANT, 0);
    addmess(sig_assist, "assist", A_CANT, 0);
    z_add_signalmethod();
    return 0;
}

int cycle_main() {
    cosine_table(); // filled here, never on the audio side
    setup(&cycle_class, cycle_new, z_dsp_free, sizeof(Cycle), 0, A_GIMME, 0);
    addmess(cycle_list, "list", A_GIMME, 0);
    addmess(cycle_dsp, "dsp", A_CANT, 0);
    addmess(cycle_assist, "assist", A_CANT, 0);
    z_add_signalmethod();
    return 0;
}

int snapshot_main() {
    setup(&snapshot_class, snapshot_new, snapshot_free, sizeof(Snapshot), 0, A_GIMME, 0);
    addbang(snapshot_bang);
    addmess(snapshot_interval, "interval", A_FLOAT, 0);
    addmess(snapshot_dsp, "dsp", A_CANT, 0);
    addmess(snapshot_assist, "assist", A_CANT, 0);
    z_add_signalmethod();
    return 0;
}

int noise_main() {
    setup(&noise_class, noise_new, z_dsp_free, sizeof(Noise), 0, A_GIMME, 0);
    addmess(noise_seed, "seed", A_LONG, 0);
    addmess(noise_dsp, "dsp", A_CANT, 0);
    addmess(noise_assist, "assist", A_CANT, 0);
    z_add_signalmethod();
    return 0;
}

} // namespace tovo::builtins
