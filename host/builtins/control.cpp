// SPDX-License-Identifier: GPL-3.0-or-later
// Control objects a patch needs around the package's objects: line (ramps), metro (a steady
// bang), prepend, pack, unpack, and xyz2angles (a direction to azimuth and elevation).
#include "host/builtins/builtins.hpp"

#include <cmath>
#include <type_traits>

namespace tovo::builtins {
using namespace host;

namespace {

constexpr int MAX_ATOMS = 64; // longest list these objects keep

// --- line [START [GRAIN]]: ramps to a target over a time -----------------------------------------
// "list TARGET TIME [GRAIN]" ramps, one output every GRAIN ms (default 20) and the target last;
// a single number jumps. Steps follow the logical clock, so they land on vector boundaries.

constexpr double DEFAULT_GRAIN_MS = 20.0;

struct Line {
    Object ob;
    Outlet* out;
    Clock* clock;
    double value;
    double start, target;
    double start_ms, end_ms;
    double grain_ms;
    Atom result[1];
};
static_assert(std::is_standard_layout_v<Line> && std::is_trivially_default_constructible_v<Line>);

Class* line_class;

void line_send(Line* x) {
    atom_setfloat(&x->result[0], static_cast<float>(x->value));
    outlet_list(x->out, nullptr, 1, x->result);
}

void line_tick(Line* x) {
    const double now = gettime();
    if (now >= x->end_ms) {
        x->value = x->target;
        line_send(x);
        return;
    }
    x->value = x->start + (x->target - x->start) * (now - x->start_ms) / (x->end_ms - x->start_ms);
    line_send(x);
    clock_delay(x->clock, x->grain_ms);
}

void line_list(Line* x, Symbol*, short argc, Atom* argv) {
    if (argc < 1)
        return;
    clock_unset(x->clock);
    const double target = atom_to_double(argv[0]);
    const double time = argc > 1 ? atom_to_double(argv[1]) : 0.0;
    if (argc > 2 && atom_to_double(argv[2]) > 0)
        x->grain_ms = atom_to_double(argv[2]);
    if (!(time > 0) || !std::isfinite(time)) {
        x->value = target;
        line_send(x);
        return;
    }
    x->start = x->value;
    x->target = target;
    x->start_ms = gettime();
    x->end_ms = x->start_ms + time;
    clock_delay(x->clock, x->grain_ms < time ? x->grain_ms : time);
}

void line_stop(Line* x) {
    clock_unset(x->clock);
}

void line_free(Line* x) {
    clock_free(x->clock);
}

void* line_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<Line*>(newobject(line_class));
    x->value = argc > 0 ? atom_to_double(argv[0]) : 0.0;
    x->grain_ms =
        argc > 1 && atom_to_double(argv[1]) > 0 ? atom_to_double(argv[1]) : DEFAULT_GRAIN_MS;
    x->clock = clock_new(x, line_tick);
    x->out = listout(x);
    return x;
}

void line_assist(Line*, void*, long kind, long, char* text) {
    sprintf(text, kind == 1 ? "target [time ms [grain ms]]" : "ramp values (float)");
}

// --- metro INTERVAL: bangs every INTERVAL ms while on
// ---------------------------------------------- bang, "start" or a non-zero number starts it with
// a bang at once; "stop" or 0 stops it.

struct Metro {
    Object ob;
    Outlet* out;
    Clock* clock;
    double interval_ms;
};
static_assert(std::is_standard_layout_v<Metro> && std::is_trivially_default_constructible_v<Metro>);

Class* metro_class;

double metro_interval(double ms) {
    return ms > 0 && std::isfinite(ms) ? ms : 1.0;
}

void metro_tick(Metro* x) {
    clock_delay(x->clock, x->interval_ms);
    outlet_bang(x->out);
}

void metro_start(Metro* x) {
    metro_tick(x);
}

void metro_stop(Metro* x) {
    clock_unset(x->clock);
}

void metro_list(Metro* x, Symbol*, short argc, Atom* argv) {
    if (argc > 0 && atom_to_double(argv[0]) != 0)
        metro_start(x);
    else
        metro_stop(x);
}

void metro_set_interval(Metro* x, double ms) {
    x->interval_ms = metro_interval(ms);
}

void metro_free(Metro* x) {
    clock_free(x->clock);
}

void* metro_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<Metro*>(newobject(metro_class));
    x->interval_ms = metro_interval(argc > 0 ? atom_to_double(argv[0]) : 5.0);
    x->clock = clock_new(x, metro_tick);
    x->out = outlet_new(x, nullptr);
    return x;
}

void metro_assist(Metro*, void*, long kind, long, char* text) {
    sprintf(text, kind == 1 ? "bang, start, stop, 1/0, interval MS" : "bang every interval");
}

// --- prepend WORD...: puts its words before every message --------------------------------------

