// SPDX-License-Identifier: GPL-3.0-or-later
// The host's Jitter layer, for plug-ins that include it beside api.hpp: engine classes
// registered by name in the "jitter" name-space, engine objects with attributes, and the wrapper
// operations that tie a patcher box to one engine. A library object registers engine classes;
// a wrapper plug-in gives each box one engine and the standard attribute messages.
#pragma once

#include <tovo/api.hpp>

#include <cstdint>

namespace tovo::host {

struct JitClass; // an engine class (host-owned)
struct ClassEx;  // the wrapper extension of a box class (host-owned)

// First member of every engine record. The host fills it in; engines never touch it.
struct JitObject {
    JitClass* j_class;
};

// Value types of engine attributes: std::int32_t, float or Symbol* members (or fixed arrays).
enum class AttrType : short { Long, Float32, Symbol };

// One attribute holds this many values at most.
inline constexpr long JIT_ATTR_MAX = 16;

using JitErr = long;
inline constexpr JitErr JIT_ERR_NONE = 0;
inline constexpr JitErr JIT_ERR_INVALID_INPUT = 1;

// Jitter's empty symbol: the drawing-context name of an engine made without one.
TOVO_EXPORT extern Symbol* const _jit_sym_nothing;

// --- class look-ups ---------------------------------------------------------------------------
// An instance of a class, loading its library if need be, that belongs to no patch box; free it
// with freeobject. Null when the class cannot be had.
TOVO_EXPORT void* newinstance(Symbol* cls, short argc, Atom* argv);
// A registered engine class (JitClass*) in the name-space "jitter"; null for anything else.
TOVO_EXPORT void* class_findbyname(Symbol* name_space, Symbol* cls);
TOVO_EXPORT JitClass* jit_class_findbyname(Symbol* cls);

// --- engine classes, as a library object registers them ---------------------------------------
namespace detail {

using JitNewThunk = void* (*)(ErasedFn fn, Symbol* drawto);
using JitGetThunk = void (*)(ErasedFn fn, void* engine, Atom* out);

TOVO_EXPORT JitClass* jit_class_define(const char* name, ErasedFn make, JitNewThunk make_thunk,
                                       ErasedFn free_fn, FreeThunk free_thunk, long size);
TOVO_EXPORT void jit_class_add_getter(JitClass* c, const char* name, AttrType type, long count,
                                      ErasedFn get, JitGetThunk thunk);

} // namespace detail

// An engine class, not yet known by name: add its attributes, then jit_class_register it. The
// creation routine takes the drawing-context name and makes its record with jit_object_alloc.
template <class T>
JitClass* jit_class_new(const char* name, T* (*make)(Symbol* drawto), void (*free_fn)(T*),
                        long size) {
    detail::JitNewThunk make_thunk = [](detail::ErasedFn f, Symbol* drawto) -> void* {
        return reinterpret_cast<T* (*)(Symbol*)>(f)(drawto);
    };
    detail::FreeThunk free_thunk = [](detail::ErasedFn f, void* x) {
        reinterpret_cast<void (*)(T*)>(f)(static_cast<T*>(x));
    };
    return detail::jit_class_define(name, reinterpret_cast<detail::ErasedFn>(make), make_thunk,
                                    reinterpret_cast<detail::ErasedFn>(free_fn), free_thunk, size);
}

// An attribute stored in the record: `count` values of `type` from byte `offset` on. Boxes set
// it with "NAME VALUE..." and read it with "getNAME".
TOVO_EXPORT void jit_class_addattr(JitClass* c, const char* name, AttrType type, long count,
                                   long offset);

// A read-only attribute the engine computes when asked: get fills `count` atoms of `type`.
template <class T>
void jit_class_addattr_getter(JitClass* c, const char* name, AttrType type, long count,
                              void (*get)(T*, Atom* out)) {
    detail::JitGetThunk thunk = [](detail::ErasedFn f, void* engine, Atom* out) {
        reinterpret_cast<void (*)(T*, Atom*)>(f)(static_cast<T*>(engine), out);
    };
    detail::jit_class_add_getter(c, name, type, count, reinterpret_cast<detail::ErasedFn>(get),
                                 thunk);
}

// Makes the class known by its name; a second class of the same name is refused.
TOVO_EXPORT void jit_class_register(JitClass* c);

// --- engine objects ---------------------------------------------------------------------------
// A zeroed engine record of the class's size, header filled in; for creation routines.
TOVO_EXPORT void* jit_object_alloc(JitClass* c);
// An engine of the named class, made by its creation routine; null when there is none.
TOVO_EXPORT void* jit_object_new(Symbol* cls, Symbol* drawto);
// Runs the engine's free routine and releases it; null is ignored.
TOVO_EXPORT void jit_object_free(void* engine);
// One error line on the console on behalf of x (a box or an engine).
TOVO_EXPORT void jit_object_error(void* x, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));
// Reads argv[index] into *out when it is a symbol; otherwise leaves *out as it was.
TOVO_EXPORT JitErr jit_atom_arg_getsym(Symbol** out, long index, long argc, Atom* argv);

// --- the wrapper of a box class around an engine class ----------------------------------------
// Called in a plug-in's main after setup. `offset` is the byte position of the record's one
// pointer-size slot that holds the wrapper's extension data.
TOVO_EXPORT ClassEx* max_jit_classex_setup(long offset);
// Gives the box class a message per attribute of the engine class: "NAME VALUE..." sets it
// (not for read-only ones), "getNAME" answers "NAME VALUE..." on the dump outlet.
TOVO_EXPORT void max_jit_classex_standard_wrap(ClassEx* p, JitClass* jc, long flags);
// Marks the box class as a 3-D object, whose boxes attach their engine.
TOVO_EXPORT void max_ob3d_setup();

// A new box record with its extension data; null when the class has no wrapper extension.
TOVO_EXPORT void* max_jit_obex_new(Class* c, Symbol* jit_class_name);
// Releases the extension data (the engine is the caller's to free first).
TOVO_EXPORT void max_jit_obex_free(void* x);
TOVO_EXPORT void max_jit_obex_jitob_set(void* x, void* engine);
TOVO_EXPORT void* max_jit_obex_jitob_get(void* x);
TOVO_EXPORT void max_jit_obex_dumpout_set(void* x, Outlet* dumpout);

// How many creation arguments come before the first "@NAME".
TOVO_EXPORT long max_jit_attr_args_offset(short argc, Atom* argv);
// Applies each "@NAME VALUE..." of the creation arguments to the box's engine.
TOVO_EXPORT void max_jit_attr_args(void* x, short argc, Atom* argv);

// Ties the box's engine to it and to its matrix outlet; detach undoes it before the engine goes.
TOVO_EXPORT void max_jit_ob3d_attach(void* x, void* engine, Outlet* matrix_out);
TOVO_EXPORT void max_jit_ob3d_detach(void* x);
// The "assist" handler of 3-D boxes: inlet 0, matrix outlet 0, dump outlet 1.
TOVO_EXPORT void max_jit_ob3d_assist(void* x, void* box, long kind, long index, char* text);

} // namespace tovo::host
