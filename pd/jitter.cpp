// SPDX-License-Identifier: GPL-3.0-or-later
// The Jitter layer in Pd, as the tovo host has it: engine classes and their attributes, engine
// objects, and the wrapper extension each box of a wrapped class carries (its engine and its dump
// outlet). Engines exist, are attached and take their attributes; nothing draws. It lives in the
// one binding library every external shares, so the library object's engine classes are seen
// by the wrappers.
#include "binding.hpp"

#include <tovo/jitter.hpp>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace tovo::host {

Symbol* const _jit_sym_nothing = gensym("");

struct JitAttr {
    Symbol* name;
    AttrType type;
    long count;
    long offset;                    // in the engine record; unused when computed
    detail::ErasedFn get = nullptr; // computed (read-only) attributes
    detail::JitGetThunk get_thunk = nullptr;

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
    Class* cls;
    long offset; // of the record's extension slot
    bool ob3d = false;
};

namespace {

// The extension data of one box: owned by the box, reached through the record's slot.
struct Obex final : BoxExtension {
    void* jitob = nullptr;
    Outlet* dumpout = nullptr;
    void* attached = nullptr; // the engine attached as a 3-D object
    Outlet* matrix_out = nullptr;
};

struct JitterState {
    std::vector<std::unique_ptr<JitClass>> classes; // every class made, registered or not
    std::map<Symbol*, JitClass*> by_name;
    std::map<const Class*, std::unique_ptr<ClassEx>> wrappers;
    std::unordered_set<void*> live;         // engines made and not yet freed
    std::unordered_set<void*> attached;     // engines attached to a box
    std::vector<void*>* made_now = nullptr; // engines allocated by the running creation routine
};

JitterState& state() {
    static JitterState s;
    return s;
}

void bug(const std::string& text) {
    post("bug: %s", text.c_str());
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

Box* box_of(void* x) {
    return x ? static_cast<Object*>(x)->o_box : nullptr;
}

ClassEx* classex_of(const Class* c) {
    auto it = state().wrappers.find(c);
    return it == state().wrappers.end() ? nullptr : it->second.get();
}

char* slot_of(void* x, const ClassEx& p) {
    return static_cast<char*>(x) + p.offset;
}

// The extension data of a box, when its record's slot still points at it.
Obex* obex_of(void* x) {
    Box* b = box_of(x);
    const ClassEx* p = b ? classex_of(b->cls) : nullptr;
    if (!p)
        return nullptr;
    void* slot = nullptr;
    std::memcpy(&slot, slot_of(x, *p), sizeof slot);
    auto* ob = dynamic_cast<Obex*>(b->extension.get());
    return ob && slot == ob ? ob : nullptr;
}

const char* class_name_of(void* x) {
    Box* b = box_of(x);
    return b ? b->cls->name->s_name : "jitter";
}

JitClass* registered_engine_class(Symbol* name) {
    auto it = state().by_name.find(name);
    return it == state().by_name.end() ? nullptr : it->second;
}

JitClass* engine_class_of(void* engine) {
    return engine && state().live.count(engine) ? static_cast<JitObject*>(engine)->j_class
                                                : nullptr;
}

void release_engine(void* engine) {
    state().live.erase(engine);
    std::free(engine);
}

// Sets the leading values of an attribute from atoms; values not given keep theirs.
void attr_set(void* x, void* engine, const JitAttr& a, short argc, const Atom* argv) {
    if (a.read_only()) {
        error("%s: attribute \"%s\" is read-only", class_name_of(x), a.name->s_name);
        return;
    }
    char* at = static_cast<char*>(engine) + a.offset;
    const long n = argc < a.count ? argc : a.count;
    for (long i = 0; i < n; ++i) {
        char* value = at + i * value_size(a.type);
        if (a.type == AttrType::Long) {
            const std::int32_t n = atom_to_long(argv[i]);
            std::memcpy(value, &n, sizeof n);
        } else if (a.type == AttrType::Float32) {
            const auto f = static_cast<float>(atom_to_double(argv[i]));
            std::memcpy(value, &f, sizeof f);
        } else if (argv[i].a_type == A_SYM) {
            std::memcpy(value, &argv[i].a_w.w_sym, sizeof(Symbol*));
        } else {
            error("%s: attribute \"%s\" takes a symbol", class_name_of(x), a.name->s_name);
            return;
        }
    }
}

// Fills out with the attribute's values; returns their count.
short attr_get(void* engine, const JitAttr& a, Atom* out) {
    if (a.read_only()) {
        for (long i = 0; i < a.count; ++i)
            atom_setlong(&out[i], 0);
        a.get_thunk(a.get, engine, out);
        return static_cast<short>(a.count);
    }
    const char* at = static_cast<const char*>(engine) + a.offset;
    for (long i = 0; i < a.count; ++i) {
        const char* value = at + i * value_size(a.type);
        if (a.type == AttrType::Long) {
            std::int32_t v;
            std::memcpy(&v, value, sizeof v);
            atom_setlong(&out[i], v);
        } else if (a.type == AttrType::Float32) {
            float v;
            std::memcpy(&v, value, sizeof v);
            atom_setfloat(&out[i], v);
        } else {
            Symbol* v;
            std::memcpy(&v, value, sizeof v);
            atom_setsym(&out[i], v ? v : _jit_sym_nothing);
        }
    }
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

} // namespace

// --- class look-ups ---------------------------------------------------------------------------

void* class_findbyname(Symbol* name_space, Symbol* cls) {
    if (name_space == gensym("box"))
        return find_class(cls);
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
    auto c = std::make_unique<JitClass>(
        JitClass{gensym(name), make, make_thunk, free_fn, free_thunk, size, {}});
    state().classes.push_back(std::move(c));
    return state().classes.back().get();
}

void jit_class_add_getter(JitClass* c, const char* name, AttrType type, long count, ErasedFn get,
                          JitGetThunk thunk) {
    if (!c || !name || !*name || !get || count < 1 || count > JIT_ATTR_MAX) {
        bug(std::string("jit_class_addattr_getter: bad attribute \"") + (name ? name : "") + "\"");
        return;
    }
    if (c->find(gensym(name))) {
        bug(std::string(c->name->s_name) + ": attribute \"" + name + "\" added twice");
        return;
    }
    c->attrs.push_back({gensym(name), type, count, 0, get, thunk});
}

} // namespace detail

void jit_class_addattr(JitClass* c, const char* name, AttrType type, long count, long offset) {
    const long size = value_size(type);
    if (!c || !name || !*name || count < 1 || count > JIT_ATTR_MAX ||
        offset < static_cast<long>(sizeof(JitObject)) || offset % size != 0 ||
        offset + count * size > c->size) {
        bug(std::string("jit_class_addattr: attribute \"") + (name ? name : "") +
            "\" does not fit its record");
        return;
    }
    if (c->find(gensym(name))) {
        bug(std::string(c->name->s_name) + ": attribute \"" + name + "\" added twice");
        return;
    }
    c->attrs.push_back({gensym(name), type, count, offset});
}

void jit_class_register(JitClass* c) {
    if (!c)
        return;
    if (state().by_name.count(c->name)) {
        bug(std::string("engine class \"") + c->name->s_name + "\" registered twice");
        return;
    }
    state().by_name[c->name] = c;
}

// --- engine objects ---------------------------------------------------------------------------

void* jit_object_alloc(JitClass* c) {
    if (!c)
        return nullptr;
    void* engine = std::calloc(1, static_cast<std::size_t>(c->size));
    if (!engine)
        return nullptr;
    static_cast<JitObject*>(engine)->j_class = c;
    state().live.insert(engine);
    if (state().made_now)
        state().made_now->push_back(engine);
    return engine;
}

void* jit_object_new(Symbol* cls, Symbol* drawto) {
    const JitClass* c = registered_engine_class(cls);
    if (!c)
        return nullptr;
    std::vector<void*> made;
    std::vector<void*>* outer = std::exchange(state().made_now, &made);
    void* engine = c->make_thunk(c->make, drawto ? drawto : _jit_sym_nothing);
    state().made_now = outer;
    // What the creation routine allocated and did not return never came to exist.
    for (void* m : made)
        if (m != engine)
            release_engine(m);
    if (engine && !state().live.count(engine)) {
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
    if (state().attached.erase(engine))
        bug(std::string("jit_object_free: ") + c->name->s_name +
            " freed while attached to a box; detach comes first");
    if (c->free_thunk && c->free_fn)
        c->free_thunk(c->free_fn, engine);
    release_engine(engine);
}

void jit_object_error(void* x, const char* fmt, ...) {
    (void)x; // the text names the object itself
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
    const std::string name = c->name->s_name;
    if (offset < static_cast<long>(sizeof(Object)) ||
        offset % static_cast<long>(alignof(void*)) != 0 ||
        offset + static_cast<long>(sizeof(void*)) > c->size) {
        bug(name + ": the wrapper's slot must be a pointer-size member after the header");
        return nullptr;
    }
    if (classex_of(c)) {
        bug(name + ": max_jit_classex_setup called twice");
        return nullptr;
    }
    auto& p = state().wrappers[c];
    p = std::make_unique<ClassEx>(ClassEx{c, offset});
    return p.get();
}

void max_jit_classex_standard_wrap(ClassEx* p, JitClass* jc, long /*flags*/) {
    if (!p || !jc)
        return; // no engine class: boxes will fail to make their engine
    if (registering_class() != p->cls) {
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
    const ClassEx* p = c ? classex_of(c) : nullptr;
    if (!p)
        return nullptr;
    void* x = newobject(c);
    Box* b = box_of(x);
    if (!b)
        return nullptr;
    auto ob = std::make_unique<Obex>();
    void* slot = ob.get();
    std::memcpy(slot_of(x, *p), &slot, sizeof slot);
    b->extension = std::move(ob);
    return x;
}

void max_jit_obex_free(void* x) {
    Obex* ob = obex_of(x);
    if (!ob)
        return;
    if (ob->attached)
        state().attached.erase(ob->attached);
    const void* none = nullptr;
    std::memcpy(slot_of(x, *classex_of(box_of(x)->cls)), &none, sizeof none);
    box_of(x)->extension.reset();
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
    short i = 0;
    while (i < argc && !is_attr_word(argv[i]))
        ++i;
    while (i < argc) {
        Symbol* name = gensym(argv[i].a_w.w_sym->s_name + 1);
        short end = static_cast<short>(i + 1);
        while (end < argc && !is_attr_word(argv[end]))
            ++end;
        if (const JitAttr* a = c->find(name))
            attr_set(x, ob->jitob, *a, static_cast<short>(end - i - 1), argv + i + 1);
        else
            error("%s: no attribute \"%s\"", class_name_of(x), name->s_name);
        i = end;
    }
}

void max_jit_ob3d_attach(void* x, void* engine, Outlet* matrix_out) {
    Obex* ob = obex_of(x);
    if (!ob)
        return;
    if (!classex_of(box_of(x)->cls)->ob3d) {
        bug(std::string(class_name_of(x)) + ": max_jit_ob3d_attach needs max_ob3d_setup");
        return;
    }
    if (!engine_class_of(engine)) {
        bug(std::string(class_name_of(x)) + ": max_jit_ob3d_attach of no living engine");
        return;
    }
    if (ob->attached)
        state().attached.erase(ob->attached);
    ob->attached = engine;
    ob->matrix_out = matrix_out;
    state().attached.insert(engine);
}

void max_jit_ob3d_detach(void* x) {
    Obex* ob = obex_of(x);
    if (!ob || !ob->attached)
        return;
    state().attached.erase(ob->attached);
    ob->attached = nullptr;
    ob->matrix_out = nullptr;
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
