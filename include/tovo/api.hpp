// SPDX-License-Identifier: GPL-3.0-or-later
// The host API that every plug-in includes: class registration, instances, outlets, the
// console, symbols, memory and the signal chain. The operations keep the shape patcher
// objects have always used; underneath, every handler is called at its exact type.
//
// Plug-in sources put their code in namespace tovo with `using namespace host;`, which keeps
// the host's post/error/sprintf ahead of the C library's names of the same spelling.
#pragma once

#include <tovo/atom.hpp>
#include <tovo/version.hpp>

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

// Marks what the host runtime exports, and each plug-in's entry point `int main()`.
#define TOVO_EXPORT __attribute__((visibility("default")))

namespace tovo::host {

struct Class;  // a registered class (host-owned)
struct Outlet; // an outlet of a box (host-owned)
struct Box;    // the host's side of an instance (host-owned)

// First member of every instance record. The host fills it in; objects never touch it.
struct Object {
    Box* o_box;
};

// First member of a signal object's record.
struct SignalObject {
    Object z_ob;
    std::int16_t z_misc; // flags; Z_NO_INPLACE asks for outlets that never share an inlet's buffer
};
inline constexpr std::int16_t Z_NO_INPLACE = 1;

// One signal inlet or outlet as "dsp" sees it.
struct Signal {
    long s_n;     // vector length in samples
    float* s_vec; // the samples
    double s_sr;  // sample rate
};

using NewRoutine = void* (*)(Symbol* s, short argc, Atom* argv);
// w[0] is the routine itself, w[1..n] its arguments; it returns w + n + 1.
using PerformRoutine = std::intptr_t* (*)(std::intptr_t* w);

// Host-side text buffers handed to "assist" and filled with sprintf hold this many bytes.
inline constexpr std::size_t TEXT_MAX = 512;

// --- core ------------------------------------------------------------------------------------
TOVO_EXPORT Symbol* gensym(const char* text);
TOVO_EXPORT void* newobject(Class* c);
TOVO_EXPORT void freeobject(void* x);
TOVO_EXPORT Outlet* outlet_new(void* x, const char* type); // type "signal", or none for messages
TOVO_EXPORT Outlet* listout(void* x);
TOVO_EXPORT Outlet* intout(void* x);
TOVO_EXPORT void outlet_list(Outlet* o, Symbol* s, short argc, Atom* argv); // s: 0 means "list"
TOVO_EXPORT void outlet_bang(Outlet* o);
TOVO_EXPORT void outlet_anything(Outlet* o, Symbol* s, short argc, Atom* argv);
TOVO_EXPORT void post(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
TOVO_EXPORT void error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Writes at most TEXT_MAX bytes, terminator included.
TOVO_EXPORT int sprintf(char* buf, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
TOVO_EXPORT void* sysmem_newptr(long bytes);
TOVO_EXPORT void sysmem_freeptr(void* p);

// --- signal objects ---------------------------------------------------------------------------
TOVO_EXPORT void z_dsp_setup(SignalObject* x, short signal_inlets);
TOVO_EXPORT void z_dsp_free(SignalObject* x);
TOVO_EXPORT void z_add_signalmethod();
TOVO_EXPORT void dsp_addv(PerformRoutine perform, long n, void** args);

// --- registration plumbing behind setup/addmess/addbang ---------------------------------------
namespace detail {

using ErasedFn = void (*)(); // any function pointer round-trips through this type

// One typed argument after conversion by the host's rules.
struct Arg {
    std::int32_t i;
    double d;
};

enum class Shape : unsigned char { Typed, Gimme, Dsp, Assist };

struct TypedCall {
    const Arg* args;
};
struct GimmeCall {
    Symbol* s;
    short argc;
    Atom* argv;
};
struct DspCall {
    Signal** sp;
    short* count;
};
struct AssistCall {
    void* box;
    long kind;
    long index;
    char* text;
};

// Calls fn on instance x with the call record that matches the method's shape.
using Thunk = void (*)(ErasedFn fn, void* x, const void* call);
using FreeThunk = void (*)(ErasedFn fn, void* x);

TOVO_EXPORT void register_class(Class** slot, NewRoutine make, ErasedFn free_fn, FreeThunk thunk,
                                long size, const short* codes, int ncodes);
TOVO_EXPORT void register_method(const char* selector, Shape shape, ErasedFn fn, Thunk thunk,
                                 const short* declared, int ndeclared, const short* derived,
                                 int nderived);

template <class A> constexpr short code_of() {
    if constexpr (std::is_same_v<A, std::int32_t>)
        return A_LONG;
    else
        return A_FLOAT;
}

template <class A>
concept TypedArgument = std::is_same_v<A, std::int32_t> || std::is_same_v<A, double>;

template <class A> A pick(const Arg& a) {
    if constexpr (std::is_same_v<A, std::int32_t>)
        return a.i;
    else
        return a.d;
}

template <class T, class... A, std::size_t... I>
void call_typed(void (*f)(T*, A...), void* x, const Arg* args, std::index_sequence<I...>) {
    f(static_cast<T*>(x), pick<A>(args[I])...);
}

template <class... C>
void add(const char* sel, Shape shape, ErasedFn fn, Thunk thunk, const short* derived, int nderived,
         C... codes) {
    const short declared[] = {static_cast<short>(codes)..., 0};
    register_method(sel, shape, fn, thunk, declared, static_cast<int>(sizeof...(C)), derived,
                    nderived);
}

} // namespace detail

// --- registration, in the shape plug-ins have always written it -------------------------------
// Pass handlers uncast: the host derives each handler's argument types from its real type,
// checks them against the type codes given, and calls it through a thunk made for that type.

template <class T, class... C>
void setup(Class** slot, NewRoutine make, void (*free_fn)(T*), long size, long /*menu*/,
           C... codes) {
    const short c[] = {static_cast<short>(codes)..., 0};
    detail::FreeThunk thunk = [](detail::ErasedFn f, void* x) {
        reinterpret_cast<void (*)(T*)>(f)(static_cast<T*>(x));
    };
    detail::register_class(slot, make, reinterpret_cast<detail::ErasedFn>(free_fn), thunk, size, c,
                           static_cast<int>(sizeof...(C)));
}

template <class... C>
void setup(Class** slot, NewRoutine make, std::nullptr_t, long size, long /*menu*/, C... codes) {
    const short c[] = {static_cast<short>(codes)..., 0};
    detail::register_class(slot, make, nullptr, nullptr, size, c, static_cast<int>(sizeof...(C)));
}

// Typed handler: void f(T*, [std::int32_t | double]...), codes A_LONG / A_FLOAT, closed by 0.
template <class T, detail::TypedArgument... A, class... C>
void addmess(void (*fn)(T*, A...), const char* sel, C... codes) {
    const short derived[] = {detail::code_of<A>()..., 0};
    detail::Thunk thunk = [](detail::ErasedFn f, void* x, const void* call) {
        detail::call_typed(reinterpret_cast<void (*)(T*, A...)>(f), x,
                           static_cast<const detail::TypedCall*>(call)->args,
                           std::index_sequence_for<A...>{});
    };
    detail::add(sel, detail::Shape::Typed, reinterpret_cast<detail::ErasedFn>(fn), thunk, derived,
                static_cast<int>(sizeof...(A)), codes...);
}

// Whole-list handler: void f(T*, Symbol* selector, short argc, Atom* argv), code A_GIMME.
template <class T, class... C>
void addmess(void (*fn)(T*, Symbol*, short, Atom*), const char* sel, C... codes) {
    const short derived[] = {A_GIMME};
    detail::Thunk thunk = [](detail::ErasedFn f, void* x, const void* call) {
        auto* g = static_cast<const detail::GimmeCall*>(call);
        reinterpret_cast<void (*)(T*, Symbol*, short, Atom*)>(f)(static_cast<T*>(x), g->s, g->argc,
                                                                 g->argv);
    };
    detail::add(sel, detail::Shape::Gimme, reinterpret_cast<detail::ErasedFn>(fn), thunk, derived,
                1, codes...);
}

// Private "dsp": void f(T*, Signal** inlets_then_outlets, short* connection_counts), code A_CANT.
template <class T, class... C>
void addmess(void (*fn)(T*, Signal**, short*), const char* sel, C... codes) {
    const short derived[] = {A_CANT};
    detail::Thunk thunk = [](detail::ErasedFn f, void* x, const void* call) {
        auto* d = static_cast<const detail::DspCall*>(call);
        reinterpret_cast<void (*)(T*, Signal**, short*)>(f)(static_cast<T*>(x), d->sp, d->count);
    };
    detail::add(sel, detail::Shape::Dsp, reinterpret_cast<detail::ErasedFn>(fn), thunk, derived, 1,
                codes...);
}

// Private "assist": void f(T*, void* box, long kind (1 inlet, 2 outlet), long index, char* text).
template <class T, class... C>
void addmess(void (*fn)(T*, void*, long, long, char*), const char* sel, C... codes) {
    const short derived[] = {A_CANT};
    detail::Thunk thunk = [](detail::ErasedFn f, void* x, const void* call) {
        auto* a = static_cast<const detail::AssistCall*>(call);
        reinterpret_cast<void (*)(T*, void*, long, long, char*)>(f)(static_cast<T*>(x), a->box,
                                                                    a->kind, a->index, a->text);
    };
    detail::add(sel, detail::Shape::Assist, reinterpret_cast<detail::ErasedFn>(fn), thunk, derived,
                1, codes...);
}

// Handler of a bare bang.
template <class T> void addbang(void (*fn)(T*)) {
    addmess(fn, "bang", 0);
}

// --- time and inlets ---------------------------------------------------------------------------
// The host's clock is logical: it advances with the signal vectors, and a clock set to fire at
// a time fires at the first vector boundary at or after it, so timed messages are the same
// from run to run.

struct Clock; // host-owned

namespace detail {
TOVO_EXPORT Clock* make_clock(void* x, ErasedFn fn, FreeThunk thunk);
} // namespace detail

// A clock that calls fn(x) when it fires.
template <class T> Clock* clock_new(T* x, void (*fn)(T*)) {
    detail::FreeThunk thunk = [](detail::ErasedFn f, void* o) {
        reinterpret_cast<void (*)(T*)>(f)(static_cast<T*>(o));
    };
    return detail::make_clock(x, reinterpret_cast<detail::ErasedFn>(fn), thunk);
}
TOVO_EXPORT void clock_delay(Clock* c, double ms); // fire ms from now (replaces a pending time)
TOVO_EXPORT void clock_unset(Clock* c);
TOVO_EXPORT void clock_free(Clock* c);
TOVO_EXPORT double gettime();      // logical time in milliseconds
TOVO_EXPORT double sys_getsr();    // sample rate
TOVO_EXPORT long sys_getblksize(); // signal vector length

// Adds a message inlet at the right; messages arriving there go to the object's handlers like
// those of the left inlet, and proxy_getinlet tells them apart.
TOVO_EXPORT void inlet_new(void* x, const char* type);
TOVO_EXPORT long proxy_getinlet(void* x); // inlet of the message being handled, from 0

} // namespace tovo::host
