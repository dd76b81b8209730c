// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: a message storm. Boxes of the package's classes and of every built-in made with
// arbitrary creation arguments (sound files among the generated ones in the storm's folder);
// messages of every selector the classes register, and others, with atoms of every type and count
// (NaN, infinities, huge and tiny floats and the integer limits among them); cords, frees and
// signal vectors in between. Atoms no script can make go in through the runtime directly.
//
// Besides crashes, leaks and undefined behaviour, probes on every outlet check what leaves the
// objects:
// - while every number that went in was finite, no message carries a NaN or an infinity and no
//   console line shows one;
// - while, besides, every signal source is silent, every sample is exactly 0: no finite setting
//   turns silence into noise;
// - while, besides, every number is moderate and signal runs source, encoder, one rotator or
//   converter, decoder at most, every sample is finite.
#include "fuzz_support.hpp"
#include "host/format.hpp"
#include "host/registry.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace {

using namespace tovo;
using namespace tovo::host;

// Numbers up to this size cannot push the package's signal chain past single precision.
constexpr double MODERATE = 1e6;
constexpr std::size_t MAX_BOXES = 24;
// The source whose level comes from the numbers it is sent.
constexpr const char* SOURCE_CLASS = "sig~";
// Sources that sound whatever they are sent, within -1..1 (the generated files included).
constexpr const char* SOUNDING_CLASSES[] = {"noise~", "cycle~", "sfplay~"};
// Built-ins that turn samples into numbers or console lines: beyond moderate signals, those may
// show the infinities that float arithmetic makes.
constexpr const char* SIGNAL_READERS[] = {"print~", "snapshot~"};

// Every class the storm makes: the package's, then the built-ins.
std::vector<const char*> g_classes;

// The decoders: their settings (a gain) can make a signal large.
bool decoder(Symbol* cls) {
    return cls == gensym("tovo.ambi.decode~") || cls == gensym("tovo.ambi.allrad~") ||
           cls == gensym("tovo.ambi.binaural~");
}

struct Premises {
    bool nonfinite = false;    // a NaN or an infinity went in
    bool loud = false;         // a signal source was given something other than 0, or sounds
    bool immoderate = false;   // a number beyond MODERATE went in, or signal runs a longer chain
    bool reads_signal = false; // a print~ or snapshot~ box was made
};

// Whether messages and console lines must be finite: every number in was finite and, where
// samples become numbers, every signal is moderate.
bool numbers_checked(const Premises* p) {
    return p && !p->nonfinite && !(p->reads_signal && p->immoderate);
}
Premises* g_premises = nullptr; // the storm in progress

struct Figures {
    long long inputs = 0, boxes = 0, messages = 0, cords = 0, vectors = 0;
    long long atoms_checked = 0, silent_samples = 0, moderate_samples = 0; // by the probes
} g_figures;

// --- probes: one box on the message outlets of each storm box, one on its signal outlets ---------

struct MessageProbe {
    Object ob;
    Symbol* watched; // class of the box it listens to
};
static_assert(std::is_standard_layout_v<MessageProbe> &&
              std::is_trivially_default_constructible_v<MessageProbe>);
Class* message_probe_class;

void* message_probe_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<MessageProbe*>(newobject(message_probe_class));
    x->watched = argc > 0 && argv[0].a_type == A_SYM ? argv[0].a_w.w_sym : gensym("?");
    return x;
}

void message_probe_bang(MessageProbe*) {}

void message_probe_anything(MessageProbe* x, Symbol* s, short argc, Atom* argv) {
    if (!numbers_checked(g_premises))
        return;
    const std::span<const Atom> atoms(argv, argc > 0 ? argc : 0);
    g_figures.atoms_checked += static_cast<long long>(atoms.size());
    for (const Atom& a : atoms)
        if (!std::isfinite(atom_to_double(a)))
            fuzz::fault(std::string(x->watched->s_name) + " sent a non-finite number",
                        std::string(s->s_name) + " " + format_atoms(atoms));
}

