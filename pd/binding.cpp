// SPDX-License-Identifier: GPL-3.0-or-later
// The SDK on Pure Data's m_pd.h: classes made after a plug-in's main returns, boxes whose record
// lives apart from Pd's object, outlets made in reverse, one trampoline that dispatches every
// message by the package's typed-argument rule, clocks on Pd's clocks and "dsp" on Pd's chain.
#include "binding.hpp"

#include "host/dispatch.hpp"
#include "host/inline_buffer.hpp"
#include <tovo/jitter.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <new>
#include <utility>

extern "C" int sys_load_lib(t_canvas* canvas, const char* classname); // s_stuff.h, no C++ guard

namespace tovo::host {

namespace {

constexpr std::size_t INSTANCE_ALIGN = 64;
// Atoms one message converts to or from Pd's without an allocation.
constexpr std::size_t ATOMS_ON_STACK = 16;

struct Binding {
    ClassTable classes;
    std::map<t_symbol*, Class*> by_pd_name;
    std::map<const Class*, t_class*> pd_classes; // made once the plug-in's main has returned
    std::vector<Box*>* made_now = nullptr;       // boxes made by the running creation routine
    Box* current = nullptr;                      // the box handling a message
    long current_inlet = 0;
    t_class* proxy_class = nullptr;
};

Binding& binding() {
    static Binding b;
    return b;
}

Class* find_class(const char* name) {
    return binding().classes.find(gensym(name));
}

// Pd's class of a class; null until the plug-in's main has returned.
t_class* pd_class_of(const Class* c) {
    auto it = binding().pd_classes.find(c);
    return it == binding().pd_classes.end() ? nullptr : it->second;
}

// Keeps the current box and inlet for the length of one handler call.
class Handling {
public:
    Handling(Box* b, long inlet)
        : box_(std::exchange(binding().current, b)),
          inlet_(std::exchange(binding().current_inlet, inlet)) {}
    ~Handling() {
        binding().current = box_;
        binding().current_inlet = inlet_;
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Box* box_;
    long inlet_;
};

// --- messages ---------------------------------------------------------------------------------

// Calls the handler the tovo host would call for this selector, by the shared rule, after one
// step of Pd's own: a lone number or word (Pd's float and symbol messages) with no handler of its
// own goes to "list".
void dispatch(Box* b, long inlet, t_symbol* s, int argc, t_atom* argv) {
    if (!b->adopted)
        return;
    const Class& c = *b->cls;
    Symbol* selector = gensym(s->s_name);
    if (static_cast<std::size_t>(argc) > MAX_MESSAGE_ATOMS) {
        ::pd_error(b->pd, "%s", too_many_atoms(c, selector).c_str());
        return;
    }
    if ((s == &s_float || s == &s_symbol) && !own_handler(c, selector) &&
        own_handler(c, gensym("list")))
        selector = gensym("list");
    const Method* m = find_handler(c, selector);
    if (!m) {
        ::pd_error(b->pd, "%s", not_understood(c, selector).c_str());
        return;
    }
    InlineBuffer<Atom, ATOMS_ON_STACK> atoms(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i)
        atoms[i] = from_pd_message_atom(argv[i]);
    Handling here(b, inlet);
    call_handler(*m, b->instance, selector, static_cast<short>(argc), atoms.data());
}

void pd_box_anything(PdBox* x, t_symbol* s, int argc, t_atom* argv) {
    dispatch(x->box, 0, s, argc, argv);
}

// A message inlet right of the left one: forwards to the box with its index.
struct Proxy {
    t_pd pd;
    Box* box;
    long inlet;
};

void proxy_anything(Proxy* p, t_symbol* s, int argc, t_atom* argv) {
    dispatch(p->box, p->inlet, s, argc, argv);
}

// --- signals ----------------------------------------------------------------------------------

void pd_box_dsp(PdBox* x, t_signal** sp) {
    Box* b = x->box;
    const Method* m = b->cls->find(gensym("dsp"));
    if (!m || m->shape != detail::Shape::Dsp || !b->signal_object)
        return;
    // Pd gives a signal class its left inlet even when the object asked for none.
    const int pd_inlets = std::max(b->signal_inlets, 1);
    int outs = 0;
    for (const auto& o : b->outlets)
        outs += o->signal;
    const int n_in = b->signal_inlets;
    b->signals.assign(static_cast<std::size_t>(n_in + outs), Signal{});
    b->copies.clear();
    for (int i = 0; i < n_in + outs; ++i) {
        const t_signal* s = sp[i < n_in ? i : pd_inlets + (i - n_in)];
        b->signals[i] = {s->s_n, s->s_vec, s->s_sr};
    }
    // Pd may hand an outlet the buffer of an inlet; an object reads its inlets after writing
    // some outlets, so such an inlet is read from a copy of its own.
    for (int i = 0; i < n_in; ++i) {
        float* in = b->signals[i].s_vec;
        const bool shared = std::any_of(b->signals.begin() + n_in, b->signals.end(),
                                        [in](const Signal& o) { return o.s_vec == in; });
        if (!shared)
            continue;
        const long n = b->signals[i].s_n;
        b->copies.push_back(std::make_unique<float[]>(static_cast<std::size_t>(n > 0 ? n : 1)));
        ::dsp_add_copy(in, b->copies.back().get(), static_cast<int>(n));
        b->signals[i].s_vec = b->copies.back().get();
    }
    b->signal_pointers.clear();
    for (Signal& s : b->signals)
        b->signal_pointers.push_back(&s);
    // Pd does not tell an object how many cords reach each inlet and outlet: every one counts
    // as connected.
    b->counts.assign(b->signals.size(), 1);
    Handling here(b, 0);
    detail::DspCall call{b->signal_pointers.data(), b->counts.data()};
    m->thunk(m->fn, b->instance, &call);
}

// --- boxes ------------------------------------------------------------------------------------

// Everything of a box but Pd's own object, which Pd frees.
void release(Box* b) {
    Class* c = b->cls;
    if (b->adopted && c->free_thunk && c->free_fn) {
        Handling here(b, 0);
        c->free_thunk(c->free_fn, b->instance);
    }
    for (auto& k : b->clocks)
        ::clock_free(k->pd);
    for (t_pd* p : b->proxies)
        ::pd_free(p);
    b->extension.reset();
    ::operator delete(b->instance, std::align_val_t(INSTANCE_ALIGN));
    delete b;
}

void pd_box_free(PdBox* x) {
    if (x->box)
        release(std::exchange(x->box, nullptr));
}

// Makes a box of class c from atoms in the package's form; null when its creation fails.
void* create(Class* c, short argc, Atom* argv) {
    std::vector<Box*> made;
    std::vector<Box*>* outer = std::exchange(binding().made_now, &made);
    void* x = nullptr;
    {
        Handling here(nullptr, 0);
        x = c->make(c->name, argc, argv);
    }
    binding().made_now = outer;
    Box* result = nullptr;
    // What newobject handed out during this creation and nobody claimed never came to exist:
    // it goes without its free routine.
    for (Box* b : made) {
        if (x && b->instance == x && !result)
            result = b;
        else
            ::pd_free(&b->pd->obj.ob_pd);
    }
    if (!result) {
        if (x)
            bug(std::string(c->name->s_name) +
                ": creation returned an object the host did not make");
        return nullptr;
    }
    result->adopted = true;
    // The package adds each new outlet at the left, Pd at the right: the binding keeps them left
    // to right and makes Pd's in that order.
    for (auto& o : result->outlets)
        if (!o->pd)
            o->pd = ::outlet_new(&result->pd->obj, o->signal ? &s_signal : nullptr);
    return result->instance;
}

void* pd_box_new(t_symbol* s, int argc, t_atom* argv) {
    Class* c = nullptr;
    if (auto it = binding().by_pd_name.find(s); it != binding().by_pd_name.end())
        c = it->second;
    else if (const char* slash = std::strrchr(s->s_name, '/'))
        c = find_class(slash + 1); // made by its long name, tovo/quat
    if (!c)
        return nullptr;
    if (static_cast<std::size_t>(argc) > MAX_MESSAGE_ATOMS) {
        ::pd_error(nullptr, "%s: more than %d creation arguments", c->name->s_name,
                   static_cast<int>(MAX_MESSAGE_ATOMS));
        return nullptr;
    }
    InlineBuffer<Atom, ATOMS_ON_STACK> atoms(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i)
        atoms[i] = from_pd_creation_atom(argv[i]);
    void* x = create(c, static_cast<short>(argc), atoms.data());
    Box* b = box_of(x);
    return b ? b->pd : nullptr;
}

void make_pd_class(Class* c) {
    t_symbol* name = ::gensym(c->name->s_name);
    t_class* pd = ::class_new(
        name, reinterpret_cast<t_newmethod>(reinterpret_cast<void (*)()>(pd_box_new)),
        reinterpret_cast<t_method>(pd_box_free), sizeof(PdBox), CLASS_DEFAULT, ::A_GIMME, 0);
    binding().pd_classes[c] = pd;
    binding().by_pd_name[name] = c;
    if (c->takes_signals) {
        CLASS_MAINSIGNALIN(pd, PdBox, scalar);
        ::class_addmethod(pd, reinterpret_cast<t_method>(pd_box_dsp), ::gensym("dsp"), ::A_CANT, 0);
    }
    ::class_addanything(pd, reinterpret_cast<t_method>(pd_box_anything));
}

// Loads a class that a plug-in asks for by name, through Pd's loader and its search path (which
// also finds NAME/NAME.pd_linux below each folder on it, so the package's folder is enough).
Class* load_class(const std::string& name) {
    if (Class* c = find_class(name.c_str()))
        return c;
    if (name.empty() || name.find('/') != std::string::npos)
        return nullptr;
    sys_load_lib(::canvas_getcurrent(), name.c_str());
    return find_class(name.c_str());
}

} // namespace

// --- what the shared parts need of this host (host/host_services.hpp) --------------------------

ClassTable& class_table() {
    return binding().classes;
}

Class* class_of(void* x) {
    Box* b = box_of(x);
    return b ? b->cls : nullptr;
}

std::unique_ptr<BoxExtension>& extension_of(void* x) {
    return box_of(x)->extension;
}

void console_post(const std::string& line) {
    ::post("%s", line.c_str());
}

// Error lines name their box, so that Pd can find it in the patch.
void console_error(const std::string& text) {
    Box* b = current_box();
    ::pd_error(b ? static_cast<const void*>(b->pd) : nullptr, "%s", text.c_str());
}

Box* current_box() {
    return binding().current;
}

void to_pd_atom(const Atom& in, t_atom& out) {
    if (in.a_type == A_SYM) {
        out.a_type = ::A_SYMBOL;
        out.a_w.w_symbol = in.a_w.w_sym ? ::gensym(in.a_w.w_sym->s_name) : &s_;
    } else {
        out.a_type = ::A_FLOAT;
        out.a_w.w_float = static_cast<t_float>(atom_to_double(in));
    }
}

Atom from_pd_message_atom(const t_atom& in) {
    Atom a{};
    if (in.a_type == ::A_FLOAT)
        atom_setfloat(&a, in.a_w.w_float);
    else if (in.a_type == ::A_SYMBOL)
        atom_setsym(&a, gensym(in.a_w.w_symbol->s_name));
    else
        atom_setsym(&a, gensym("")); // a pointer: nothing the package reads
    return a;
}

Atom from_pd_creation_atom(const t_atom& in) {
    Atom a = from_pd_message_atom(in);
    if (a.a_type == A_FLOAT) {
        const float f = a.a_w.w_float;
        if (std::trunc(f) == f && f >= -2147483648.0f && f < 2147483648.0f)
            atom_setlong(&a, static_cast<std::int32_t>(f));
    }
    return a;
}

// --- the SDK ----------------------------------------------------------------------------------

Symbol* gensym(const char* text) {
    // Pd's symbols start with their name, as the package's do: one table serves both.
    return reinterpret_cast<Symbol*>(::gensym(text ? text : ""));
}

void* newobject(Class* c) {
    t_class* pd = c ? pd_class_of(c) : nullptr;
    if (!pd)
        return nullptr;
    auto* x = reinterpret_cast<PdBox*>(::pd_new(pd));
    const std::size_t size =
        (static_cast<std::size_t>(c->size) + INSTANCE_ALIGN - 1) / INSTANCE_ALIGN * INSTANCE_ALIGN;
    void* mem = ::operator new(size, std::align_val_t(INSTANCE_ALIGN));
    std::memset(mem, 0, size);
    auto* b = new Box{};
    b->cls = c;
    b->pd = x;
    b->instance = mem;
    static_cast<Object*>(mem)->o_box = b;
    x->box = b;
    if (binding().made_now)
        binding().made_now->push_back(b);
    else
        b->adopted = true; // made outside any creation: its maker keeps it
    return mem;
}

void freeobject(void* x) {
    if (Box* b = box_of(x))
        ::pd_free(&b->pd->obj.ob_pd);
}

Outlet* outlet_new(void* x, const char* type) {
    Box* b = box_of(x);
    if (!b)
        return nullptr;
    const bool signal = type && std::strcmp(type, "signal") == 0;
    b->outlets.insert(b->outlets.begin(), std::make_unique<Outlet>(Outlet{b, signal}));
    Outlet* o = b->outlets.front().get();
    if (b->adopted) // after creation: Pd can only add it at the right
        o->pd = ::outlet_new(&b->pd->obj, signal ? &s_signal : nullptr);
    return o;
}

void outlet_anything(Outlet* o, Symbol* s, short argc, Atom* argv) {
    if (!o || !o->pd || o->signal)
        return;
    InlineBuffer<t_atom, ATOMS_ON_STACK> atoms(static_cast<std::size_t>(argc > 0 ? argc : 0));
    for (short i = 0; i < argc; ++i)
        to_pd_atom(argv[i], atoms[i]);
    t_symbol* selector = s ? ::gensym(s->s_name) : &s_list;
    if (selector == &s_list)
        ::outlet_list(o->pd, &s_list, argc, atoms.data());
    else
        ::outlet_anything(o->pd, selector, argc, atoms.data());
}

void outlet_bang(Outlet* o) {
    if (o && o->pd && !o->signal)
        ::outlet_bang(o->pd);
}

void z_dsp_setup(SignalObject* x, short signal_inlets) {
    Box* b = box_of(x);
    if (!b)
        return;
    b->signal_object = true;
    const int wanted = signal_inlets > 0 ? signal_inlets : 0;
    // The left inlet is the class's main signal inlet; the others are added at the right.
    for (int i = std::max(b->signal_inlets, 1); i < wanted; ++i)
        ::inlet_new(&b->pd->obj, &b->pd->obj.ob_pd, &s_signal, &s_signal);
    b->signal_inlets = std::max(b->signal_inlets, wanted);
}

void dsp_addv(PerformRoutine perform, long n, void** args) {
    if (!perform || (n > 0 && !args)) {
        bug("dsp_addv without a routine");
        return;
    }
    // The same convention as Pd's: w[1..n] are pointer-size words, the routine returns w+n+1.
    static_assert(sizeof(t_int) == sizeof(std::intptr_t) && sizeof(void*) == sizeof(t_int));
    ::dsp_addv(reinterpret_cast<t_perfroutine>(perform), static_cast<int>(n),
               reinterpret_cast<t_int*>(args));
}

// --- clocks -----------------------------------------------------------------------------------

namespace detail {

namespace {

void clock_tick(Clock* k) {
    Handling here(k->owner, 0);
    k->thunk(k->fn, k->owner->instance);
}

} // namespace

Clock* make_clock(void* x, ErasedFn fn, FreeThunk thunk) {
    Box* b = box_of(x);
    if (!b || !fn)
        return nullptr;
    auto k = std::make_unique<Clock>(Clock{b, fn, thunk});
    k->pd = ::clock_new(k.get(), reinterpret_cast<t_method>(clock_tick));
    b->clocks.push_back(std::move(k));
    return b->clocks.back().get();
}

} // namespace detail

void clock_delay(Clock* c, double ms) {
    if (c)
        ::clock_delay(c->pd, ms > 0 ? ms : 0);
}

void clock_unset(Clock* c) {
    if (c)
        ::clock_unset(c->pd);
}

void clock_free(Clock* c) {
    if (!c)
        return;
    auto& clocks = c->owner->clocks;
    auto it = std::find_if(clocks.begin(), clocks.end(),
                           [c](const std::unique_ptr<Clock>& k) { return k.get() == c; });
    if (it == clocks.end())
        return;
    ::clock_free(c->pd);
    clocks.erase(it);
}

double gettime() {
    return ::clock_gettimesince(0);
}

double sys_getsr() {
    return ::sys_getsr();
}

long sys_getblksize() {
    return ::sys_getblksize();
}

void inlet_new(void* x, const char*) {
    Box* b = box_of(x);
    if (!b)
        return;
    Binding& r = binding();
    if (!r.proxy_class) {
        r.proxy_class = ::class_new(::gensym("tovo inlet"), nullptr, nullptr, sizeof(Proxy),
                                    CLASS_PD, ::A_NULL);
        ::class_addanything(r.proxy_class, reinterpret_cast<t_method>(proxy_anything));
    }
    auto* p = reinterpret_cast<Proxy*>(::pd_new(r.proxy_class));
    p->box = b;
    p->inlet = b->message_inlets++;
    b->proxies.push_back(&p->pd);
    ::inlet_new(&b->pd->obj, &p->pd, nullptr, nullptr);
}

long proxy_getinlet(void*) {
    return binding().current_inlet;
}

} // namespace tovo::host

// --- loading ----------------------------------------------------------------------------------

void tovo_pd_define(const char* name, int (*registration)()) {
    using namespace tovo::host;
    if (!name || !registration || find_class(name))
        return; // loaded already (by a plug-in that asked for it, then by Pd)
    Class* c = binding().classes.define(name, registration);
    if (!c) {
        ::pd_error(nullptr, "%s: the plug-in registered no class", name);
        return;
    }
    make_pd_class(c);
}

namespace tovo::host {

// --- instances that belong to no patch --------------------------------------------------------

void* newinstance(Symbol* cls, short argc, Atom* argv) {
    Class* c = cls ? load_class(cls->s_name) : nullptr;
    if (!c || !pd_class_of(c))
        return nullptr;
    return create(c, argv ? argc : 0, argv);
}

} // namespace tovo::host
