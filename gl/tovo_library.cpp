// SPDX-License-Identifier: GPL-3.0-or-later
// tovo: the package's library object. Loading it registers the package's Jitter engine classes
// (tovo_gl_bounds); its instances do nothing else, and wrappers make one only to load it.
#include "gl_bounds_engine.hpp"
#include <tovo/api.hpp>

#include <type_traits>

namespace tovo {
using namespace host;

struct TovoLibrary {
    Object ob;
};
static_assert(std::is_standard_layout_v<TovoLibrary> &&
              std::is_trivially_default_constructible_v<TovoLibrary>);

Class* tovo_library_class;

void* tovo_library_new(Symbol*, short, Atom*) {
    return newobject(tovo_library_class);
}

} // namespace tovo

TOVO_EXPORT int main() {
    using namespace tovo;
    setup(&tovo_library_class, tovo_library_new, nullptr, sizeof(TovoLibrary), 0, A_GIMME, 0);
    gl_bounds_engine_init();
    return 0;
}