int message_probe_main() {
    setup(&message_probe_class, message_probe_new, nullptr, sizeof(MessageProbe), 0, A_GIMME, 0);
    addbang(message_probe_bang);
    addmess(message_probe_anything, "list", A_GIMME, 0);
    addmess(message_probe_anything, "anything", A_GIMME, 0);
    return 0;
}

constexpr int MAX_PROBE_INLETS = 64;

struct SignalProbe {
    SignalObject z;
    std::int32_t inlets;
    Symbol* watched;
};
static_assert(std::is_standard_layout_v<SignalProbe> &&
              std::is_trivially_default_constructible_v<SignalProbe>);
Class* signal_probe_class;

// fuzz.probe~ INLETS CLASS
void* signal_probe_new(Symbol*, short argc, Atom* argv) {
    auto* x = static_cast<SignalProbe*>(newobject(signal_probe_class));
    const std::int32_t n = argc > 0 && argv[0].a_type == A_LONG ? atom_to_long(argv[0]) : 1;
    x->inlets = n < 1 ? 1 : n > MAX_PROBE_INLETS ? MAX_PROBE_INLETS : n;
    x->watched = argc > 1 && argv[1].a_type == A_SYM ? argv[1].a_w.w_sym : gensym("?");
    z_dsp_setup(&x->z, static_cast<short>(x->inlets));
    return x;
}

std::intptr_t* signal_probe_perform(std::intptr_t* w) {
    auto* x = reinterpret_cast<SignalProbe*>(w[1]);
    const long n = static_cast<long>(w[2]);
    const Premises* p = g_premises;
    if (p && !p->nonfinite) {
        g_figures.silent_samples += p->loud ? 0 : n * x->inlets;
        g_figures.moderate_samples += p->immoderate ? 0 : n * x->inlets;
    }
    if (p && !p->nonfinite)
        for (std::int32_t i = 0; i < x->inlets; ++i) {
            const auto* in = reinterpret_cast<const float*>(w[3 + i]);
            for (long j = 0; j < n; ++j) {
                const bool noise = !p->loud && in[j] != 0.0f;
                if (noise || (!p->immoderate && !std::isfinite(in[j])))
                    fuzz::fault(noise ? "silence in, something else out"
                                      : "moderate input, non-finite output",
                                std::string(x->watched->s_name) + " outlet " + std::to_string(i) +
                                    ": " + format_float(in[j]));
            }
        }
    return w + 3 + x->inlets;
}

void signal_probe_dsp(SignalProbe* x, Signal** sp, short*) {
    std::vector<void*> args{x, reinterpret_cast<void*>(sp[0]->s_n)};
    for (std::int32_t i = 0; i < x->inlets; ++i)
        args.push_back(sp[i]->s_vec);
    dsp_addv(signal_probe_perform, static_cast<long>(args.size()), args.data());
}

int signal_probe_main() {
    setup(&signal_probe_class, signal_probe_new, z_dsp_free, sizeof(SignalProbe), 0, A_GIMME, 0);
    addmess(signal_probe_dsp, "dsp", A_CANT, 0);
    z_add_signalmethod();
    return 0;
}

// --- what the storm sends ------------------------------------------------------------------------