struct Prepend {
    Object ob;
    Outlet* out;
    short count;
    Atom words[MAX_ATOMS];
    Atom message[MAX_ATOMS];
};
static_assert(std::is_standard_layout_v<Prepend> &&
              std::is_trivially_default_constructible_v<Prepend>);

Class* prepend_class;

void* prepend_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<Prepend*>(newobject(prepend_class));
    x->count = static_cast<short>(argc < MAX_ATOMS / 2 ? argc : MAX_ATOMS / 2);
    for (short i = 0; i < x->count; ++i)
        x->words[i] = argv[i];
    x->out = outlet_new(x, nullptr);
    return x;
}

// The words, then the selector unless it is "list", then the arguments.
void prepend_anything(Prepend* x, Symbol* s, short argc, Atom* argv) {
    short n = 0;
    for (short i = 0; i < x->count; ++i)
        x->message[n++] = x->words[i];
    if (s != gensym("list"))
        atom_setsym(&x->message[n++], s);
    for (short i = 0; i < argc && n < MAX_ATOMS; ++i)
        x->message[n++] = argv[i];
    if (n > 0 && x->message[0].a_type == A_SYM)
        outlet_anything(x->out, x->message[0].a_w.w_sym, static_cast<short>(n - 1), x->message + 1);
    else if (n > 0)
        outlet_list(x->out, nullptr, n, x->message);
    else
        outlet_bang(x->out);
}

void prepend_bang(Prepend* x) {
    prepend_anything(x, gensym("bang"), 0, nullptr);
}

void prepend_assist(Prepend*, void*, long kind, long, char* text) {
    sprintf(text, kind == 1 ? "message to prefix" : "the words, then the message");
}

// --- pack / unpack [TYPES]: lists from inlets, and back ---------------------------------------
// Each argument is a slot: i or an integer for an integer, f or a float for a float, s or
// another word for a symbol. Without arguments, two integer slots.

void slots_from(short argc, Atom* argv, Atom* slots, short& count) {
    count = 0;
    if (argc == 0) {
        atom_setlong(&slots[count++], 0);
        atom_setlong(&slots[count++], 0);
        return;
    }
    for (short i = 0; i < argc && count < MAX_ATOMS; ++i) {
        Atom& slot = slots[count++];
        if (argv[i].a_type == A_SYM && argv[i].a_w.w_sym == gensym("i"))
            atom_setlong(&slot, 0);
        else if (argv[i].a_type == A_SYM && argv[i].a_w.w_sym == gensym("f"))
            atom_setfloat(&slot, 0.0f);
        else if (argv[i].a_type == A_SYM && argv[i].a_w.w_sym == gensym("s"))
            atom_setsym(&slot, gensym(""));
        else
            slot = argv[i];
    }
}

// Stores a value into a slot, converted to the slot's type; a symbol never enters a number slot.
void slot_store(Atom& slot, const Atom& value) {
    if (slot.a_type == A_SYM) {
        if (value.a_type == A_SYM)
            slot = value;
    } else if (value.a_type != A_SYM) {
        // The rules of typed message arguments: a float is truncated and saturated.
        if (slot.a_type == A_LONG)
            atom_setlong(&slot, atom_to_long(value));
        else
            atom_setfloat(&slot, static_cast<float>(atom_to_double(value)));
    }
}

struct Pack {
    Object ob;
    Outlet* out;
    short count;
    Atom slots[MAX_ATOMS];
};
static_assert(std::is_standard_layout_v<Pack> && std::is_trivially_default_constructible_v<Pack>);

Class* pack_class;

void* pack_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<Pack*>(newobject(pack_class));
    slots_from(argc, argv, x->slots, x->count);
    for (short i = 1; i < x->count; ++i)
        inlet_new(x, nullptr);
    x->out = outlet_new(x, nullptr);
    return x;
}

void pack_bang(Pack* x) {
    if (proxy_getinlet(x) == 0)
        outlet_list(x->out, nullptr, x->count, x->slots);
}

// Into the left inlet a list fills slots from the left and sends; elsewhere it sets one slot.
void pack_list(Pack* x, Symbol*, short argc, Atom* argv) {
    const long inlet = proxy_getinlet(x);
    if (inlet > 0) {
        if (argc > 0 && inlet < x->count)
            slot_store(x->slots[inlet], argv[0]);
        return;
    }
    for (short i = 0; i < argc && i < x->count; ++i)
        slot_store(x->slots[i], argv[i]);
    pack_bang(x);
}

void pack_assist(Pack*, void*, long kind, long index, char* text) {
    if (kind == 1)
        sprintf(text, index == 0 ? "slot 0; sends the list" : "slot %ld", index);
    else
        sprintf(text, "the list");
}

