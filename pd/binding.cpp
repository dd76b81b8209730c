// SPDX-License-Identifier: GPL-3.0-or-later
// The SDK on Pure Data's m_pd.h: classes made after a plug-in's main returns, boxes whose record
// lives apart from Pd's object, outlets made in reverse, one trampoline that dispatches every
// message by the package's typed-argument rule, clocks on Pd's clocks and "dsp" on Pd's chain.
#include "binding.hpp"

#include <tovo/jitter.hpp>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <new>

extern "C" int sys_load_lib(t_canvas* canvas, const char* classname); // s_stuff.h, no C++ guard

namespace tovo::host {

namespace {

constexpr std::size_t INSTANCE_ALIGN = 64;
// Atoms one message or one box's creation arguments may hold: what a handler's 16-bit count can
// say. Longer ones are refused, not cut to what the count would wrap to.
constexpr int MAX_MESSAGE_ATOMS = std::numeric_limits<short>::max();

struct Binding {
    std::map<std::string, std::unique_ptr<Class>> classes;
    std::map<t_symbol*, Class*> by_pd_name;
    std::string loading_name; // the class whose main runs
    Class* registering = nullptr;
    std::vector<Box*>* made_now = nullptr; // boxes made by the running creation routine
    Box* current = nullptr;                // the box handling a message
    long current_inlet = 0;
    t_class* proxy_class = nullptr;
};

Binding& binding() {
    static Binding b;
    return b;
}

std::string vformat(const char* fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n <= 0)
        return {};
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), fmt, ap);
    text.resize(static_cast<std::size_t>(n));
    return text;
}

Class* find_class(const std::string& name) {
    auto it = binding().classes.find(name);
    return it == binding().classes.end() ? nullptr : it->second.get();
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

// Calls the handler the tovo host would call for this selector: the object's own, else "list"
// for a lone number or word (Pd's float and symbol messages), else "anything".
void dispatch(Box* b, long inlet, t_symbol* s, int argc, t_atom* argv) {
    if (!b->adopted)
        return;
    Class* c = b->cls;
    if (argc > MAX_MESSAGE_ATOMS) {
        ::pd_error(b->pd, "%s: \"%s\" with more than %d atoms was dropped", c->name->s_name,
                   s->s_name, MAX_MESSAGE_ATOMS);
        return;
    }
    auto usable = [](const Method* m) {
        return m && m->shape != detail::Shape::Dsp && m->shape != detail::Shape::Assist ? m
                                                                                        : nullptr;
    };
    Symbol* selector = gensym(s->s_name);
    const Method* m = usable(c->find(selector));
    if (!m && (s == &s_float || s == &s_symbol)) {
        m = usable(c->find(gensym("list")));
        if (m)
            selector = gensym("list");
    }
    if (!m) {
        const Method* any = c->find(gensym("anything"));
        m = any && any->shape == detail::Shape::Gimme ? any : nullptr;
    }
    if (!m) {
        ::pd_error(b->pd, "%s: doesn't understand \"%s\"", c->name->s_name, s->s_name);
        return;
    }
    std::vector<Atom> atoms(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i)
        atoms[i] = from_pd_message_atom(argv[i]);
    Handling here(b, inlet);
    if (m->shape == detail::Shape::Typed) {
        std::vector<detail::Arg> typed(m->codes.size(), detail::Arg{0, 0.0});
        for (std::size_t i = 0; i < typed.size() && i < atoms.size(); ++i)
            typed[i] = {atom_to_long(atoms[i]), atom_to_double(atoms[i])};
        detail::TypedCall call{typed.data()};
        m->thunk(m->fn, b->instance, &call);
    } else {
        detail::GimmeCall call{selector, static_cast<short>(argc), atoms.data()};
        m->thunk(m->fn, b->instance, &call);
    }
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
    if (argc > MAX_MESSAGE_ATOMS) {
        ::pd_error(nullptr, "%s: more than %d creation arguments", c->name->s_name,
                   MAX_MESSAGE_ATOMS);
        return nullptr;
    }
    std::vector<Atom> atoms(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i)
        atoms[i] = from_pd_creation_atom(argv[i]);
    void* x = create(c, static_cast<short>(argc), atoms.data());
    Box* b = box_of(x);
    return b ? b->pd : nullptr;
}

void make_pd_class(Class* c) {
    t_symbol* name = ::gensym(c->name->s_name);
    c->pd = ::class_new(
        name, reinterpret_cast<t_newmethod>(reinterpret_cast<void (*)()>(pd_box_new)),
        reinterpret_cast<t_method>(pd_box_free), sizeof(PdBox), CLASS_DEFAULT, ::A_GIMME, 0);
    binding().by_pd_name[name] = c;
    if (c->takes_signals) {
        CLASS_MAINSIGNALIN(c->pd, PdBox, scalar);
        ::class_addmethod(c->pd, reinterpret_cast<t_method>(pd_box_dsp), ::gensym("dsp"), ::A_CANT,
                          0);
    }
    ::class_addanything(c->pd, reinterpret_cast<t_method>(pd_box_anything));
}

// Loads a class that a plug-in asks for by name, through Pd's loader and its search path (which
// also finds NAME/NAME.pd_linux below each folder on it, so the package's folder is enough).
Class* load_class(const std::string& name) {
    if (Class* c = find_class(name))
        return c;
    if (name.empty() || name.find('/') != std::string::npos)
        return nullptr;
    sys_load_lib(::canvas_getcurrent(), name.c_str());
    return find_class(name);
}

} // namespace

const Method* Class::find(Symbol* selector) const {
    for (const Method& m : methods)
        if (m.selector == selector)
            return &m;
    return nullptr;
}