// Words the classes look for, and some they do not. None holds the letter n in a way that could
// read as "nan" or "inf" on the console; random symbols leave the letter n out altogether.
// clang-format off
constexpr const char* WORDS[] = {
    "2d", "2D", "3d", "3D", "1st", "1st-order", "2nd", "2nd-order", "3rd", "3rd-order", "4th",
    "degrees", "degree", "radians", "radian", "none", "None", "default", "Default", "in-phase",
    "In-phase", "inphase", "max-rE", "Max-rE", "max-re", "Max-re", "x", "X", "y", "Y", "z", "Z",
    "-x", "-X", "-y", "-Y", "-z", "-Z", "ctx", "@drawto", "@enable", "@position", "@scale",
    "@bounds", "@", "@zork", "drawto", "enable", "position", "scale", "bounds", "getdrawto",
    "getenable", "getposition", "getscale", "getbounds", "bang", "list", "set", "mul", "rotate",
    "reset", "do", "quat", "inverse", "dump", "azimuth", "elevation", "speaker", "speaker_radians", "gain",
    "width", "weights", "layout", "basic", "Basic", "dsp", "assist", "anything", "signal", "start",
    "stop", "open", "seed", "interval", "i", "f", "s", "valid.wav", "rate.wav", "trunc.wav",
    "lying.au", "whole.au", "zero.wav", "empty.wav", "fifo", "folder",
    "tovo", "ambix", "ambiX", "n3d", "N3D", "fuma", "FuMa", "/usr/share/libmysofa/default.sofa",
    "/usr/share/libmysofa/MIT_KEMAR_normal_pinna.sofa", "",
};
// clang-format on
constexpr char SYMBOL_LETTERS[] = "abcdeghjklmopqrstuvwxyzXYZ@-_.~0123456789";

constexpr std::int32_t INT_TOP = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t INT_BOTTOM = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t INT_EDGES[] = {0,  1,  -1, 2,  3,  4,  7,  8,   9,     15,      16,
                                      17, 31, 32, 33, 40, -4, 90, 127, 65535, INT_TOP, INT_BOTTOM};

constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float QUIET_NAN = std::numeric_limits<float>::quiet_NaN();
constexpr float TOP = std::numeric_limits<float>::max();
constexpr float TINY = std::numeric_limits<float>::min();
constexpr float SUBNORMAL = std::numeric_limits<float>::denorm_min();
constexpr float FLOAT_EDGES[] = {
    0.0f,  -0.0f,       1.0f,       -1.0f,      0.5f,  2.0f,  90.0f,     -90.0f,    180.0f, 360.0f,
    45.0f, 0.70710677f, 1.0000004f, 0.03f,      1e-7f, 1e15f, 1e30f,     -1e30f,    3e38f,  TOP,
    -TOP,  TINY,        SUBNORMAL,  -SUBNORMAL, INF,   -INF,  QUIET_NAN, -QUIET_NAN};

struct Entry {
    Box* box;
    Symbol* cls;
    Box* message_probe; // null when the box has no message outlet
    Box* signal_probe;  // null when the box has no signal outlet
};

// With TOVO_STORM_TRACE set, a storm prints what it does as script lines on standard error, so
// that an input that fails reads as a patch (atoms no script can make print as inf or nan).
class Storm {
public:
    Storm(Runtime& rt, FuzzedDataProvider& in)
        : rt_(rt), in_(in), trace_(std::getenv("TOVO_STORM_TRACE") != nullptr) {}

    void run() {
        while (in_.remaining_bytes() > 0) {
            const int op = in_.ConsumeIntegralInRange(0, 15);
            if (op < 2)
                create();
            else if (op < 10)
                send();
            else if (op < 12)
                connect(true);
            else if (op < 13)
                connect(false);
            else if (op < 14)
                free_one();
            else if (op < 15)
                run_vectors();
            else
                assist();
        }
    }

    Premises premises;

private:
    // The number of an atom going to a box of class `cls`, noted in the premises. Only a source's
    // level and the decoder's settings can make a signal large; any number may travel on.
    void note(const Atom& a, Symbol* cls) {
        if (a.a_type == A_SYM)
            return;
        const double v = atom_to_double(a);
        const bool source = cls == gensym(SOURCE_CLASS);
        if (!std::isfinite(v))
            premises.nonfinite = true;
        if (std::fabs(v) > MODERATE && (source || decoder(cls)))
            premises.immoderate = true;
        if (source && v != 0)
            premises.loud = true;
    }

