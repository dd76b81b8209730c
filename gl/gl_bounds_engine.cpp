// SPDX-License-Identifier: GPL-3.0-or-later
// tovo_gl_bounds: the engine behind the tovo.gl.bounds box. It keeps the drawing context it was
// made for and where its geometry (a cube from -1 to 1) sits, and answers the bounds that cube
// fills. It draws nothing: the host has no drawing context.
#include "gl_bounds_engine.hpp"

#include "bounds.hpp"
#include <tovo/jitter.hpp>

#include <cstddef>
#include <type_traits>

namespace tovo {
using namespace host;

struct GlBoundsEngine {
    JitObject ob;
    Symbol* drawto;      // the drawing-context name given at creation
    std::int32_t enable; // kept for patches that switch drawing; nothing draws here
    float position[3];   // x y z
    float scale[3];      // x y z
};
static_assert(std::is_standard_layout_v<GlBoundsEngine> &&
              std::is_trivially_default_constructible_v<GlBoundsEngine>);

JitClass* gl_bounds_engine_class;

GlBoundsEngine* gl_bounds_engine_new(Symbol* drawto) {
    auto* x = static_cast<GlBoundsEngine*>(jit_object_alloc(gl_bounds_engine_class));
    if (!x)
        return nullptr;
    x->drawto = drawto;
    x->enable = 1;
    for (float& s : x->scale)
        s = 1.0f;
    return x;
}

void gl_bounds_engine_free(GlBoundsEngine*) {
    // The engine owns nothing beyond its record.
}

void gl_bounds_engine_bounds(GlBoundsEngine* x, Atom* out) {
    float bounds[6];
    cube_bounds(x->position, x->scale, bounds);
    for (int i = 0; i < 6; ++i)
        atom_setfloat(&out[i], bounds[i]);
}

void gl_bounds_engine_init() {
    JitClass* c = jit_class_new("tovo_gl_bounds", gl_bounds_engine_new, gl_bounds_engine_free,
                                sizeof(GlBoundsEngine));
    gl_bounds_engine_class = c;
    jit_class_addattr(c, "drawto", AttrType::Symbol, 1, offsetof(GlBoundsEngine, drawto));
    jit_class_addattr(c, "enable", AttrType::Long, 1, offsetof(GlBoundsEngine, enable));
    jit_class_addattr(c, "position", AttrType::Float32, 3, offsetof(GlBoundsEngine, position));
    jit_class_addattr(c, "scale", AttrType::Float32, 3, offsetof(GlBoundsEngine, scale));
    jit_class_addattr_getter(c, "bounds", AttrType::Float32, 6, gl_bounds_engine_bounds);
    jit_class_register(c);
}

} // namespace tovo