struct Unpack {
    Object ob;
    short count;
    Outlet* outs[MAX_ATOMS]; // left to right
    Atom slots[MAX_ATOMS];
};
static_assert(std::is_standard_layout_v<Unpack> &&
              std::is_trivially_default_constructible_v<Unpack>);

Class* unpack_class;

void* unpack_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<Unpack*>(newobject(unpack_class));
    slots_from(argc, argv, x->slots, x->count);
    for (short i = x->count; i-- > 0;)
        x->outs[i] = outlet_new(x, nullptr);
    return x;
}

// Sends the list's atoms out of their outlets from right to left, each converted to its slot.
void unpack_list(Unpack* x, Symbol*, short argc, Atom* argv) {
    const short n = argc < x->count ? argc : x->count;
    for (short i = 0; i < n; ++i)
        slot_store(x->slots[i], argv[i]);
    for (short i = n; i-- > 0;)
        outlet_list(x->outs[i], nullptr, 1, &x->slots[i]);
}

void unpack_assist(Unpack*, void*, long kind, long index, char* text) {
    sprintf(text, kind == 1 ? "list to split" : "atom %ld", index);
}

// --- xyz2angles: a direction x y z to azimuth and elevation in radians
// ---------------------------- Azimuth from the x axis towards y, elevation towards z: what the
// encoder's "azimuth" and "elevation" take. A zero vector gives 0 0.

struct Xyz2Angles {
    Object ob;
    Outlet* out;
    Atom result[2];
};
static_assert(std::is_standard_layout_v<Xyz2Angles> &&
              std::is_trivially_default_constructible_v<Xyz2Angles>);

Class* xyz2angles_class;

void* xyz2angles_new(Symbol*, short, Atom*) {
    auto* x = static_cast<Xyz2Angles*>(newobject(xyz2angles_class));
    x->out = listout(x);
    return x;
}

void xyz2angles_list(Xyz2Angles* x, Symbol*, short argc, Atom* argv) {
    const double dx = argc > 0 ? atom_to_double(argv[0]) : 0.0;
    const double dy = argc > 1 ? atom_to_double(argv[1]) : 0.0;
    const double dz = argc > 2 ? atom_to_double(argv[2]) : 0.0;
    const double azimuth = std::atan2(dy, dx);
    const double elevation = std::atan2(dz, std::hypot(dx, dy));
    atom_setfloat(&x->result[0], std::isfinite(azimuth) ? static_cast<float>(azimuth) : 0.0f);
    atom_setfloat(&x->result[1], std::isfinite(elevation) ? static_cast<float>(elevation) : 0.0f);
    outlet_list(x->out, nullptr, 2, x->result);
}

void xyz2angles_assist(Xyz2Angles*, void*, long kind, long, char* text) {
    sprintf(text, kind == 1 ? "direction x y z" : "azimuth elevation (radians)");
}

} // namespace

int line_main() {
    setup(&line_class, line_new, line_free, sizeof(Line), 0, A_GIMME, 0);
    addmess(line_list, "list", A_GIMME, 0);
    addmess(line_stop, "stop", 0);
    addmess(line_assist, "assist", A_CANT, 0);
    return 0;
}

int metro_main() {
    setup(&metro_class, metro_new, metro_free, sizeof(Metro), 0, A_GIMME, 0);
    addbang(metro_start);
    addmess(metro_list, "list", A_GIMME, 0);
    addmess(metro_start, "start", 0);
    addmess(metro_stop, "stop", 0);
    addmess(metro_set_interval, "interval", A_FLOAT, 0);
    addmess(metro_assist, "assist", A_CANT, 0);
    return 0;
}

int prepend_main() {
    setup(&prepend_class, prepend_new, nullptr, sizeof(Prepend), 0, A_GIMME, 0);
    addbang(prepend_bang);
    addmess(prepend_anything, "list", A_GIMME, 0);
    addmess(prepend_anything, "anything", A_GIMME, 0);
    addmess(prepend_assist, "assist", A_CANT, 0);
    return 0;
}

int pack_main() {
    setup(&pack_class, pack_new, nullptr, sizeof(Pack), 0, A_GIMME, 0);
    addbang(pack_bang);
    addmess(pack_list, "list", A_GIMME, 0);
    addmess(pack_assist, "assist", A_CANT, 0);
    return 0;
}

int unpack_main() {
    setup(&unpack_class, unpack_new, nullptr, sizeof(Unpack), 0, A_GIMME, 0);
    addmess(unpack_list, "list", A_GIMME, 0);
    addmess(unpack_assist, "assist", A_CANT, 0);
    return 0;
}

int xyz2angles_main() {
    setup(&xyz2angles_class, xyz2angles_new, nullptr, sizeof(Xyz2Angles), 0, A_GIMME, 0);
    addmess(xyz2angles_list, "list", A_GIMME, 0);
    addmess(xyz2angles_assist, "assist", A_CANT, 0);
    return 0;
}

} // namespace tovo::builtins
