// SPDX-License-Identifier: GPL-3.0-or-later
// tovo.gl.bounds: the box that places the Jitter 3-D class tovo_gl_bounds in a patch. It has
// the library object tovo loaded, wraps the engine class with the standard attribute messages,
// and ties each box to one engine: matrix outlet on the left, dump outlet on the right.
#include <tovo/api.hpp>
#include <tovo/jitter.hpp>

#include <cstddef>
#include <type_traits>

namespace tovo {
using namespace host;

struct GlBounds {
    Object ob;
    void* obex; // the Jitter wrapper's extension data; its offset goes to max_jit_classex_setup
};
static_assert(std::is_standard_layout_v<GlBounds> &&
              std::is_trivially_default_constructible_v<GlBounds>);
static_assert(offsetof(GlBounds, obex) == sizeof(Object));

Class* gl_bounds_class;

void* gl_bounds_new(Symbol*, short argc, Atom* argv) {
    Symbol* dest_name = _jit_sym_nothing;
    void* x = max_jit_obex_new(gl_bounds_class, gensym("tovo_gl_bounds"));
    if (!x)
        return nullptr;
    // Leading plain arguments name the drawing context; "@NAME VALUE..." follow.
    const long plain = max_jit_attr_args_offset(argc, argv);
    if (plain && argv)
        jit_atom_arg_getsym(&dest_name, 0, plain, argv);

    void* engine = jit_object_new(gensym("tovo_gl_bounds"), dest_name);
    if (!engine) {
        jit_object_error(x, "tovo.gl.bounds: could not allocate object");
        freeobject(x);
        return nullptr;
    }
    max_jit_obex_jitob_set(x, engine);
    max_jit_obex_dumpout_set(x, outlet_new(x, nullptr));
    // Attributes go to an engine that exists, after its creation defaults.
    max_jit_attr_args(x, argc, argv);
    max_jit_ob3d_attach(x, engine, outlet_new(x, "jit_matrix"));
    return x;
}

void gl_bounds_free(GlBounds* x) {
    max_jit_ob3d_detach(x);
    jit_object_free(max_jit_obex_jitob_get(x));
    max_jit_obex_free(x);
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    // The engine class lives in the library object: an instance of it loads the library once.
    if (void* library = newinstance(gensym("tovo"), 0, nullptr)) {
        class_findbyname(gensym("jitter"), gensym("tovo_gl_bounds"));
        freeobject(library);
    }
    setup(&gl_bounds_class, gl_bounds_new, gl_bounds_free, sizeof(GlBounds), 0, A_GIMME, 0);
    ClassEx* p = max_jit_classex_setup(offsetof(GlBounds, obex));
    JitClass* jc = jit_class_findbyname(gensym("tovo_gl_bounds"));
    max_jit_classex_standard_wrap(p, jc, 0);
    addmess(max_jit_ob3d_assist, "assist", A_CANT, 0);
    max_ob3d_setup();
    return 0;
}
