// SPDX-License-Identifier: GPL-3.0-or-later
// tovo, as a test stands it in for the package's library object: it registers an engine class
// of the same name, tovo_gl_bounds, and every routine of the library and of its engines posts a
// line when called, so a script shows the order in which the real wrapper drives them.
#include <tovo/api.hpp>
#include <tovo/jitter.hpp>

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace tovo {
using namespace host;

struct Library {
    Object ob;
};
static_assert(std::is_standard_layout_v<Library> &&
              std::is_trivially_default_constructible_v<Library>);

// An engine keeps its drawing context and one attribute, which its free routine reports: a value
// other than the one it was made with shows that "@enable" reached the engine after creation.
struct Engine {
    JitObject ob;
    Symbol* drawto;
    std::int32_t enable;
};
static_assert(std::is_standard_layout_v<Engine> &&
              std::is_trivially_default_constructible_v<Engine>);

Class* library_class;
JitClass* engine_class;

void* library_new(Symbol*, short, Atom*) {
    post("library: new");
    return newobject(library_class);
}

void library_free(Library*) {
    post("library: free");
}

// The context "refuse" makes no engine, as a failing engine class would.
Engine* engine_new(Symbol* drawto) {
    if (drawto == gensym("refuse")) {
        post("engine: new for \"refuse\": refused");
        return nullptr;
    }
    auto* x = static_cast<Engine*>(jit_object_alloc(engine_class));
    x->drawto = drawto;
    x->enable = 1;
    post("engine: new for \"%s\", enable %d", drawto->s_name, x->enable);
    return x;
}

void engine_free(Engine* x) {
    post("engine: free \"%s\", enable %d", x->drawto->s_name, x->enable);
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    post("library: main");
    setup(&library_class, library_new, library_free, sizeof(Library), 0, A_GIMME, 0);
    engine_class = jit_class_new("tovo_gl_bounds", engine_new, engine_free, sizeof(Engine));
    jit_class_addattr(engine_class, "drawto", AttrType::Symbol, 1, offsetof(Engine, drawto));
    jit_class_addattr(engine_class, "enable", AttrType::Long, 1, offsetof(Engine, enable));
    jit_class_register(engine_class);
    return 0;
}
