// SPDX-License-Identifier: GPL-3.0-or-later
// The class table and the registration checks, and the SDK's setup and addmess entry points
// over the host's table. Both hosts build this file.
#include "host/classes.hpp"

#include "host/host_services.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

namespace tovo::host {

const Method* Class::find(Symbol* selector) const {
    for (const Method& m : methods)
        if (m.selector == selector)
            return &m;
    return nullptr;
}

Class* ClassTable::define(const char* name, int (*registration)()) {
    std::string outer_name = std::exchange(loading_name_, name);
    Class* outer = std::exchange(registering_, nullptr);
    registration();
    Class* made = registering_;
    loading_name_ = std::move(outer_name);
    registering_ = outer;
    return made;
}

Class* ClassTable::find(Symbol* name) const {
    auto it = classes_.find(name);
    return it == classes_.end() ? nullptr : it->second.get();
}

void ClassTable::add_class(Class** slot, NewRoutine make, detail::ErasedFn free_fn,
                           detail::FreeThunk thunk, long size, const short* codes, int ncodes) {
    const std::string& name = loading_name_;
    if (name.empty()) {
        bug("setup called outside a plug-in's main");
        return;
    }
    Symbol* sym = gensym(name.c_str());
    if (find(sym)) {
        bug(name + ": setup called twice");
        return;
    }
    if (!make || size < static_cast<long>(sizeof(Object))) {
        bug(name + ": setup needs a creation routine and a record that holds the header");
        return;
    }
    // Creation routines take the whole argument list.
    if (!(ncodes >= 1 && codes[0] == A_GIMME &&
          std::all_of(codes + 1, codes + ncodes, [](short c) { return c == 0; }))) {
        bug(name + ": setup supports only creation arguments as a whole list (type 8)");
        return;
    }
    auto cls = std::make_unique<Class>();
    cls->name = sym;
    cls->make = make;
    cls->free_fn = free_fn;
    cls->free_thunk = thunk;
    cls->size = size;
    registering_ = cls.get();
    if (slot)
        *slot = cls.get();
    order_.push_back(cls.get());
    classes_[sym] = std::move(cls);
}

void ClassTable::add_method(const char* selector, detail::Shape shape, detail::ErasedFn fn,
                            detail::Thunk thunk, const short* declared, int ndeclared,
                            const short* derived, int nderived) {
    using detail::Shape;
    Class* c = registering_;
    if (!c) {
        bug(std::string("addmess \"") + selector + "\" without a class being set up");
        return;
    }
    const std::string where = std::string(c->name->s_name) + ": \"" + selector + "\"";
    // Codes given, without the closing zeros, must be what the handler's type declares.
    int n = ndeclared;
    while (n > 0 && declared[n - 1] == 0)
        --n;
    if (!std::equal(declared, declared + n, derived, derived + nderived)) {
        bug(where + ": type codes do not match the handler's arguments");
        return;
    }
    Symbol* sym = gensym(selector);
    if (c->find(sym)) {
        bug(where + ": registered twice");
        return;
    }
    const std::string_view sel = selector;
    const bool is_private = sel == "dsp" || sel == "assist";
    if (is_private != (shape == Shape::Dsp || shape == Shape::Assist) ||
        (shape == Shape::Dsp && sel != "dsp") || (shape == Shape::Assist && sel != "assist")) {
        bug(where + ": private messages are \"dsp\" and \"assist\" with their own arguments");
        return;
    }
    c->methods.push_back({sym, shape, std::vector<short>(derived, derived + nderived), fn, thunk});
}

// --- the SDK's registration calls, into the host's table -------------------------------------

namespace detail {

void register_class(Class** slot, NewRoutine make, ErasedFn free_fn, FreeThunk thunk, long size,
                    const short* codes, int ncodes) {
    class_table().add_class(slot, make, free_fn, thunk, size, codes, ncodes);
}

void register_method(const char* selector, Shape shape, ErasedFn fn, Thunk thunk,
                     const short* declared, int ndeclared, const short* derived, int nderived) {
    class_table().add_method(selector, shape, fn, thunk, declared, ndeclared, derived, nderived);
}

} // namespace detail

void z_add_signalmethod() {
    if (Class* c = class_table().registering())
        c->takes_signals = true;
}

// --- what the Jitter layer asks of a class (host_services.hpp) --------------------------------

Class* registering_class() {
    return class_table().registering();
}

const char* class_name(const Class* c) {
    return c->name->s_name;
}

long class_size(const Class* c) {
    return c->size;
}

} // namespace tovo::host