// --- what the Jitter layer needs of this host (host/host_services.hpp) --------------------------

void bug(const std::string& text) {
    ::post("bug: %s", text.c_str());
}

Class* registering_class() {
    return binding().registering;
}

const char* class_name(const Class* c) {
    return c->name->s_name;
}

long class_size(const Class* c) {
    return c->size;
}

Class* class_of(void* x) {
    Box* b = box_of(x);
    return b ? b->cls : nullptr;
}

std::unique_ptr<BoxExtension>& extension_of(void* x) {
    return box_of(x)->extension;
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
    if (!c || !c->pd)
        return nullptr;
    auto* x = reinterpret_cast<PdBox*>(::pd_new(c->pd));
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

Outlet* listout(void* x) {
    return outlet_new(x, nullptr);
}

Outlet* intout(void* x) {
    return outlet_new(x, nullptr);
}

void outlet_anything(Outlet* o, Symbol* s, short argc, Atom* argv) {
    if (!o || !o->pd || o->signal)
        return;
    std::vector<t_atom> atoms(static_cast<std::size_t>(argc > 0 ? argc : 0));
    for (short i = 0; i < argc; ++i)
        to_pd_atom(argv[i], atoms[i]);
    t_symbol* selector = s ? ::gensym(s->s_name) : &s_list;
    if (selector == &s_list)
        ::outlet_list(o->pd, &s_list, argc, atoms.data());
    else
        ::outlet_anything(o->pd, selector, argc, atoms.data());
}

void outlet_list(Outlet* o, Symbol* s, short argc, Atom* argv) {
    outlet_anything(o, s, argc, argv);
}

void outlet_bang(Outlet* o) {
    if (o && o->pd && !o->signal)
        ::outlet_bang(o->pd);
}

void post(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string text = vformat(fmt, ap);
    va_end(ap);
    ::post("%s", text.c_str());
}

void error(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const std::string text = vformat(fmt, ap);
    va_end(ap);
    Box* b = current_box();
    ::pd_error(b ? static_cast<const void*>(b->pd) : nullptr, "%s", text.c_str());
}

int sprintf(char* buf, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf, TEXT_MAX, fmt, ap);
    va_end(ap);
    return n;
}

void* sysmem_newptr(long bytes) {
    return std::malloc(bytes > 0 ? static_cast<std::size_t>(bytes) : 1);
}

void sysmem_freeptr(void* p) {
    std::free(p);
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

void z_dsp_free(SignalObject*) {
    // Pd takes the object out of its chain when it frees it.
}

void z_add_signalmethod() {
    if (Class* c = binding().registering)
        c->takes_signals = true;
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

namespace detail {

void register_class(Class** slot, NewRoutine make, ErasedFn free_fn, FreeThunk thunk, long size,
                    const short* codes, int ncodes) {
    Binding& r = binding();
    const std::string name = r.loading_name;
    if (name.empty()) {
        bug("setup called outside a plug-in's main");
        return;
    }
    if (find_class(name)) {
        bug(name + ": setup called twice");
        return;
    }
    if (!make || size < static_cast<long>(sizeof(Object))) {
        bug(name + ": setup needs a creation routine and a record that holds the header");
        return;
    }
    if (!(ncodes >= 1 && codes[0] == A_GIMME &&
          std::all_of(codes + 1, codes + ncodes, [](short c) { return c == 0; }))) {
        bug(name + ": setup supports only creation arguments as a whole list (type 8)");
        return;
    }
    auto c = std::make_unique<Class>();
    c->name = gensym(name.c_str());
    c->make = make;
    c->free_fn = free_fn;
    c->free_thunk = thunk;
    c->size = size;
    r.registering = c.get();
    if (slot)
        *slot = c.get();
    r.classes[name] = std::move(c);
}

void register_method(const char* selector, Shape shape, ErasedFn fn, Thunk thunk,
                     const short* declared, int ndeclared, const short* derived, int nderived) {
    Class* c = binding().registering;
    if (!c) {
        bug(std::string("addmess \"") + selector + "\" without a class being set up");
        return;
    }
    const std::string where = std::string(c->name->s_name) + ": \"" + selector + "\"";
    int n = ndeclared;
    while (n > 0 && declared[n - 1] == 0)
        --n;
    if (!std::equal(declared, declared + n, derived, derived + nderived)) {
        bug(where + ": type codes do not match the handler's arguments");
        return;
    }
    if (c->find(gensym(selector))) {
        bug(where + ": registered twice");
        return;
    }
    const std::string sel = selector;
    const bool is_private = sel == "dsp" || sel == "assist";
    if (is_private != (shape == Shape::Dsp || shape == Shape::Assist) ||
        (shape == Shape::Dsp && sel != "dsp") || (shape == Shape::Assist && sel != "assist")) {
        bug(where + ": private messages are \"dsp\" and \"assist\" with their own arguments");
        return;
    }
    c->methods.push_back(
        {gensym(selector), shape, std::vector<short>(derived, derived + nderived), fn, thunk});
}

// --- clocks -----------------------------------------------------------------------------------

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
    Binding& r = binding();
    if (!name || !registration || find_class(name))
        return; // loaded already (by a plug-in that asked for it, then by Pd)
    // A main may load another class while it registers (a wrapper asking for its library
    // object): the outer registration goes on after the inner one is done.
    std::string outer_name = std::exchange(r.loading_name, name);
    Class* outer = std::exchange(r.registering, nullptr);
    registration();
    Class* c = r.registering;
    r.loading_name = std::move(outer_name);
    r.registering = outer;
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
    if (!c || !c->pd)
        return nullptr;
    return create(c, argv ? argc : 0, argv);
}

} // namespace tovo::host