    Atom atom() {
        Atom a{};
        switch (in_.ConsumeIntegralInRange(0, 6)) {
        case 0:
            atom_setlong(&a, in_.PickValueInArray(INT_EDGES));
            break;
        case 1:
            atom_setlong(&a, in_.ConsumeIntegral<std::int32_t>());
            break;
        case 2:
            atom_setfloat(&a, in_.PickValueInArray(FLOAT_EDGES));
            break;
        case 3: // any bit pattern, NaN payloads included
            atom_setfloat(&a, std::bit_cast<float>(in_.ConsumeIntegral<std::uint32_t>()));
            break;
        case 4: // angles and levels a patch would use
            atom_setfloat(&a, in_.ConsumeFloatingPointInRange(-400.0f, 400.0f));
            break;
        case 5:
            atom_setsym(&a, gensym(in_.PickValueInArray(WORDS)));
            break;
        default: {
            std::string text;
            const int length = in_.ConsumeIntegralInRange(0, 8);
            for (int i = 0; i < length; ++i)
                text += in_.PickValueInArray(SYMBOL_LETTERS);
            atom_setsym(&a, gensym(text.c_str()));
        }
        }
        return a;
    }

    std::vector<Atom> atoms(Symbol* cls) {
        // Mostly a handful, now and then a long list.
        const int most = in_.ConsumeIntegralInRange(0, 15) == 0 ? 64 : 8;
        const int count = in_.ConsumeIntegralInRange(0, most);
        std::vector<Atom> out;
        for (int i = 0; i < count && in_.remaining_bytes() > 0; ++i) {
            out.push_back(atom());
            note(out.back(), cls);
        }
        return out;
    }

    Entry* pick() {
        if (boxes_.empty())
            return nullptr;
        return &boxes_[in_.ConsumeIntegralInRange<std::size_t>(0, boxes_.size() - 1)];
    }

    std::string fresh_name() { return "b" + std::to_string(next_name_++); }

    void create() {
        const std::size_t k = in_.ConsumeIntegralInRange<std::size_t>(0, g_classes.size() - 1);
        const char* cls = g_classes[k];
        const bool source = cls == std::string_view(SOURCE_CLASS);
        std::vector<Atom> args = atoms(gensym(cls));
        // A sound-file box mostly gets one of the folder's files.
        if ((cls == std::string_view("sfplay~") || cls == std::string_view("sfrecord~")) &&
            in_.ConsumeIntegralInRange(0, 3) != 0) {
            Atom file{};
            atom_setsym(&file, gensym(in_.PickValueInArray(fuzz::SOUND_FILES)));
            args.insert(args.begin(), file);
        }
        if (is_one_of(cls, SOUNDING_CLASSES))
            premises.loud = true;
        if (is_one_of(cls, SIGNAL_READERS))
            premises.reads_signal = true;
        if (boxes_.size() >= MAX_BOXES)
            return;
        std::string why;
        const std::string name = fresh_name();
        trace("new " + name + " " + cls + text(args));
        Box* box = rt_.create(name, cls, args, why);
        if (!box)
            return;
        ++g_figures.boxes;
        Entry e{box, gensym(cls), nullptr, nullptr};
        if (!source)
            attach_probes(e);
        boxes_.push_back(e);
    }

    void attach_probes(Entry& e) {
        std::vector<int> message_outlets, signal_outlets;
        for (std::size_t o = 0; o < e.box->outlets.size(); ++o)
            (e.box->outlets[o]->kind == OutletKind::Signal ? signal_outlets : message_outlets)
                .push_back(static_cast<int>(o));
        std::string why;
        if (!message_outlets.empty()) {
            Atom a{};
            atom_setsym(&a, e.cls);
            const std::string name = fresh_name();
            trace("# new " + name + " fuzz.probe, fed by every message outlet");
            e.message_probe = rt_.create(name, "fuzz.probe", std::span(&a, 1), why);
            for (int o : message_outlets)
                rt_.connect(e.box, o, e.message_probe, 0, why);
        }
        if (!signal_outlets.empty()) {
            Atom a[2]{};
            atom_setlong(&a[0], static_cast<std::int32_t>(signal_outlets.size()));
            atom_setsym(&a[1], e.cls);
            const std::string name = fresh_name();
            trace("# new " + name + " fuzz.probe~, fed by every signal outlet");
            e.signal_probe = rt_.create(name, "fuzz.probe~", a, why);
            for (std::size_t i = 0; i < signal_outlets.size(); ++i)
                rt_.connect(e.box, signal_outlets[i], e.signal_probe, static_cast<int>(i), why);
        }
    }

