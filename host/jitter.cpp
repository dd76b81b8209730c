// SPDX-License-Identifier: GPL-3.0-or-later
// The Jitter layer: engine classes and their attributes, engine objects, and the wrapper
// extension that each box of a wrapped class carries (its engine and its dump outlet). Like the
// class registry, engine classes are registered once per process and serve every patch. Both
// hosts build it, the tovo runtime and the Pd binding, each over its own host_services.
#include <tovo/jitter.hpp>

#include "host_services.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace tovo::host {

Symbol* const _jit_sym_nothing = gensym("");

struct JitAttr {
    Symbol* name;
    AttrType type;
    long count;
    long offset;                             // in the engine record; unused when computed
    detail::ErasedFn get = nullptr;          // computed (read-only) attributes
    detail::JitGetThunk get_thunk = nullptr; // the same

    bool read_only() const { return get_thunk != nullptr; }
};

struct JitClass {
    Symbol* name;
    detail::ErasedFn make;
    detail::JitNewThunk make_thunk;
    detail::ErasedFn free_fn;
    detail::FreeThunk free_thunk;
    long size;
    std::vector<JitAttr> attrs; // in the order they were added

    const JitAttr* find(Symbol* attr) const {
        for (const JitAttr& a : attrs)
            if (a.name == attr)
                return &a;
        return nullptr;
    }
};

struct ClassEx {
    long offset; // of the record's extension slot
    bool ob3d = false;
};