    void send() {
        Entry* e = pick();
        if (!e)
            return;
        const Class* cls = e->box->cls;
        Symbol* selector = nullptr;
        switch (in_.ConsumeIntegralInRange(0, 7)) {
        case 4:
            selector = gensym("list");
            break;
        case 5:
            selector = gensym("bang");
            break;
        case 6:
            selector = gensym(in_.PickValueInArray(WORDS));
            break;
        case 7:
            selector = gensym(in_.ConsumeBool() ? "dsp" : "assist");
            break;
        default: // a selector the class registers, private ones included
            selector = cls->methods.empty() ? gensym("bang")
                                            : cls->methods[in_.ConsumeIntegralInRange<std::size_t>(
                                                               0, cls->methods.size() - 1)]
                                                  .selector;
        }
        const std::vector<Atom> args = atoms(e->cls);
        trace("send " + e->box->name + " " + selector->s_name + text(args));
        rt_.send(e->box, selector, args);
        ++g_figures.messages;
    }

    // An outlet or inlet among `count`; now and then one that is not there.
    int index(int count) {
        if (count > 0 && in_.ConsumeIntegralInRange(0, 7) != 0)
            return in_.ConsumeIntegralInRange(0, count - 1);
        return in_.ConsumeBool() ? -1 : count;
    }

    // A cord between storm boxes (or its removal); the premise of moderate signals holds for
    // chains of source, encoder, rotator and decoder only (each of the last three may be left out).
    void connect(bool make) {
        Entry* from = pick();
        Entry* to = pick();
        if (!from || !to)
            return;
        const int outlet = index(static_cast<int>(from->box->outlets.size()));
        const int inlet = index(to->box->inlet_count());
        std::string why;
        trace(std::string(make ? "connect " : "disconnect ") + from->box->name + " " +
              std::to_string(outlet) + " " + to->box->name + " " + std::to_string(inlet));
        if (!make) {
            rt_.disconnect(from->box, outlet, to->box, inlet, why);
            return;
        }
        if (!rt_.connect(from->box, outlet, to->box, inlet, why))
            return;
        ++g_figures.cords;
        if (from->box->outlets[outlet]->kind != OutletKind::Signal) {
            // What another object sends a source or a decoder may be any finite number.
            if (to->cls == gensym(SOURCE_CLASS))
                premises.loud = premises.immoderate = true;
            if (decoder(to->cls))
                premises.immoderate = true;
            return;
        }
        // A rotator keeps a field's level, and a converter scales each channel by at most about
        // 10: one of them may stand between the encoder and a decoder; a chain of them may not.
        Symbol* const encoder = gensym("tovo.ambi.encode~");
        Symbol* const rotator = gensym("tovo.ambi.rotate~");
        Symbol* const converter = gensym("tovo.ambi.convert~");
        const bool middle = to->cls == rotator || to->cls == converter;
        const bool shallow = from->cls == gensym(SOURCE_CLASS) ||
                             is_one_of(from->cls->s_name, SOUNDING_CLASSES) ||
                             (from->cls == encoder && (middle || decoder(to->cls))) ||
                             ((from->cls == rotator || from->cls == converter) && decoder(to->cls));
        if (!shallow)
            premises.immoderate = true;
    }