namespace {

// The extension data of one box: owned by the box, and named by the record's slot.
struct Obex final : BoxExtension {
    void* jitob = nullptr;
    Outlet* dumpout = nullptr;
    void* attached = nullptr; // the engine attached as a 3-D object
};

struct JitterState {
    std::vector<std::unique_ptr<JitClass>> classes; // every class made, registered or not
    std::map<Symbol*, JitClass*> by_name;
    std::map<const Class*, ClassEx> wrappers;
    std::unordered_map<void*, bool> engines; // engines made and not yet freed: attached to a box?
};

JitterState& state() {
    static JitterState s;
    return s;
}

long value_size(AttrType type) {
    switch (type) {
    case AttrType::Long:
        return sizeof(std::int32_t);
    case AttrType::Float32:
        return sizeof(float);
    default:
        return sizeof(Symbol*);
    }
}

ClassEx* classex_of(const Class* c) {
    auto it = state().wrappers.find(c);
    return it == state().wrappers.end() ? nullptr : &it->second;
}

// The extension data of a box of a wrapped class, until max_jit_obex_free releases it.
Obex* obex_of(void* x) {
    return x ? dynamic_cast<Obex*>(extension_of(x).get()) : nullptr;
}

void set_slot(void* x, const Class* c, void* value) {
    std::memcpy(static_cast<char*>(x) + classex_of(c)->offset, &value, sizeof value);
}

const char* class_name_of(void* x) {
    const Class* c = class_of(x);
    return c ? class_name(c) : "jitter";
}

JitClass* registered_engine_class(Symbol* name) {
    auto it = state().by_name.find(name);
    return it == state().by_name.end() ? nullptr : it->second;
}

JitClass* engine_class_of(void* engine) {
    return engine && state().engines.count(engine) ? static_cast<JitObject*>(engine)->j_class
                                                   : nullptr;
}

void attach(void* engine, bool attached) {
    if (auto it = state().engines.find(engine); it != state().engines.end())
        it->second = attached;
}

// Value i of an attribute stored from `at` on, copied since records give no alignment promise.
template <class V> V read_value(const char* at, long i) {
    V v;
    std::memcpy(&v, at + i * static_cast<long>(sizeof v), sizeof v);
    return v;
}

template <class V> void write_value(char* at, long i, V v) {
    std::memcpy(at + i * static_cast<long>(sizeof v), &v, sizeof v);
}

// Sets the leading values of an attribute from atoms; values not given keep theirs.
void attr_set(void* x, void* engine, const JitAttr& a, short argc, const Atom* argv) {
    if (a.read_only()) {
        error("%s: attribute \"%s\" is read-only", class_name_of(x), a.name->s_name);
        return;
    }
    char* at = static_cast<char*>(engine) + a.offset;
    for (long i = 0; i < argc && i < a.count; ++i) {
        if (a.type == AttrType::Long)
            write_value(at, i, atom_to_long(argv[i]));
        else if (a.type == AttrType::Float32)
            write_value(at, i, static_cast<float>(atom_to_double(argv[i])));
        else if (argv[i].a_type == A_SYM)
            write_value(at, i, argv[i].a_w.w_sym);
        else {
            error("%s: attribute \"%s\" takes a symbol", class_name_of(x), a.name->s_name);
            return;
        }
    }
}

// Fills out with the attribute's values; returns their count.
short attr_get(void* engine, const JitAttr& a, Atom* out) {
    const char* at = static_cast<const char*>(engine) + a.offset;
    for (long i = 0; i < a.count; ++i) {
        if (a.read_only())
            atom_setlong(&out[i], 0);
        else if (a.type == AttrType::Long)
            atom_setlong(&out[i], read_value<std::int32_t>(at, i));
        else if (a.type == AttrType::Float32)
            atom_setfloat(&out[i], read_value<float>(at, i));
        else if (Symbol* s = read_value<Symbol*>(at, i))
            atom_setsym(&out[i], s);
        else
            atom_setsym(&out[i], _jit_sym_nothing);
    }
    if (a.read_only())
        a.get_thunk(a.get, engine, out);
    return static_cast<short>(a.count);
}

bool is_attr_word(const Atom& a) {
    return a.a_type == A_SYM && a.a_w.w_sym && a.a_w.w_sym->s_name[0] == '@';
}

// "NAME VALUE...": sets the engine's attribute of that name.
void wrap_set(Object* x, Symbol* s, short argc, Atom* argv) {
    const Obex* ob = obex_of(x);
    const JitClass* c = ob ? engine_class_of(ob->jitob) : nullptr;
    if (const JitAttr* a = c ? c->find(s) : nullptr)
        attr_set(x, ob->jitob, *a, argc, argv);
}

// "getNAME": answers "NAME VALUE..." on the dump outlet.
void wrap_get(Object* x, Symbol* s, short, Atom*) {
    const Obex* ob = obex_of(x);
    const JitClass* c = ob ? engine_class_of(ob->jitob) : nullptr;
    const JitAttr* a = c ? c->find(gensym(s->s_name + 3)) : nullptr;
    if (!a || !ob->dumpout)
        return;
    Atom out[JIT_ATTR_MAX];
    const short n = attr_get(ob->jitob, *a, out);
    outlet_anything(ob->dumpout, a->name, n, out);
}

// Adds an attribute to its class unless it is malformed (a bug line says what is wrong) or the
// class has one of its name already.
void add_attr(JitClass* c, bool well_formed, const std::string& malformed, const JitAttr& attr) {
    if (!c || !well_formed || !*attr.name->s_name)
        bug(malformed);
    else if (c->find(attr.name))
        bug(std::string(c->name->s_name) + ": attribute \"" + attr.name->s_name + "\" added twice");
    else
        c->attrs.push_back(attr);
}

bool count_fits(long count) {
    return count >= 1 && count <= JIT_ATTR_MAX;
}

} // namespace

// --- class look-ups (newinstance is each host's own) ------------------------------------------

void* class_findbyname(Symbol* name_space, Symbol* cls) {
    return name_space == gensym("jitter") ? registered_engine_class(cls) : nullptr;
}

JitClass* jit_class_findbyname(Symbol* cls) {
    return registered_engine_class(cls);
}

// --- engine classes ---------------------------------------------------------------------------

namespace detail {

JitClass* jit_class_define(const char* name, ErasedFn make, JitNewThunk make_thunk,
                           ErasedFn free_fn, FreeThunk free_thunk, long size) {
    if (!name || !*name || !make || size < static_cast<long>(sizeof(JitObject))) {
        bug("jit_class_new needs a name, a creation routine and a record that holds the header");
        return nullptr;
    }
    state().classes.push_back(std::make_unique<JitClass>(
        JitClass{gensym(name), make, make_thunk, free_fn, free_thunk, size, {}}));
    return state().classes.back().get();
}

void jit_class_add_getter(JitClass* c, const char* name, AttrType type, long count, ErasedFn get,
                          JitGetThunk thunk) {
    Symbol* s = gensym(name ? name : "");
    add_attr(c, get && count_fits(count),
             std::string("jit_class_addattr_getter: bad attribute \"") + s->s_name + "\"",
             {s, type, count, 0, get, thunk});
}

} // namespace detail

void jit_class_addattr(JitClass* c, const char* name, AttrType type, long count, long offset) {
    Symbol* s = gensym(name ? name : "");
    const long size = value_size(type);
    add_attr(c,
             c && count_fits(count) && offset >= static_cast<long>(sizeof(JitObject)) &&
                 offset % size == 0 && offset + count * size <= c->size,
             std::string("jit_class_addattr: attribute \"") + s->s_name +
                 "\" does not fit its record",
             {s, type, count, offset});
}

void jit_class_register(JitClass* c) {
    if (!c)
        return;
    if (!state().by_name.emplace(c->name, c).second)
        bug(std::string("engine class \"") + c->name->s_name + "\" registered twice");
}

// --- engine objects ---------------------------------------------------------------------------

void* jit_object_alloc(JitClass* c) {
    void* engine = c ? std::calloc(1, static_cast<std::size_t>(c->size)) : nullptr;
    if (!engine)
        return nullptr;
    static_cast<JitObject*>(engine)->j_class = c;
    state().engines[engine] = false;
    return engine;
}

void* jit_object_new(Symbol* cls, Symbol* drawto) {
    const JitClass* c = registered_engine_class(cls);
    if (!c)
        return nullptr;
    void* engine = c->make_thunk(c->make, drawto ? drawto : _jit_sym_nothing);
    if (engine && !engine_class_of(engine)) {
        bug(std::string(c->name->s_name) + ": creation returned an object the host did not make");
        return nullptr;
    }
    return engine;
}

void jit_object_free(void* engine) {
    if (!engine)
        return;
    JitClass* c = engine_class_of(engine);
    if (!c) {
        bug("jit_object_free: not a living engine object");
        return;
    }
    if (state().engines[engine])
        bug(std::string("jit_object_free: ") + c->name->s_name +
            " freed while attached to a box; detach comes first");
    if (c->free_thunk && c->free_fn)
        c->free_thunk(c->free_fn, engine);
    state().engines.erase(engine);
    std::free(engine);
}

void jit_object_error(void*, const char* fmt, ...) {
    // The text names the object itself.
    char text[TEXT_MAX];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    error("%s", text);
}

JitErr jit_atom_arg_getsym(Symbol** out, long index, long argc, Atom* argv) {
    if (!out || !argv || index < 0 || index >= argc || argv[index].a_type != A_SYM)
        return JIT_ERR_INVALID_INPUT;
    *out = argv[index].a_w.w_sym;
    return JIT_ERR_NONE;
}

// --- the wrapper ------------------------------------------------------------------------------

ClassEx* max_jit_classex_setup(long offset) {
    Class* c = registering_class();
    if (!c) {
        bug("max_jit_classex_setup without a class being set up");
        return nullptr;
    }
    const std::string name = class_name(c);
    if (offset < static_cast<long>(sizeof(Object)) ||
        offset % static_cast<long>(alignof(void*)) != 0 ||
        offset + static_cast<long>(sizeof(void*)) > class_size(c)) {
        bug(name + ": the wrapper's slot must be a pointer-size member after the header");
        return nullptr;
    }
    auto [it, added] = state().wrappers.emplace(c, ClassEx{offset});
    if (!added) {
        bug(name + ": max_jit_classex_setup called twice");
        return nullptr;
    }
    return &it->second;
}