    void free_one() {
        if (boxes_.empty())
            return;
        const std::size_t k = in_.ConsumeIntegralInRange<std::size_t>(0, boxes_.size() - 1);
        const Entry e = boxes_[k];
        boxes_.erase(boxes_.begin() + static_cast<std::ptrdiff_t>(k));
        trace("free " + e.box->name);
        rt_.destroy(e.box);
        if (e.message_probe)
            rt_.destroy(e.message_probe);
        if (e.signal_probe)
            rt_.destroy(e.signal_probe);
    }

    void run_vectors() {
        constexpr int SIZES[] = {1, 2, 3, 8, 64, 256};
        if (in_.ConsumeBool()) {
            const int size = in_.PickValueInArray(SIZES);
            trace("vectorsize " + std::to_string(size));
            rt_.set_vector_size(size);
        }
        const int vectors = in_.ConsumeIntegralInRange(1, 3);
        trace("dsp " + std::to_string(vectors));
        rt_.run(vectors);
        g_figures.vectors += vectors;
    }

    void assist() {
        Entry* e = pick();
        if (!e)
            return;
        const bool inlet = in_.ConsumeBool();
        const int count = inlet ? e->box->inlet_count() : static_cast<int>(e->box->outlets.size());
        const int index = in_.ConsumeIntegralInRange(-1, count);
        trace("assist " + e->box->name + (inlet ? " in " : " out ") + std::to_string(index));
        std::string assist_text;
        rt_.assist(e->box, inlet, index, assist_text);
    }

    void trace(const std::string& line) const {
        if (trace_)
            std::fprintf(stderr, "%s\n", line.c_str());
    }
    static std::string text(std::span<const Atom> atoms) {
        return atoms.empty() ? std::string() : " " + format_atoms(atoms);
    }

    template <std::size_t N>
    static bool is_one_of(std::string_view cls, const char* const (&names)[N]) {
        for (const char* n : names)
            if (cls == n)
                return true;
        return false;
    }

    Runtime& rt_;
    FuzzedDataProvider& in_;
    const bool trace_;
    std::vector<Entry> boxes_;
    long next_name_ = 0;
};

// printf writes an infinity as inf and a NaN as nan (either with a sign).
bool shows_nonfinite(std::string_view line) {
    auto word_char = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_';
    };
    for (std::size_t i = 0; i < line.size();) {
        while (i < line.size() && !word_char(line[i]))
            ++i;
        const std::size_t start = i;
        while (i < line.size() && word_char(line[i]))
            ++i;
        const std::string_view word = line.substr(start, i - start);
        if (word == "inf" || word == "nan")
            return true;
    }
    return false;
}

void check_console(std::string_view line) {
    fuzz::check_fault_lines(line);
    if (numbers_checked(g_premises) && shows_nonfinite(line))
        fuzz::fault("a console line shows a non-finite number for finite input", line);
}

void report() {
    const Figures& f = g_figures;
    std::fprintf(stderr,
                 "storm: %lld inputs, %lld boxes made, %lld messages sent, %lld cords, "
                 "%lld signal vectors\n"
                 "storm: checked %lld atoms sent, %lld samples for silence, %lld samples for "
                 "finite values\n",
                 f.inputs, f.boxes, f.messages, f.cords, f.vectors, f.atoms_checked,
                 f.silent_samples, f.moderate_samples);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::load_plugins();
    fuzz::enter_sound_folder();
    for (const char* cls : fuzz::PACKAGE_CLASSES)
        g_classes.push_back(cls);
    for (const Class* c : Registry::instance().classes())
        if (c->builtin)
            g_classes.push_back(c->name->s_name);
    Registry::instance().define("fuzz.probe", message_probe_main);
    Registry::instance().define("fuzz.probe~", signal_probe_main);
    std::atexit(report);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    ++g_figures.inputs;
    const fuzz::InSoundFolder folder;
    Runtime rt(TOVO_EXTERNALS_DIR, check_console);
    Storm storm(rt, in);
    g_premises = &storm.premises;
    storm.run();
    g_premises = nullptr;
    return 0;
}