void max_jit_classex_standard_wrap(ClassEx* p, JitClass* jc, long /*flags*/) {
    if (!p || !jc)
        return; // no engine class: boxes will fail to make their engine
    if (classex_of(registering_class()) != p) {
        bug("max_jit_classex_standard_wrap outside its class's set-up");
        return;
    }
    for (const JitAttr& a : jc->attrs) {
        if (!a.read_only())
            addmess(wrap_set, a.name->s_name, A_GIMME, 0);
        addmess(wrap_get, (std::string("get") + a.name->s_name).c_str(), A_GIMME, 0);
    }
}

void max_ob3d_setup() {
    ClassEx* p = classex_of(registering_class());
    if (!p) {
        bug("max_ob3d_setup before max_jit_classex_setup");
        return;
    }
    // A drawing host would add its drawing and context messages here; this one has no drawing
    // context, so a 3-D box takes only its attribute messages.
    p->ob3d = true;
}

void* max_jit_obex_new(Class* c, Symbol* /*jit_class_name*/) {
    if (!c || !classex_of(c))
        return nullptr;
    void* x = newobject(c);
    if (!x)
        return nullptr;
    auto& extension = extension_of(x);
    extension = std::make_unique<Obex>();
    set_slot(x, c, extension.get());
    return x;
}

void max_jit_obex_free(void* x) {
    Obex* ob = obex_of(x);
    if (!ob)
        return;
    attach(ob->attached, false);
    set_slot(x, class_of(x), nullptr);
    extension_of(x).reset();
}

void max_jit_obex_jitob_set(void* x, void* engine) {
    if (Obex* ob = obex_of(x))
        ob->jitob = engine;
}

void* max_jit_obex_jitob_get(void* x) {
    const Obex* ob = obex_of(x);
    return ob ? ob->jitob : nullptr;
}

void max_jit_obex_dumpout_set(void* x, Outlet* dumpout) {
    if (Obex* ob = obex_of(x))
        ob->dumpout = dumpout;
}

long max_jit_attr_args_offset(short argc, Atom* argv) {
    long n = 0;
    while (argv && n < argc && !is_attr_word(argv[n]))
        ++n;
    return n;
}

void max_jit_attr_args(void* x, short argc, Atom* argv) {
    const Obex* ob = obex_of(x);
    const JitClass* c = ob ? engine_class_of(ob->jitob) : nullptr;
    if (!c || !argv)
        return;
    long i = max_jit_attr_args_offset(argc, argv);
    while (i < argc) {
        Symbol* name = gensym(argv[i].a_w.w_sym->s_name + 1);
        const long values =
            max_jit_attr_args_offset(static_cast<short>(argc - i - 1), argv + i + 1);
        if (const JitAttr* a = c->find(name))
            attr_set(x, ob->jitob, *a, static_cast<short>(values), argv + i + 1);
        else
            error("%s: no attribute \"%s\"", class_name_of(x), name->s_name);
        i += 1 + values;
    }
}

void max_jit_ob3d_attach(void* x, void* engine, Outlet* /*matrix_out: nothing is drawn*/) {
    Obex* ob = obex_of(x);
    if (!ob)
        return;
    if (!classex_of(class_of(x))->ob3d) {
        bug(std::string(class_name_of(x)) + ": max_jit_ob3d_attach needs max_ob3d_setup");
        return;
    }
    if (!engine_class_of(engine)) {
        bug(std::string(class_name_of(x)) + ": max_jit_ob3d_attach of no living engine");
        return;
    }
    attach(ob->attached, false);
    ob->attached = engine;
    attach(engine, true);
}

void max_jit_ob3d_detach(void* x) {
    Obex* ob = obex_of(x);
    if (!ob || !ob->attached)
        return;
    attach(ob->attached, false);
    ob->attached = nullptr;
}

void max_jit_ob3d_assist(void* /*x*/, void* /*box*/, long kind, long index, char* text) {
    if (kind == 1)
        sprintf(text, "attribute messages: NAME VALUE... sets, getNAME asks");
    else if (index == 0)
        sprintf(text, "jit_matrix: matrix out");
    else
        sprintf(text, "dump out: NAME VALUE... answers");
}

} // namespace tovo::host
